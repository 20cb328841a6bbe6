#include "python/sample_data.h"

#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "apps/read.h"
#include "python/conversions.h"
#include "python/params.h"
#include "python/read_conversion.h"

namespace apps {

namespace {

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::Metadata;

constexpr std::uint64_t SAMPLE_READ_TAG = 4294967286ULL;  // 2^32 - 10

Metadata sample_metadata() {
    Metadata metadata;
    metadata.emplace("read_id", std::string("Test read-id"));
    metadata.emplace("channel", 4);
    metadata.emplace("daq_scaling", 2.7f);
    metadata.emplace("duration", 12000450138ULL);
    return metadata;
}

void add_sample_datasets(DataSetMap& datasets) {
    std::vector<std::int16_t> samples(1000);
    std::iota(samples.begin(), samples.end(), std::int16_t{0});
    DataSetData raw;
    raw.own(std::move(samples));
    datasets.emplace(dataset::raw_data, std::move(raw));
    DataSetData sequence;
    sequence.own(std::string("ACGTCGTGTT"));
    datasets.emplace(dataset::sequence, std::move(sequence));
}

}  // namespace

py::dict test_metadata_to_dict() {
    return metadata_to_dict(sample_metadata());
}

py::dict test_datasets_to_dict() {
    DataSetMap datasets;
    add_sample_datasets(datasets);
    return datasets_to_dict(datasets);
}

py::dict test_dict_to_readholder() {
    std::vector<std::int16_t> samples(100);
    std::iota(samples.begin(), samples.end(), std::int16_t{0});
    py::dict dict;
    dict["read_tag"] = py::int_(SAMPLE_READ_TAG);
    dict["read_id"] = py::str("test_read");
    dict["daq_offset"] = py::float_(1.5);
    dict["daq_scaling"] = py::float_(2.5);
    dict["sampling_rate"] = py::float_(5.5);
    dict["start_time"] = py::int_(6);
    dict["raw_data"] = py::array_t<std::int16_t>(static_cast<py::ssize_t>(samples.size()), samples.data());
    Read read;
    if (!dict_to_read(dict, read)) {
        return py::dict();
    }
    return read_to_dict(read);
}

py::dict test_readholder_to_dict() {
    Read read;
    read.set_read_tag(SAMPLE_READ_TAG);
    read.set_priority(Read::Priority::MEDIUM_PRIORITY);
    Metadata& metadata = read.get_metadata();
    metadata = sample_metadata();
    metadata.emplace("daq_offset", 1.8f);
    add_sample_datasets(read.get_datasets());
    return read_to_dict(read);
}

py::tuple test_str_list_concat(const py::list& items) {
    std::string text;
    const bool converted = str_list_to_std_string(items, text);
    return py::make_tuple(converted, text);
}

py::dict test_config_details_to_dict() {
    Metadata config;
    config.emplace("config_name", std::string("test_config_filename.cfg"));
    config.emplace("model_type", std::string("test_model_type"));
    config.emplace("model_version_id", std::string("test_model_version_id"));
    config.emplace("model_stride", 1ULL);
    config.emplace("duplex", false);
    return config_details_to_dict(config);
}

}  // namespace apps
