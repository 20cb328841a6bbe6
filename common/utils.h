#pragma once

// Path, time and text helpers. Every function may be called from any thread.

#include <cstdarg>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace common {

// Absolute, canonical path of the running executable. Throws
// std::runtime_error when the platform cannot name it, and
// std::filesystem::filesystem_error when it cannot be made canonical.
std::filesystem::path executable_path();

// "" stays ""; a path with a root directory comes back unchanged (not checked);
// any other path is made canonical against the current directory, which needs
// the file to exist. Throws std::runtime_error "Error while converting
// relative path <path> to file: <reason>" when that fails.
std::string make_canonical_path(const std::string& path);

// `target` expressed relative to `base`, by text alone: no file is looked at
// and neither path is made absolute first.
std::string relativePath(const std::string& target, const std::string& base);

// Shortens a demangled type name for display: drops blanks, "std::",
// "class", "struct" and default allocators, and names std::string "string".
std::string shortenClassname(std::string name);

// shortenClassname of the demangled name (the input itself when it cannot
// be demangled).
std::string demangle(const char* name);

// Local date and time with milliseconds: "YYYY-MM-DD hh:mm:ss.mmm".
std::string currentDateTime();

// The text with every whitespace byte removed, inner ones included.
std::string trim(std::string text);

// The text cut to at most `max_length` characters; a cut text ends in "...".
// The result never exceeds `max_length` (a limit of 0 or less gives "").
std::string trunc_long_str(const std::string& text, int max_length);

// The line without one trailing carriage return and without a leading UTF-8
// byte-order mark.
std::string clean_string(const std::string& line);

// Fixed-point text with `precision` decimals, trailing zeros dropped down to
// one decimal ("2.0", "1.5"); never "-0.0".
std::string encode_float(float value, int precision);

// printf into a std::string. Throws std::runtime_error "Error in printf for
// fmt: '<format>'" when formatting fails.
std::string Sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same over an argument list the caller has started (and still owns).
std::string Sprintf_va(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// Thread-safe forms of gmtime, localtime and mktime: serialised on one
// process-wide mutex, with the result copied out before it is released.
// gmtime_threadsafe and localtime_threadsafe throw std::runtime_error when
// the platform cannot convert the time.
// REQUIRES: the pointer is not null.
struct tm gmtime_threadsafe(const time_t* time);
struct tm localtime_threadsafe(const time_t* time);
time_t mktime_threadsafe(struct tm* time);

}  // namespace common

namespace kelp::shared {

// The pieces of `text` between occurrences of `separator`, empty pieces kept:
// n separators give n + 1 pieces ("" gives one empty piece).
std::vector<std::string> split(const std::string& text, char separator);

}  // namespace kelp::shared
