// The whole client (apps::Strandlink) against a responder that answers at
// once from replies prepared ahead (bench/fast_responder.h), beside a bare
// REQ socket sending the very same sequence of request frames to the same
// responder, in interleaved rounds.
//
//   client   pass the round's reads in lists, collect them all and drop them
//   raw      the hot requests of one client round, captured byte for byte,
//            sent on a bare REQ socket, each reply awaited
//
// The client arm's reads are made before each run, untimed: what is timed
// is what the client costs an application from handing reads in to having
// dropped the called reads. The figures: samples/s of each arm (medians over
// rounds), the median of the per-round ratios client / raw (1.0: the client
// moves reads as fast as the wire), and the CPU time a client round costs
// the client's worker thread and the application's thread.
//
// Usage: client_bench [--rounds=N] [--workload=short|long|mixed]
//                     [--list-size=N] [--profile=client|raw] [--seconds=S]
// --list-size passes the reads in lists of N instead of the workload's 64.
// --profile runs one arm alone for S seconds (default 20) after the setup,
// for a profiler to attach to.

#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apps/strandlink.h"
#include "bench/fast_responder.h"
#include "bench/interleaved_rounds.h"
#include "testing/basecaller.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"

namespace {

std::vector<std::int16_t> make_samples(std::size_t count, unsigned seed) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t state = 2463534242u + seed * 7919u;
    for (auto& sample : samples) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        sample = static_cast<std::int16_t>(300 + state % 400);
    }
    return samples;
}

interfaces::ReadHolder make_read(unsigned long long tag, std::size_t samples) {
    interfaces::ReadHolder read;
    read.read_tag = tag;
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(make_samples(samples, static_cast<unsigned>(tag)));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    const std::string id = "0b8c6a3e-5f2d-4f57-9d0a-" + std::to_string(100000000000ull + tag);
    read.metadata.insert("duration", static_cast<unsigned long long>(samples));
    read.metadata.insert("daq_offset", 4.5f);
    read.metadata.insert("daq_scaling", 0.25f);
    read.metadata.insert("read_id", id);
    read.metadata.insert("strand_id", id);
    read.metadata.insert("sampling_rate", 4000.0f);
    read.metadata.insert("start_time", 1000ull * tag);
    read.metadata.insert("channel", static_cast<int>(tag % 512));
    read.metadata.insert("mux", static_cast<unsigned>(tag % 4));
    read.metadata.insert("run_id", std::string("f2a1c7d9e3b54a6f8c0d1e2f3a4b5c6d7e8f9a0b"));
    return read;
}

// A deep copy of a read as the application made it.
interfaces::ReadHolder copy_of(const interfaces::ReadHolder& read) {
    interfaces::ReadHolder copy;
    copy.read_tag = read.read_tag;
    copy.metadata = read.metadata;
    for (const auto& [id, source] : read.datasets) {
        auto& target = copy.datasets[id];
        target.copy_data(source);
        target.info = source.info;
        target.metadata = source.metadata;
    }
    return copy;
}

