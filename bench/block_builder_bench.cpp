// Building the wire messages of reads, in samples per second, beside a plain
// memcpy of the same sample bytes measured in the same run.
//
// After the runs, prints each builder's throughput as a fraction of memcpy's:
// the messages copy each sample once (straight into the builder's buffer), so
// the ratio shows what the tables, strings and allocations cost on top.

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BLOCK_SIZE = 256000;       // samples per block message
constexpr std::size_t LONG_READ = 16 * BLOCK_SIZE + 1000;
constexpr std::size_t SHORT_READ = 4000;         // 64 of them fill one batch
constexpr std::size_t READS_PER_BATCH = BLOCK_SIZE / SHORT_READ;

interfaces::ReadHolder make_read(std::size_t num_samples, unsigned long long tag) {
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

const std::string CLIENT_ID = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

void BM_LongReadBlockMessages(benchmark::State& state) {
    const auto read = make_read(LONG_READ, 1);
    for (auto _ : state) {
        auto messages = ipc_tools::create_read_block_messages(read, CLIENT_ID, BLOCK_SIZE);
        benchmark::DoNotOptimize(messages.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LONG_READ));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LONG_READ * sizeof(short)));
}
BENCHMARK(BM_LongReadBlockMessages)->Unit(benchmark::kMillisecond);

void BM_ShortReadBatchMessage(benchmark::State& state) {
    std::vector<interfaces::ReadHolder> reads;
    for (std::size_t i = 0; i < READS_PER_BATCH; ++i) {
        reads.push_back(make_read(SHORT_READ, i + 1));
    }
    for (auto _ : state) {
        auto message = ipc_tools::create_read_batch_message(reads, CLIENT_ID);
        benchmark::DoNotOptimize(&message);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * READS_PER_BATCH * SHORT_READ));
    state.SetBytesProcessed(
            static_cast<int64_t>(state.iterations() * READS_PER_BATCH * SHORT_READ * sizeof(short)));
}
BENCHMARK(BM_ShortReadBatchMessage)->Unit(benchmark::kMillisecond);

// The floors: the same sample bytes copied with plain memcpy, block by block
// (or read by read) into one buffer of a block's size that already exists.
void BM_MemcpyLongReadBlocks(benchmark::State& state) {
    std::vector<short> source(LONG_READ, 7);
    std::vector<short> target(BLOCK_SIZE);
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < LONG_READ; offset += BLOCK_SIZE) {
            const std::size_t samples = std::min(BLOCK_SIZE, LONG_READ - offset);
            std::memcpy(target.data(), source.data() + offset, samples * sizeof(short));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LONG_READ));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LONG_READ * sizeof(short)));
}
BENCHMARK(BM_MemcpyLongReadBlocks)->Unit(benchmark::kMillisecond);

// memcpy into a freshly allocated buffer per block, as each message needs its
// own buffer: separates the cost of fresh memory from that of the builder.
void BM_MemcpyLongReadFreshBlocks(benchmark::State& state) {
    std::vector<short> source(LONG_READ, 7);
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < LONG_READ; offset += BLOCK_SIZE) {
            const std::size_t samples = std::min(BLOCK_SIZE, LONG_READ - offset);
            std::unique_ptr<short[]> target(new short[samples]);
            std::memcpy(target.get(), source.data() + offset, samples * sizeof(short));
            benchmark::DoNotOptimize(target.get());
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LONG_READ));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LONG_READ * sizeof(short)));
}
BENCHMARK(BM_MemcpyLongReadFreshBlocks)->Unit(benchmark::kMillisecond);

void BM_MemcpyShortReads(benchmark::State& state) {
    std::vector<std::vector<short>> sources(READS_PER_BATCH, std::vector<short>(SHORT_READ, 7));
    std::vector<short> target(READS_PER_BATCH * SHORT_READ);
    for (auto _ : state) {
        short* out = target.data();
        for (const auto& source : sources) {
            std::memcpy(out, source.data(), SHORT_READ * sizeof(short));
            out += SHORT_READ;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * READS_PER_BATCH * SHORT_READ));
    state.SetBytesProcessed(
            static_cast<int64_t>(state.iterations() * READS_PER_BATCH * SHORT_READ * sizeof(short)));
}
BENCHMARK(BM_MemcpyShortReads)->Unit(benchmark::kMillisecond);

// Keeps each run's samples per second for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) {
                m_rates[run.benchmark_name()] = items->second.value;
            }
        }
    }

    void print_ratios() const {
        std::printf("\nSamples per second as a fraction of plain memcpy of the same bytes (same run):\n");
        print_ratio("BM_LongReadBlockMessages", "BM_MemcpyLongReadBlocks");
        print_ratio("BM_LongReadBlockMessages", "BM_MemcpyLongReadFreshBlocks");
        print_ratio("BM_ShortReadBatchMessage", "BM_MemcpyShortReads");
    }

private:
    void print_ratio(const char* name, const char* floor) const {
        const double value = rate(name);
        const double reference = rate(floor);
        if (value > 0 && reference > 0) {
            std::printf("  %-26s / %-30s %.3f\n", name, floor, value / reference);
        }
    }

    double rate(const std::string& prefix) const {
        for (const auto& [name, value] : m_rates) {
            if (name.rfind(prefix, 0) == 0 &&
                (name.size() == prefix.size() || name[prefix.size()] == '/')) {
                return value;
            }
        }
        return 0;
    }

    std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
