#pragma once

// The module's sample-data functions: each runs one conversion on fixed data,
// without a server, so that a caller can compare the result with the value
// the conversion must give.

#include <pybind11/pybind11.h>

namespace apps {

namespace py = pybind11;

py::dict test_metadata_to_dict();
py::dict test_datasets_to_dict();
py::dict test_dict_to_readholder();
py::dict test_readholder_to_dict();
py::tuple test_str_list_concat(const py::list& items);
py::dict test_config_details_to_dict();

}  // namespace apps
