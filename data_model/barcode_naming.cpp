#include "data_model/barcode_naming.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "common/utils.h"

namespace kelp::util::barcode_naming {

namespace {

const std::string DUAL_BARCODE_OUTER_PREFIX = "barcode_external";
const std::string DUAL_BARCODE_INNER_PREFIX = "_internal";

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    // The argument list is consumed by each vsnprintf call, so the measuring
    // pass works on a copy.
    va_list measure_args;
    va_copy(measure_args, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, measure_args);
    va_end(measure_args);
    if (length < 0) {
        va_end(args);
        throw std::runtime_error("Error during formatting.");
    }
    std::string text(static_cast<size_t>(length), '\0');
    const int written = std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    if (written != length) {
        throw std::runtime_error("Error during formatting.");
    }
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One '%', then digits, then 'i'; no further '%'; field width bounded.
bool is_valid_pattern(const std::string& pattern) {
    if (pattern.empty()) {
        return false;
    }
    const auto percent = pattern.find('%');
    if (percent == std::string::npos || pattern.find('%', percent + 1) != std::string::npos) {
        return false;
    }
    size_t pos = percent + 1;
    // Leading zeros are the zero-padding flag; the remaining digits are the width.
    while (pos < pattern.size() && pattern[pos] == '0') {
        ++pos;
    }
    const size_t width_start = pos;
    while (pos < pattern.size() && is_digit(pattern[pos])) {
        ++pos;
    }
    if (pos >= pattern.size() || pattern[pos] != 'i') {
        return false;
    }
    const size_t width_digits = pos - width_start;
    if (width_digits > 2) {
        return false;
    }
    int width = 0;
    for (size_t i = width_start; i < pos; ++i) {
        width = width * 10 + (pattern[i] - '0');
    }
    return width <= MAX_FIELD_WIDTH;
}

// Reads the index from "externalNN[a]" / "internalNN[a]". Returns
// (success, index or 0, whether an 'a' suffix was dropped).
std::tuple<bool, int, bool> extract_index(std::string text) {
    text.erase(0, 8);
    bool a_suffix = false;
    if (!text.empty() && text.back() == 'a') {
        text.pop_back();
        a_suffix = true;
    }
    int index = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto result = std::from_chars(first, last, index, 10);
    if (result.ec != std::errc() || result.ptr != last) {
        return {false, 0, a_suffix};
    }
    return {true, index, a_suffix};
}

bool has_word_prefix(const std::string& part, const char* word) {
    return part.size() >= 9 && part.compare(0, 8, word) == 0;
}

}  // namespace

std::string generate_normalised_id(const std::string& pattern, int index, bool a_variant_of_12) {
    if (!is_valid_pattern(pattern)) {
        throw std::runtime_error("Invalid normalised pattern: " + pattern);
    }
    std::string name = format(pattern.c_str(), index);
    if (a_variant_of_12 && index == 12) {
        name += "a";
    }
    return name;
}

std::string generate_dual_normalised_id(const std::string& outer, const std::string& inner) {
    const auto last_two = [](const std::string& name) {
        if (name.size() < 2) {
            throw std::out_of_range("Barcode name '" + name + "' is shorter than two characters.");
        }
        return name.substr(name.size() - 2);
    };
    return DUAL_BARCODE_OUTER_PREFIX + last_two(outer) + DUAL_BARCODE_INNER_PREFIX +
           last_two(inner);
}

bool extract_dual_barcodes(const std::string& dual_name, const std::string* pattern,
                           std::string& outer, std::string& inner) {
    const std::vector<std::string> parts = kelp::shared::split(dual_name, '_');
    if (parts.size() != 3 || parts[0] != "barcode" || !has_word_prefix(parts[1], "external") ||
        !has_word_prefix(parts[2], "internal")) {
        return false;
    }
    if (pattern == nullptr) {
        outer = parts[1];
        inner = parts[2];
        return true;
    }
    const auto [outer_ok, outer_index, outer_a] = extract_index(parts[1]);
    if (!outer_ok) {
        return false;
    }
    const auto [inner_ok, inner_index, inner_a] = extract_index(parts[2]);
    if (!inner_ok) {
        return false;
    }
    // Build both names before touching the outputs, so a throw leaves them as they were.
    std::string outer_name = generate_normalised_id(*pattern, outer_index, outer_a);
    std::string inner_name = generate_normalised_id(*pattern, inner_index, inner_a);
    outer = std::move(outer_name);
    inner = std::move(inner_name);
    return true;
}

}  // namespace kelp::util::barcode_naming