// The scheduler's account of the process's thread named `name`, found once:
// reading it each round is one small file, not a walk over every thread.
std::string thread_schedstat_path(const std::string& name) {
    std::string found;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            const std::string task = std::string("/proc/self/task/") + entry->d_name;
            std::string comm;
            std::getline(std::ifstream(task + "/comm"), comm);
            if (comm == name) {
                found = task + "/schedstat";
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

// CPU time in ns from a schedstat file (0 when it cannot be read).
std::uint64_t schedstat_cpu_ns(const std::string& path) {
    std::uint64_t ns = 0;
    std::ifstream(path) >> ns;
    return ns;
}

std::uint64_t own_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

struct Workload {
    const char* name;
    std::vector<std::size_t> samples;  // of each read, in tag order
    std::size_t list_size;             // reads per pass_reads call
};

std::vector<Workload> workloads() {
    Workload short_reads{"short", std::vector<std::size_t>(2000, 4000), 64};
    Workload long_reads{"long", std::vector<std::size_t>(100, 1000000), 64};
    // Lengths spread evenly on a log scale from 1,000 to 1.5 M samples.
    Workload mixed{"mixed", {}, 64};
    std::uint32_t state = 12345;
    for (int i = 0; i < 300; ++i) {
        state = state * 1664525u + 1013904223u;
        const double u = static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
        mixed.samples.push_back(static_cast<std::size_t>(1000.0 * std::pow(1500.0, u)));
    }
    return {short_reads, long_reads, mixed};
}

struct Options {
    int rounds = 15;
    std::string workload;  // empty: all
    std::string profile;   // empty: the rounds
    std::size_t list_size = 0;  // 0: the workload's
    double seconds = 20;
};

const char* const USAGE =
        "Usage: client_bench [--rounds=N] [--workload=short|long|mixed]\n"
        "                    [--list-size=N] [--profile=client|raw] [--seconds=S]\n";

Options parse(int argc, char** argv) {
    Options options;
    options.rounds = bench_rounds::take_rounds_argument(argc, argv, options.rounds);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--workload=", 0) == 0) {
            options.workload = arg.substr(11);
        } else if (arg.rfind("--profile=", 0) == 0) {
            options.profile = arg.substr(10);
        } else if (arg.rfind("--list-size=", 0) == 0) {
            options.list_size = static_cast<std::size_t>(std::atol(arg.c_str() + 12));
        } else if (arg.rfind("--seconds=", 0) == 0) {
            options.seconds = std::atof(arg.c_str() + 10);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown argument: " + arg);
        }
    }
    return options;
}

