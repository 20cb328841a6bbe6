#pragma once

// The static methods of Strandlink: one-shot server queries (the interpreter
// lock released around the query) and the library's version numbers.

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace apps {

namespace py = pybind11;

// (list of kit dicts, result); (None, result) on failure.
py::tuple get_barcode_kits(std::string address, std::uint32_t timeout_ms);
// (statistics dict, result); (None, result) on failure.
py::tuple get_server_stats(std::string address, std::uint32_t timeout_ms);
// (information text, result) whatever the result: "No information
// available" when the library left the text alone.
py::tuple get_server_information(std::string address, std::uint32_t timeout_ms);
// (state text, result); (None, result) on failure.
py::tuple get_server_internal_state(std::string address, std::uint32_t timeout_ms);
// (major, minor, patch).
py::tuple get_software_version();
py::tuple get_protocol_version();

}  // namespace apps
