#pragma once

// Conversion of set_params' Python dict into client parameters. Every
// function needs the interpreter lock.

#include <optional>
#include <string>
#include <typeindex>
#include <typeinfo>

#include <pybind11/pybind11.h>

#include "apps/read.h"
#include "data_model/metadata.h"

namespace apps {

namespace py = pybind11;

// Converts `value` to the native `type` and stores it under `name`, replacing
// an earlier entry: std::string from a str (a list of str joined by single
// blanks; any other value gives ""), bool from a truth value or None,
// integers from an int in the type's range, float and double from a number.
// Another native type stores nothing. Throws (pybind11::cast_error or
// std::runtime_error) for a value that cannot be converted.
void option_value_to_metadata(kelp::data_wrappers::v2::Metadata& metadata, const std::string& name,
                              py::handle value, const std::type_index& type);

// Appends the list's strings to `text`, one blank between two of them
// (none before the first when `text` is empty). False at the first item that
// is not a str; `text` then holds what was appended before it.
bool str_list_to_std_string(const py::list& items, std::string& text);

// The native type of a connection option, or nullptr when `name` is none.
const std::type_info* connection_option_type(const std::string& name);

// Converts a set_params dict, visited in its order: each registered
// basecalling option and each connection option into `metadata` with its
// native type, "priority" (a read_priority member) into `priority`. False,
// with nothing promised about the outputs, for a key that is not text, a
// name of neither kind, or a value that cannot be converted.
bool params_to_metadata(const py::dict& params, kelp::data_wrappers::v2::Metadata& metadata,
                        std::optional<Read::Priority>& priority);

}  // namespace apps
