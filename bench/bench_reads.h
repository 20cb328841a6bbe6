#pragma once

// A read as the acquisition side hands it in, with every key the block
// builders read, for the benchmarks of message building and the buffer.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "data_model/interfaces/read_holder.h"

namespace bench_reads {

inline interfaces::ReadHolder make_read(std::size_t num_samples, unsigned long long tag) {
    interfaces::ReadHolder read;
    read.read_tag = tag;
    std::vector<short> samples(num_samples);
    for (std::size_t i = 0; i < num_samples; ++i) {
        samples[i] = static_cast<short>(i % 2000);
    }
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(std::move(samples));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    auto& m = read.metadata;
    m.insert("duration", static_cast<unsigned long long>(num_samples));
    m.insert("daq_offset", 4.0f);
    m.insert("daq_scaling", 0.2f);
    m.insert("read_id", std::string("0b8c6a3e-5f2d-4f57-9d0a-3f1c2e4b5a6d"));
    m.insert("strand_id", std::string("0b8c6a3e-5f2d-4f57-9d0a-3f1c2e4b5a6d"));
    m.insert("sampling_rate", 5000.0f);
    m.insert("start_time", 123456789ull);
    m.insert("channel", 412);
    m.insert("mux", 2u);
    m.insert("run_id", std::string("f2a1c7d9e3b54a6f8c0d1e2f3a4b5c6d7e8f9a0b"));
    m.insert("sequencing_kit", std::string("kit-114"));
    m.insert("flow_cell_product_code", std::string("fc-r10"));
    return read;
}

}  // namespace bench_reads
