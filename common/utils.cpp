#include "common/utils.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/core/demangle.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace common {

namespace {

// The platform's gmtime, localtime and mktime share static state.
std::mutex g_time_mutex;

}  // namespace

std::filesystem::path executable_path() {
    // Linux names the running executable through this link.
    std::error_code error;
    const std::filesystem::path link_target = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::runtime_error("Could not determine the process name");
    }
    if (link_target.empty()) {
        throw std::runtime_error("Could not determine the length of the process name");
    }
    return std::filesystem::canonical(link_target);
}

std::string make_canonical_path(const std::string& path) {
    if (path.empty()) {
        return path;
    }
    const boost::filesystem::path input(path);
    if (input.has_root_directory()) {
        return path;
    }
    const boost::filesystem::path base = boost::filesystem::current_path();
    boost::system::error_code error;
    const boost::filesystem::path canonical = boost::filesystem::canonical(input, base, error);
    if (error) {
        throw std::runtime_error("Error while converting relative path " + path +
                                 " to file: " + error.message());
    }
    return canonical.string();
}

std::string relativePath(const std::string& target, const std::string& base) {
    std::string trimmed_base = base;
    while (!trimmed_base.empty() && (trimmed_base.back() == '/' || trimmed_base.back() == '\\')) {
        trimmed_base.pop_back();
    }
    const boost::filesystem::path target_path(target);
    const boost::filesystem::path base_path(trimmed_base);
    auto target_it = target_path.begin();
    auto base_it = base_path.begin();
    while (target_it != target_path.end() && base_it != base_path.end() &&
           target_it->string() == base_it->string()) {
        ++target_it;
        ++base_it;
    }
    boost::filesystem::path result;
    for (; base_it != base_path.end(); ++base_it) {
        result /= "..";
    }
    for (; target_it != target_path.end(); ++target_it) {
        result /= *target_it;
    }
    return result.string();
}

std::string shortenClassname(std::string name) {
    boost::algorithm::replace_all(name, " ", "");
    boost::algorithm::replace_all(name, "std::", "");
    boost::algorithm::replace_all(name, "class", "");
    boost::algorithm::replace_all(name, "struct", "");
    boost::algorithm::replace_all(name, ",allocator<float>", "");
    boost::algorithm::replace_all(name, ",allocator<int>", "");
    boost::algorithm::replace_all(name, ",allocator<char>", "");
    boost::algorithm::replace_all(name, "basic_string<char,char_traits<char>>", "string");
    boost::algorithm::replace_all(name, ",allocator<string>", "");
    boost::algorithm::replace_all(name, "signed", "signed ");
    return name;
}

std::string demangle(const char* name) {
    // libstdc++ keeps its string and list types in the inline namespace
    // std::__cxx11; dropped here so that a demangled name reads as the type
    // is written in source and std::string still shortens to "string".
    std::string demangled = boost::core::demangle(name);
    boost::algorithm::replace_all(demangled, "__cxx11::", "");
    return shortenClassname(std::move(demangled));
}

std::string currentDateTime() {
    const auto now = std::chrono::system_clock::now();
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    const struct tm local = localtime_threadsafe(&seconds);
    const auto millis = static_cast<unsigned>((micros % 1000000) / 1000);
    char buffer[255];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u.%03u",
                  static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                  static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                  static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec), millis);
    return buffer;
}

std::string trim(std::string text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
            case '\v':
            case '\f':
            case '\r':
                break;
            default:
                result.push_back(c);
        }
    }
    return result;
}

std::string trunc_long_str(const std::string& text, int max_length) {
    if (max_length <= 0) {
        return text.empty() ? text : std::string();
    }
    const auto limit = static_cast<std::size_t>(max_length);
    if (text.size() <= limit) {
        return text;
    }
    // Below three characters there is no room for any text before the dots;
    // the result still keeps to the limit.
    if (limit < 3) {
        return std::string(limit, '.');
    }
    return text.substr(0, limit - 3) + "...";
}

std::string clean_string(const std::string& line) {
    std::size_t begin = 0;
    std::size_t end = line.size();
    if (end > 0 && line[end - 1] == '\r') {
        --end;
    }
    if (end >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
        static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF) {
        begin = 3;
    }
    return line.substr(begin, end - begin);
}

std::string encode_float(float value, int precision) {
    std::ostringstream out;
    out << std::fixed << std::showpoint << std::setprecision(precision) << value;
    std::string text = out.str();
    const std::size_t point = text.find('.');
    if (point == std::string::npos) {
        return text;
    }
    std::size_t end = text.size();
    while (end > point + 2 && text[end - 1] == '0') {
        --end;
    }
    text.resize(end);
    if (text == "-0.0") {
        text = "0.0";
    }
    return text;
}

std::string Sprintf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    try {
        std::string result = Sprintf_va(format, arguments);
        va_end(arguments);
        return result;
    } catch (...) {
        va_end(arguments);
        throw;
    }
}

std::string Sprintf_va(const char* format, va_list arguments) {
    va_list second_pass;
    va_copy(second_pass, arguments);
    char buffer[1024];
    const int length = std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    if (length < 0) {
        va_end(second_pass);
        throw std::runtime_error(std::string("Error in printf for fmt: '") + format + "'");
    }
    if (static_cast<std::size_t>(length) < sizeof(buffer)) {
        va_end(second_pass);
        return std::string(buffer);
    }
    std::string result(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(result.data(), result.size(), format, second_pass);
    va_end(second_pass);
    result.resize(static_cast<std::size_t>(length));
    return result;
}

struct tm gmtime_threadsafe(const time_t* time) {
    std::lock_guard<std::mutex> lock(g_time_mutex);
    const struct tm* result = std::gmtime(time);
    if (result == nullptr) {
        throw std::runtime_error("Could not convert time " + std::to_string(*time) + " to UTC");
    }
    return *result;
}

struct tm localtime_threadsafe(const time_t* time) {
    std::lock_guard<std::mutex> lock(g_time_mutex);
    const struct tm* result = std::localtime(time);
    if (result == nullptr) {
        throw std::runtime_error("Could not convert time " + std::to_string(*time) +
                                 " to local time");
    }
    return *result;
}

time_t mktime_threadsafe(struct tm* time) {
    std::lock_guard<std::mutex> lock(g_time_mutex);
    return std::mktime(time);
}

}  // namespace common

namespace kelp::shared {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t found = text.find(separator, begin);
        if (found == std::string::npos) {
            pieces.push_back(text.substr(begin));
            return pieces;
        }
        pieces.push_back(text.substr(begin, found - begin));
        begin = found + 1;
    }
}

}  // namespace kelp::shared
