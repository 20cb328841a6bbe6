#pragma once

#include <string>

namespace common {

// Turns single values into text under caller-chosen rules. An empty
// replacement text means "no replacement": the value is written normally.
// Not thread-safe; cheap to make on the stack for one lookup.
class ValueFormatter {
public:
    virtual ~ValueFormatter() = default;

    std::string Format(const float& value) const;
    std::string Format(const double& value) const;
    // The string itself, or empty_text for an empty string.
    std::string Format(const std::string& value) const;
    // true_text / false_text, or "1" / "0" when the chosen text is empty.
    std::string Format(const bool& value) const;

    int float_precision = -1;   // negative: std::to_string
    int double_precision = -1;  // negative: std::to_string
    std::string nan_text;
    std::string pos_inf_text;
    std::string neg_inf_text;
    std::string empty_text;
    std::string true_text;
    std::string false_text;
    bool fixed = false;
};

}  // namespace common
