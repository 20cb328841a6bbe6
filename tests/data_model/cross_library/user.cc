#include "tests/data_model/cross_library/cross_library.h"

#include <cstring>
#include <sstream>

#include "data_model/data_table.h"

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::Field;
using kelp::data_wrappers::v2::Metadata;

namespace cross_library {

std::string user_describe_metadata(const Metadata& metadata) {
    std::ostringstream text;
    text << metadata.get<read_data::read_id>() << "|" << metadata.get<read_data::channel>() << "|"
         << metadata.get<read_data::mux>() << "|" << metadata.get<read_data::duration>() << "|"
         << metadata.get<read_data::sampling_rate>() << "|"
         << metadata.get<apps::config_details::duplex>() << "|"
         << (metadata.check_type("ratio") == std::type_index(typeid(double))) << "|";
    metadata.write_to_stream(text);
    return text.str();
}

void user_destroy_metadata(Metadata* metadata) { delete metadata; }

std::string user_describe_dataset(const DataSetData& data) {
    std::ostringstream text;
    switch (data.info.type) {
        case DataSetType::string:
            text << data.get_string();
            break;
        case DataSetType::int16: {
            const short* samples = data.get_array<short>();
            for (std::uint64_t i = 0; i < data.info.count; ++i) {
                text << samples[i] << ",";
            }
            break;
        }
        case DataSetType::table: {
            // Rebuild the table's shape from the field list, as readers do.
            int value = 0;
            const Field& field = data.info.fields.at(1);
            std::memcpy(&value, static_cast<const char*>(data.data) + data.info.element_size + field.offset,
                        sizeof value);
            text << data.info.count << " rows, " << field.name << "=" << value;
            break;
        }
        default:
            text << "?";
    }
    text << " (" << data.metadata.get_value<std::string>("made_by") << ")";
    return text.str();
}

DataSetData* user_copy_dataset(const DataSetData& data) {
    auto* copy = new DataSetData();
    copy->info = data.info;
    copy->metadata = data.metadata;
    copy->copy_data(data);
    return copy;
}

void user_destroy_dataset(DataSetData* data) { delete data; }

void user_change_read(interfaces::ReadHolder& read) {
    read.metadata.insert<int>("channel", 18);
    read.metadata.emplace("strand_id", std::string("changed-by-user-with-a-long-identifier"));
    read.datasets.at(dataset::sequence).own(std::string("TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT"));
    read.datasets.erase(dataset::raw_data);
}

void user_destroy_read(interfaces::ReadHolder* read) { delete read; }

}  // namespace cross_library
