#pragma once

// Two shared objects, each carrying its own copy of the data-model code (as
// the library and the Python module do), expose these functions. Objects made
// by the maker are read, changed and destroyed by the user.

#include <string>

#include "data_model/data_set.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/metadata.h"

#define CROSS_LIBRARY_EXPORT __attribute__((visibility("default")))

namespace cross_library {

// Maker side.
CROSS_LIBRARY_EXPORT kelp::data_wrappers::v2::Metadata* maker_create_metadata();
CROSS_LIBRARY_EXPORT kelp::data_wrappers::v2::DataSetData* maker_create_owning_dataset(
    kelp::data_wrappers::v2::DataSetType type);
CROSS_LIBRARY_EXPORT interfaces::ReadHolder* maker_create_read();

// User side.
CROSS_LIBRARY_EXPORT std::string user_describe_metadata(
    const kelp::data_wrappers::v2::Metadata& metadata);
CROSS_LIBRARY_EXPORT void user_destroy_metadata(kelp::data_wrappers::v2::Metadata* metadata);
CROSS_LIBRARY_EXPORT std::string user_describe_dataset(
    const kelp::data_wrappers::v2::DataSetData& data);
// Deep-copies a dataset through its owner (made by whoever made the source).
CROSS_LIBRARY_EXPORT kelp::data_wrappers::v2::DataSetData* user_copy_dataset(
    const kelp::data_wrappers::v2::DataSetData& data);
CROSS_LIBRARY_EXPORT void user_destroy_dataset(kelp::data_wrappers::v2::DataSetData* data);
// Changes metadata and replaces the sequence (freeing the maker's owner).
CROSS_LIBRARY_EXPORT void user_change_read(interfaces::ReadHolder& read);
CROSS_LIBRARY_EXPORT void user_destroy_read(interfaces::ReadHolder* read);

}  // namespace cross_library
