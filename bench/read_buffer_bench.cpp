// Reads through the read buffer, in reads per second: admission
// (queue_reads / queue_read, which builds the messages), the worker's
// hand-over (next_read_messages, reads_submitted, read_retrieved) and the
// application's collection (get_reads_out), all on one thread. Beside it,
// in the same run, building the same messages alone: the ratio of the two
// is the buffer's own overhead on top of the message building it cannot
// avoid.
//
// Short reads (64 of 4000 samples, one batch) and long reads (16 blocks and
// a bit) are measured apart. A third short-read arm also asks for each
// submitted read as the assembly does (get_submitted_read_holder), which
// keeps what the read held when it was passed in.
//
// After the runs, prints the ratios as medians of interleaved rounds.

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "strandlink/read_buffer.h"

#include "bench/bench_reads.h"
#include "bench/interleaved_rounds.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BLOCK_SIZE = 256000;
constexpr std::size_t LONG_READ = 16 * BLOCK_SIZE + 1000;
constexpr std::size_t SHORT_READ = 4000;
constexpr std::size_t READS_PER_BATCH = BLOCK_SIZE / SHORT_READ;

const std::string CLIENT_ID = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

using bench_reads::make_read;

std::unique_ptr<strandlink::ReadBuffer> make_buffer() {
    auto buffer = std::make_unique<strandlink::ReadBuffer>();
    buffer->set_block_size(BLOCK_SIZE);
    buffer->set_max_input_queue_size(8);
    buffer->set_max_read_failures(10);
    buffer->set_connection_id(CLIENT_ID);
    return buffer;
}

struct Work {
    std::unique_ptr<strandlink::ReadBuffer> buffer = make_buffer();
    interfaces::ReadList short_list;
    interfaces::ReadList long_list;
    std::vector<interfaces::ReadHolder> short_reads;  // the same reads, for building alone
    interfaces::ReadHolder long_read = make_read(LONG_READ, 1000);

    Work() {
        for (std::size_t i = 0; i < READS_PER_BATCH; ++i) {
            short_list.push_back(make_read(SHORT_READ, i + 1));
            short_reads.push_back(make_read(SHORT_READ, i + 1));
        }
        long_list.push_back(make_read(LONG_READ, 1000));
    }

    // The worker's side for every queued entry, then the application's
    // collection back into `list`, ready for the next run.
    void hand_over(interfaces::ReadList& list, bool ask_for_each_read) {
        while (buffer->num_queued_reads() > 0) {
            benchmark::DoNotOptimize(buffer->next_read_messages().data());
            buffer->reads_submitted();
        }
        for (const auto& read : list_tags) {
            if (ask_for_each_read) {
                benchmark::DoNotOptimize(buffer->get_submitted_read_holder(read));
            }
            buffer->read_retrieved(read);
        }
        buffer->get_reads_out(list);
    }

    void short_reads_through_buffer(bool ask_for_each_read) {
        list_tags.clear();
        for (const auto& read : short_list) {
            list_tags.push_back(read.read_tag);
        }
        if (buffer->queue_reads(short_list, 0) != strandlink::BufferQueueReadsResult::queued) {
            std::abort();
        }
        hand_over(short_list, ask_for_each_read);
    }

    void long_read_through_buffer() {
        list_tags.assign(1, long_list.front().read_tag);
        if (buffer->queue_read(long_list.front(), 0) != strandlink::BufferQueueReadsResult::queued) {
            std::abort();
        }
        long_list.clear();
        hand_over(long_list, false);
    }

    void short_reads_built_alone() {
        auto message = ipc_tools::create_read_batch_message(short_reads, CLIENT_ID);
        benchmark::DoNotOptimize(&message);
    }

    void long_read_built_alone() {
        auto messages = ipc_tools::create_read_block_messages(long_read, CLIENT_ID, BLOCK_SIZE);
        benchmark::DoNotOptimize(messages.data());
    }

    std::vector<unsigned long long> list_tags;
};

Work& work() {
    static Work instance;
    return instance;
}

void BM_ShortReadsThroughBuffer(benchmark::State& state) {
    for (auto _ : state) {
        work().short_reads_through_buffer(false);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * READS_PER_BATCH));
}
BENCHMARK(BM_ShortReadsThroughBuffer)->Unit(benchmark::kMicrosecond);

void BM_ShortReadsThroughBufferAskingForEachRead(benchmark::State& state) {
    for (auto _ : state) {
        work().short_reads_through_buffer(true);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * READS_PER_BATCH));
}
BENCHMARK(BM_ShortReadsThroughBufferAskingForEachRead)->Unit(benchmark::kMicrosecond);

void BM_ShortReadsBuiltAlone(benchmark::State& state) {
    for (auto _ : state) {
        work().short_reads_built_alone();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * READS_PER_BATCH));
}
BENCHMARK(BM_ShortReadsBuiltAlone)->Unit(benchmark::kMicrosecond);

void BM_LongReadThroughBuffer(benchmark::State& state) {
    for (auto _ : state) {
        work().long_read_through_buffer();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LongReadThroughBuffer)->Unit(benchmark::kMicrosecond);

void BM_LongReadBuiltAlone(benchmark::State& state) {
    for (auto _ : state) {
        work().long_read_built_alone();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LongReadBuiltAlone)->Unit(benchmark::kMicrosecond);

void print_interleaved_ratios(int rounds) {
    Work& w = work();
    const double batch = static_cast<double>(READS_PER_BATCH);
    enum { short_buffer, short_buffer_asking, short_alone, long_buffer, long_alone };
    const std::vector<bench_rounds::Arm> arms = {
            {"short reads through the buffer", [&w] { w.short_reads_through_buffer(false); }, batch},
            {"the same, asking for each read", [&w] { w.short_reads_through_buffer(true); }, batch},
            {"short reads, batch built alone", [&w] { w.short_reads_built_alone(); }, batch},
            {"long read through the buffer", [&w] { w.long_read_through_buffer(); }, 1},
            {"long read, blocks built alone", [&w] { w.long_read_built_alone(); }, 1},
    };
    const auto rates = bench_rounds::run_rounds(arms, rounds, 0.05);
    std::printf("\nReads per second (median of %d interleaved rounds):\n", rounds);
    for (std::size_t a = 0; a < arms.size(); ++a) {
        std::printf("  %-34s %12.0f\n", arms[a].name.c_str(), bench_rounds::median(rates[a]));
    }
    std::printf("\nThrough the buffer as a fraction of building the messages alone:\n");
    const auto print = [&](int a, int b) {
        std::printf("  %-34s / %-32s %.3f\n", arms[a].name.c_str(), arms[b].name.c_str(),
                    bench_rounds::median_ratio(rates, a, b));
    };
    print(short_buffer, short_alone);
    print(short_buffer_asking, short_alone);
    print(long_buffer, long_alone);
}

}  // namespace

int main(int argc, char** argv) {
    return bench_rounds::benchmark_main(argc, argv, print_interleaved_ratios);
}
