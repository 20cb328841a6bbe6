// Building the wire messages of reads, in samples per second, beside a plain
// memcpy of the same sample bytes measured in the same run.
//
// After the runs, prints each builder's throughput as a fraction of memcpy's,
// the median of per-round ratios of arms run interleaved: the messages copy
// each sample once (straight into the builder's buffer), so the ratio shows
// what the tables, strings and allocations cost on top. Long reads have two
// floors: a copy into one warm buffer, and a fair one that, like the
// builder, writes every block into memory of its own, all kept until the
// read is done.

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"

#include "bench/bench_reads.h"
#include "bench/interleaved_rounds.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BLOCK_SIZE = 256000;       // samples per block message
constexpr std::size_t LONG_READ = 16 * BLOCK_SIZE + 1000;
constexpr std::size_t SHORT_READ = 4000;         // 64 of them fill one batch
constexpr std::size_t READS_PER_BATCH = BLOCK_SIZE / SHORT_READ;

using bench_reads::make_read;

const std::string CLIENT_ID = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

// The work of each arm, one unit per call.
struct Work {
    interfaces::ReadHolder long_read = make_read(LONG_READ, 1);
    std::vector<interfaces::ReadHolder> short_reads;
    std::vector<short> long_source = std::vector<short>(LONG_READ, 7);
    std::vector<short> warm_target = std::vector<short>(BLOCK_SIZE);
    std::vector<std::vector<short>> short_sources =
            std::vector<std::vector<short>>(READS_PER_BATCH, std::vector<short>(SHORT_READ, 7));
    std::vector<short> short_target = std::vector<short>(READS_PER_BATCH * SHORT_READ);

    Work() {
        for (std::size_t i = 0; i < READS_PER_BATCH; ++i) {
            short_reads.push_back(make_read(SHORT_READ, i + 1));
        }
    }

    void long_read_block_messages() {
        auto messages = ipc_tools::create_read_block_messages(long_read, CLIENT_ID, BLOCK_SIZE);
        benchmark::DoNotOptimize(messages.data());
    }

    void short_read_batch_message() {
        auto message = ipc_tools::create_read_batch_message(short_reads, CLIENT_ID);
        benchmark::DoNotOptimize(&message);
    }

    // The same sample bytes copied block by block into one buffer of a
    // block's size that already exists.
    void memcpy_long_read_warm() {
        for (std::size_t offset = 0; offset < LONG_READ; offset += BLOCK_SIZE) {
            const std::size_t samples = std::min(BLOCK_SIZE, LONG_READ - offset);
            std::memcpy(warm_target.data(), long_source.data() + offset, samples * sizeof(short));
            benchmark::ClobberMemory();
        }
    }

    // Each block into a new buffer of its own, all alive until the read is
    // done, as the messages of a read are: the cost of fresh memory (page
    // faults, allocator) that the builder cannot avoid either.
    void memcpy_long_read_fresh() {
        std::vector<std::unique_ptr<short[]>> targets;
        targets.reserve(LONG_READ / BLOCK_SIZE + 1);
        for (std::size_t offset = 0; offset < LONG_READ; offset += BLOCK_SIZE) {
            const std::size_t samples = std::min(BLOCK_SIZE, LONG_READ - offset);
            targets.emplace_back(new short[samples]);
            std::memcpy(targets.back().get(), long_source.data() + offset, samples * sizeof(short));
            benchmark::DoNotOptimize(targets.back().get());
        }
        benchmark::ClobberMemory();
    }

    void memcpy_short_reads() {
        short* out = short_target.data();
        for (const auto& source : short_sources) {
            std::memcpy(out, source.data(), SHORT_READ * sizeof(short));
            out += SHORT_READ;
        }
        benchmark::ClobberMemory();
    }
};

Work& work() {
    static Work instance;
    return instance;
}

template <void (Work::*Run)()>
void run_arm(benchmark::State& state, std::size_t samples_per_run) {
    Work& w = work();
    for (auto _ : state) {
        (w.*Run)();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples_per_run));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * samples_per_run * sizeof(short)));
}

void BM_LongReadBlockMessages(benchmark::State& state) {
    run_arm<&Work::long_read_block_messages>(state, LONG_READ);
}
BENCHMARK(BM_LongReadBlockMessages)->Unit(benchmark::kMillisecond);

void BM_ShortReadBatchMessage(benchmark::State& state) {
    run_arm<&Work::short_read_batch_message>(state, READS_PER_BATCH * SHORT_READ);
}
BENCHMARK(BM_ShortReadBatchMessage)->Unit(benchmark::kMillisecond);

void BM_MemcpyLongReadBlocks(benchmark::State& state) {
    run_arm<&Work::memcpy_long_read_warm>(state, LONG_READ);
}
BENCHMARK(BM_MemcpyLongReadBlocks)->Unit(benchmark::kMillisecond);

void BM_MemcpyLongReadFreshBlocks(benchmark::State& state) {
    run_arm<&Work::memcpy_long_read_fresh>(state, LONG_READ);
}
BENCHMARK(BM_MemcpyLongReadFreshBlocks)->Unit(benchmark::kMillisecond);

void BM_MemcpyShortReads(benchmark::State& state) {
    run_arm<&Work::memcpy_short_reads>(state, READS_PER_BATCH * SHORT_READ);
}
BENCHMARK(BM_MemcpyShortReads)->Unit(benchmark::kMillisecond);

void print_interleaved_ratios(int rounds) {
    Work& w = work();
    const double long_samples = static_cast<double>(LONG_READ);
    const double short_samples = static_cast<double>(READS_PER_BATCH * SHORT_READ);
    enum { batch, memcpy_short, blocks, memcpy_warm, memcpy_fresh };
    const std::vector<bench_rounds::Arm> arms = {
            {"batch of 64 short reads", [&w] { w.short_read_batch_message(); }, short_samples},
            {"memcpy of the short reads", [&w] { w.memcpy_short_reads(); }, short_samples},
            {"blocks of a long read", [&w] { w.long_read_block_messages(); }, long_samples},
            {"memcpy, one warm buffer", [&w] { w.memcpy_long_read_warm(); }, long_samples},
            {"memcpy, fresh buffer per block", [&w] { w.memcpy_long_read_fresh(); }, long_samples},
    };
    const auto rates = bench_rounds::run_rounds(arms, rounds, 0.05);
    std::printf("\nSamples per second as a fraction of plain memcpy of the same bytes\n"
                "(median of %d interleaved rounds):\n", rounds);
    const auto print = [&](int a, int b) {
        std::printf("  %-24s / %-32s %.3f\n", arms[a].name.c_str(), arms[b].name.c_str(),
                    bench_rounds::median_ratio(rates, a, b));
    };
    print(batch, memcpy_short);
    print(blocks, memcpy_warm);
    print(blocks, memcpy_fresh);
}

}  // namespace

int main(int argc, char** argv) {
    return bench_rounds::benchmark_main(argc, argv, print_interleaved_ratios);
}
