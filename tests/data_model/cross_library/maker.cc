#include "tests/data_model/cross_library/cross_library.h"

#include "data_model/data_table.h"

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Metadata;

namespace cross_library {

Metadata* maker_create_metadata() {
    auto* metadata = new Metadata();
    metadata->insert("read_id", std::string("read-from-maker-with-a-long-identifier"));
    metadata->insert<int>("channel", 17);
    metadata->insert<unsigned int>("mux", 3);
    metadata->insert<unsigned long long>("duration", 123456789012ull);
    metadata->insert<float>("sampling_rate", 4000.0f);
    metadata->insert<bool>("duplex", true);
    metadata->insert<double>("ratio", 0.25);
    return metadata;
}

DataSetData* maker_create_owning_dataset(DataSetType type) {
    auto* data = new DataSetData();
    switch (type) {
        case DataSetType::string:
            data->own(std::string("ACGTACGTACGTACGTACGTACGTACGTACGTACGT"));
            break;
        case DataSetType::int16:
            data->own(std::vector<short>{10, -20, 30});
            break;
        case DataSetType::table: {
            DataTable table;
            table.add_field("name", DataSetType::fixed_string, 7);
            table.add_field("value", DataSetType::int32);
            table.allocate(2);
            table.view_field<int>(1)[1] = 99;
            data->own(std::move(table));
            break;
        }
        default:
            break;
    }
    data->metadata.insert("made_by", std::string("maker"));
    return data;
}

interfaces::ReadHolder* maker_create_read() {
    auto* read = new interfaces::ReadHolder();
    read->read_tag = 11;
    std::unique_ptr<Metadata> metadata(maker_create_metadata());
    read->metadata = std::move(*metadata);
    for (DataSetType type : {DataSetType::string, DataSetType::int16, DataSetType::table}) {
        std::unique_ptr<DataSetData> data(maker_create_owning_dataset(type));
        const dataset id = type == DataSetType::string  ? dataset::sequence
                           : type == DataSetType::int16 ? dataset::raw_data
                                                        : dataset::align_results;
        read->datasets.emplace(id, std::move(*data));
    }
    return read;
}

}  // namespace cross_library
