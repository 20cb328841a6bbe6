#include "common/value_formatter.h"

#include <cmath>
#include <sstream>

namespace common {

namespace {

template <typename T>
std::string format_floating(const ValueFormatter& f, T x, int precision) {
    if (!f.nan_text.empty() && std::isnan(x)) {
        return f.nan_text;
    }
    if (x > 0 && !f.pos_inf_text.empty() && std::isinf(x)) {
        return f.pos_inf_text;
    }
    if (x < 0 && !f.neg_inf_text.empty() && std::isinf(x)) {
        return f.neg_inf_text;
    }
    if (precision < 0) {
        return std::to_string(x);
    }
    std::ostringstream out;
    out.precision(precision);
    if (f.fixed) {
        out.setf(std::ios_base::fixed, std::ios_base::floatfield);
    }
    out << x;
    return out.str();
}

}  // namespace

std::string ValueFormatter::Format(const float& value) const {
    return format_floating(*this, value, float_precision);
}

std::string ValueFormatter::Format(const double& value) const {
    return format_floating(*this, value, double_precision);
}

std::string ValueFormatter::Format(const std::string& value) const {
    if (value.empty()) {
        return empty_text;
    }
    return value;
}

std::string ValueFormatter::Format(const bool& value) const {
    const std::string& text = value ? true_text : false_text;
    if (!text.empty()) {
        return text;
    }
    return value ? "1" : "0";
}

}  // namespace common
