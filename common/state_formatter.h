#pragma once

// Formatters for common::diagnostics::state::context::request_state: they
// turn a flat list of state records into text and throw std::runtime_error
// for a list whose sections do not pair up.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "common/state_logger.h"
#include "common/trace.h"

namespace common::diagnostics::state {

// One line per record: a section's name, then its contents indented 4 more
// spaces; a value as "name: text".
class IndentationFormatter : private tracing::TraceDomain<IndentationFormatter> {
public:
    std::string operator()(const std::vector<StateRecord>& records) const;
};

// A JSON document whose members keep the order of the records (sections
// become nested objects), pretty-printed with 4-space indentation. Invalid
// UTF-8 in a text is replaced, not an error; NaN and infinities become null.
class JsonFormatter : private tracing::TraceDomain<JsonFormatter> {
public:
    std::string operator()(const std::vector<StateRecord>& records) const;
};

// Reads records from `index` into the object `json` up to the end of the
// current section; returns the position of that section's end record, or
// the number of records when the list ran out.
unsigned long read_section_to_json(nlohmann::ordered_json& json,
                                   const std::vector<StateRecord>& records, unsigned long index);

}  // namespace common::diagnostics::state
