// Streams reads through a basecall server and checks that every one comes
// back: starts the project's test server on loopback (unless given the
// address of a server), connects with a basecalling configuration, passes a
// few thousand reads of mixed lengths from several threads while a collector
// takes the called reads, finishes, disconnects and prints a summary. Exits
// with 1 when a read is missing or came back twice, 2 on a usage error.
//
//   stream_reads [--address ENDPOINT | --test-server PATH] [--config NAME]
//                [--reads N] [--threads N] [--finish-timeout S]
//
// Uses only the installed public interface of libstrandlink.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "apps/server_query.h"
#include "apps/strandlink.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string address;
    std::string test_server;
    std::string config = "signal_model_hac";
    std::uint64_t reads = 4000;
    unsigned threads = 4;
    std::uint64_t finish_timeout_s = 300;
};

void usage(const char* program) {
    std::cerr << "usage: " << program
              << " [--address ENDPOINT | --test-server PATH] [--config NAME] [--reads N] [--threads N]"
                 " [--finish-timeout S]\n"
                 "  Without --address the test server program (default: test_server beside this program)\n"
                 "  is started on loopback and stopped at the end.\n";
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 == argc) {
            return false;
        }
        const std::string value = argv[++i];
        try {
            if (arg == "--address") {
                options.address = value;
            } else if (arg == "--test-server") {
                options.test_server = value;
            } else if (arg == "--config") {
                options.config = value;
            } else if (arg == "--reads") {
                options.reads = std::stoull(value);
            } else if (arg == "--threads") {
                options.threads = static_cast<unsigned>(std::stoul(value));
            } else if (arg == "--finish-timeout") {
                options.finish_timeout_s = std::stoull(value);
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    return options.threads > 0 && options.reads > 0;
}

// The test server as a child process, stopped with SIGTERM when this goes.
class TestServerProcess {
public:
    ~TestServerProcess() { stop(); }

    // Starts `program --example` and reads the endpoint from its first line.
    bool start(const std::string& program, std::string& endpoint) {
        int out[2];
        if (pipe(out) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        std::vector<std::string> args = {program, "--example"};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            close(out[0]);
            m_pid = -1;
            std::cerr << "cannot start " << program << ": " << std::strerror(spawned) << "\n";
            return false;
        }
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(out[0]);
        const std::string prefix = "test_server listening on ";
        if (line.compare(0, prefix.size(), prefix) != 0) {
            std::cerr << "the test server did not start: " << line << "\n";
            return false;
        }
        endpoint = line.substr(prefix.size());
        return true;
    }

    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
};

std::string beside_this_program(const char* argv0, const std::string& name) {
    const std::string self = argv0;
    const auto slash = self.rfind('/');
    return slash == std::string::npos ? name : self.substr(0, slash + 1) + name;
}

// Read lengths of an acquisition: mostly a few thousand samples, some
// longer, a few too short to call (they come back at once, uncalled) and a
// few long enough to travel in more than one message.
std::size_t read_length(std::mt19937& random) {
    const unsigned kind = random() % 100;
    if (kind < 3) {
        return 20 + random() % 80;
    }
    if (kind < 5) {
        return 260000 + random() % 100000;
    }
    if (kind < 30) {
        return 20000 + random() % 60000;
    }
    return 2000 + random() % 18000;
}

apps::Read make_read(std::uint64_t tag, std::size_t samples, std::mt19937& random) {
    apps::Read read;
    read.set_read_tag(tag);
    std::vector<std::int16_t> signal(samples);
    for (auto& sample : signal) {
        sample = static_cast<std::int16_t>(300 + random() % 400);
    }
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(std::move(signal));
    read.get_datasets().emplace(dataset::raw_data, std::move(raw));
    auto& metadata = read.get_metadata();
    metadata.insert("read_id", "example-read-" + std::to_string(tag));
    metadata.insert("daq_offset", 4.0f);
    metadata.insert("daq_scaling", 0.2f);
    metadata.insert("sampling_rate", 4000.0f);
    metadata.insert("start_time", static_cast<unsigned long long>(tag * 40000));
    return read;
}

struct Counts {
    std::mutex mutex;
    std::map<apps::PassReadResult, std::uint64_t> pass_results;
    std::uint64_t samples_passed = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        usage(argv[0]);
        return 2;
    }

    TestServerProcess server;
    std::string address = options.address;
    if (address.empty()) {
        const std::string program =
                options.test_server.empty() ? beside_this_program(argv[0], "test_server") : options.test_server;
        if (!server.start(program, address)) {
            return 1;
        }
        std::cout << "started the test server on " << address << "\n";
    }

    std::cout << "libstrandlink " << apps::Strandlink::get_software_version().text << ", interface "
              << apps::Strandlink::get_api_version().text << ", protocol "
              << apps::Strandlink::get_protocol_version().text << "\n";

    std::string information;
    const apps::Result info_result = apps::server_query::get_server_information(information, address, 2000);
    std::cout << "server information: " << info_result << " " << information << "\n";

    apps::Strandlink client(address, options.config, "", true);
    kelp::data_wrappers::v2::Metadata params;
    params.insert("client_name", std::string("stream_reads"));
    params.insert("max_reads_queued", static_cast<unsigned long long>(100));
    params.insert("query_timeout", static_cast<unsigned int>(5000));
    client.set_params(params);

    const apps::Result connect_result = client.connect();
    std::cout << "connect: " << connect_result << "\n";
    if (connect_result != apps::Result::success) {
        std::cerr << client.get_error_message() << "\n";
        return 1;
    }
    apps::ConnectedServerInfo server_info;
    client.get_connected_server_info(server_info);
    std::cout << "connected to server " << server_info.server_version << " as " << server_info.client_uid << "\n";

    const auto start = Clock::now();
    Counts counts;
    std::atomic<std::uint64_t> passed{0};
    std::atomic<bool> passing{true};

    // Each thread passes the tags i, i + threads, i + 2 threads, ...
    std::vector<std::thread> passers;
    for (unsigned t = 0; t < options.threads; ++t) {
        passers.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (std::uint64_t tag = t; tag < options.reads; tag += options.threads) {
                apps::Read read = make_read(tag, read_length(random), random);
                const std::size_t samples = read.get_datasets().at(dataset::raw_data).info.count;
                apps::PassReadResult result;
                do {
                    result = client.pass_read(read, 200);
                    std::lock_guard<std::mutex> lock(counts.mutex);
                    ++counts.pass_results[result];
                } while (result == apps::PassReadResult::queue_full);
                if (result != apps::PassReadResult::success) {
                    std::cerr << "read " << tag << " refused: " << result << "\n";
                    continue;
                }
                std::lock_guard<std::mutex> lock(counts.mutex);
                counts.samples_passed += samples;
                ++passed;
            }
        });
    }

    // The collector: each read tag must come back exactly once.
    std::map<std::uint64_t, std::size_t> returned;  // tag -> reads (sub reads included)
    std::uint64_t called = 0;
    std::uint64_t uncalled = 0;
    std::uint64_t bases = 0;
    auto collect = [&] {
        std::vector<std::vector<apps::Read>> groups;
        client.get_completed_reads(groups);
        for (const auto& group : groups) {
            returned[group.front().get_read_tag()] += group.size();
            for (const auto& read : group) {
                const auto sequence = read.get_datasets().find(dataset::sequence);
                if (sequence == read.get_datasets().end()) {
                    ++uncalled;
                } else {
                    ++called;
                    bases += sequence->second.get_string().size();
                }
            }
        }
        return groups.size();
    };
    std::thread collector([&] {
        auto last_report = Clock::now();
        while (passing.load()) {
            if (collect() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (Clock::now() - last_report > std::chrono::seconds(2)) {
                last_report = Clock::now();
                std::cerr << "progress: " << passed.load() << "/" << options.reads << " passed, " << returned.size()
                          << " back\n";
            }
        }
    });

    for (auto& passer : passers) {
        passer.join();
    }
    const apps::Result finish_result = client.finish(options.finish_timeout_s);
    passing = false;
    collector.join();
    collect();
    const apps::Result disconnect_result = client.disconnect();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.stop();

    std::uint64_t missing = 0;
    std::uint64_t split = 0;
    for (std::uint64_t tag = 0; tag < options.reads; ++tag) {
        const auto it = returned.find(tag);
        if (it == returned.end()) {
            ++missing;
        } else if (it->second > 1) {
            ++split;
        }
    }
    const std::uint64_t unexpected = returned.size() + missing - options.reads;

    std::cout << "reads in:            " << passed.load() << " of " << options.reads << " from " << options.threads
              << " threads\n"
              << "reads out:           " << returned.size() << " (" << called << " called, " << uncalled
              << " too short to call, " << split << " split by the server)\n"
              << "missing:             " << missing << "\n"
              << "samples:             " << counts.samples_passed << " in " << seconds << " s, "
              << static_cast<std::uint64_t>(counts.samples_passed / std::max(seconds, 1e-9)) << " samples/s\n"
              << "bases called:        " << bases << "\n"
              << "pass_read results:  ";
    for (const auto& [result, count] : counts.pass_results) {
        std::cout << " " << result << "=" << count;
    }
    std::cout << "\n"
              << "finish: " << finish_result << ", disconnect: " << disconnect_result
              << (disconnect_result == apps::Result::no_connection ? " (finish had closed the connection)" : "")
              << "\n";
    const bool ok = missing == 0 && unexpected == 0 && passed.load() == options.reads &&
                    finish_result == apps::Result::success;
    std::cout << (ok ? "OK: every read came back once" : "FAILED: reads are missing or unexpected") << "\n";
    return ok ? 0 : 1;
}