void run_workload(Workload w, const Options& options) {
    if (options.list_size > 0) {
        w.list_size = options.list_size;
    }
    test_server::BasecallerOptions basecaller_options;
    basecaller_options.polls_before_ready = 0;
    basecaller_options.max_reads = 0;
    basecaller_options.max_samples = 0;
    basecaller_options.reuse_calls = true;
    auto basecaller = std::make_shared<test_server::Basecaller>(basecaller_options);
    test_server::TestServer server("tcp://127.0.0.1:*");
    test_server::ServerRegistration::install(server, test_server::example_setup(), basecaller);
    server.start();
    bench_responder::FastResponder responder(server.endpoint());

    apps::Strandlink client(responder.endpoint(), "signal_model_hac", "", false);
    if (client.connect() != apps::Result::success) {
        throw std::runtime_error("bench client did not connect");
    }

    std::vector<interfaces::ReadHolder> templates;
    double total_samples = 0;
    for (std::size_t i = 0; i < w.samples.size(); ++i) {
        templates.push_back(make_read(i + 1, w.samples[i]));
        total_samples += static_cast<double>(w.samples[i]);
    }
    std::vector<std::vector<apps::Read>> lists;
    auto prepare = [&] {
        lists.clear();
        for (std::size_t i = 0; i < templates.size(); i += w.list_size) {
            std::vector<apps::Read> list;
            for (std::size_t k = i; k < templates.size() && k < i + w.list_size; ++k) {
                apps::Read read;
                read.set_readholder(copy_of(templates[k]));
                list.push_back(std::move(read));
            }
            lists.push_back(std::move(list));
        }
    };
    // CPU time of one client round: the client's worker thread, and the
    // application's thread handing reads in, collecting and dropping them.
    const std::string worker_schedstat = thread_schedstat_path("client_worker");
    std::vector<double> worker_ms;
    std::vector<double> application_ms;
    // The round's time, and how much of it the client kept the wire busy:
    // what is left is the application's own before the first request and
    // after the last reply.
    std::vector<double> round_ms;
    std::vector<double> wire_ms;
    auto client_round = [&] {
        responder.take_span();
        const auto round_start = std::chrono::steady_clock::now();
        const std::uint64_t worker_start = schedstat_cpu_ns(worker_schedstat);
        const std::uint64_t application_start = own_cpu_ns();
        for (auto& list : lists) {
            const auto result = client.pass_reads(list, 600000);
            if (result != apps::PassReadResult::success) {
                throw std::runtime_error("pass refused");
            }
        }
        std::size_t collected = 0;
        while (collected < templates.size()) {
            std::vector<std::vector<apps::Read>> out;
            client.get_completed_reads(out);
            collected += out.size();
            if (out.empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
        application_ms.push_back(static_cast<double>(own_cpu_ns() - application_start) / 1e6);
        worker_ms.push_back(static_cast<double>(schedstat_cpu_ns(worker_schedstat) - worker_start) / 1e6);
        const auto round_time = std::chrono::steady_clock::now() - round_start;
        round_ms.push_back(std::chrono::duration<double, std::milli>(round_time).count());
        wire_ms.push_back(responder.take_span() * 1e3);
    };

    // One round through to the test server records the script; one round
    // served from it is captured for the raw arm.
    responder.record_script();
    prepare();
    client_round();
    responder.serve_fast(true);
    prepare();
    client_round();
    bench_responder::RawReplay raw(responder.endpoint(), responder.take_captured());
    const std::size_t entries = responder.script_entries();
    responder.serve_fast(false);
    raw.run();
    if (responder.handed_out() != entries) {
        throw std::runtime_error("raw replay did not hand out the whole script");
    }

    std::printf("%s: %zu reads, %.0f samples per round, lists of %zu, %zu requests on the wire, "
                "%zu called replies\n",
                w.name, templates.size(), total_samples, w.list_size, raw.size(), entries);
    std::fflush(stdout);

    const std::vector<bench_rounds::Arm> arms = {{"client", client_round, total_samples, prepare},
                                                 {"raw", [&] { raw.run(); }, total_samples}};
    if (!options.profile.empty()) {
        const auto& arm = options.profile == "raw" ? arms[1] : arms[0];
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
        std::size_t runs = 0;
        while (std::chrono::steady_clock::now() < end) {
            bench_rounds::time_runs(arm, 1);
            ++runs;
        }
        std::printf("  %s alone: %zu runs\n", arm.name.c_str(), runs);
    } else {
        worker_ms.clear();
        application_ms.clear();
        round_ms.clear();
        wire_ms.clear();
        const auto rates = bench_rounds::run_rounds(arms, options.rounds, 0.3);
        std::printf("  client: %8.1f Msamples/s\n", bench_rounds::median(rates[0]) / 1e6);
        std::printf("  raw:    %8.1f Msamples/s\n", bench_rounds::median(rates[1]) / 1e6);
        std::printf("  client / raw: %.2f (median of %d per-round ratios)\n",
                    bench_rounds::median_ratio(rates, 0, 1), options.rounds);
        std::printf("  CPU per client round: worker %.1f ms, application %.1f ms (medians)\n",
                    bench_rounds::median(worker_ms), bench_rounds::median(application_ms));
        std::printf("  client round %.1f ms, the wire busy for %.1f ms of it (medians)\n",
                    bench_rounds::median(round_ms), bench_rounds::median(wire_ms));
    }
    std::fflush(stdout);
    client.disconnect();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
        if (!options.workload.empty() && options.workload != "short" && options.workload != "long" &&
            options.workload != "mixed") {
            throw std::invalid_argument("unknown workload: " + options.workload);
        }
        if (!options.profile.empty() && options.profile != "client" && options.profile != "raw") {
            throw std::invalid_argument("unknown profile: " + options.profile);
        }
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "client_bench: %s\n%s", error.what(), USAGE);
        return 2;
    }
    for (const Workload& w : workloads()) {
        if (options.workload.empty() || options.workload == w.name) {
            run_workload(w, options);
        }
    }
    return 0;
}
