// Streams reads through a basecall server and checks that every one comes
// back: starts the project's test server on loopback (unless given the
// address of a server), connects with a basecalling configuration, passes a
// few thousand reads of mixed lengths from several threads while a collector
// takes the called reads, finishes, disconnects and prints a summary. Exits
// with 1 when it cannot connect or a read is missing or came back twice, 2 on
// a usage error; `stream_reads --help` lists the options and their defaults.
//
// Uses only the installed public interface of libstrandlink.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/program_options.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apps/server_query.h"
#include "apps/strandlink.h"

extern char** environ;

namespace po = boost::program_options;

namespace {

using Clock = std::chrono::steady_clock;

// Where the test server was built, when this program was built with it.
#ifdef STRANDLINK_TEST_SERVER_PATH
const char* const BUILT_TEST_SERVER = STRANDLINK_TEST_SERVER_PATH;
#else
const char* const BUILT_TEST_SERVER = "";
#endif

// One line at a time, whole and flushed at once, whichever thread writes it:
// the output is readable through a pipe or in a log file as it happens.
std::mutex output_mutex;

void say(const std::string& line, std::ostream& out = std::cout) {
    std::lock_guard<std::mutex> lock(output_mutex);
    out << line << std::endl;
}

// A whole decimal number in [Min, Max]: no sign, no fraction, no exponent,
// no trailing text.
template <std::uint64_t Min, std::uint64_t Max>
struct Whole {
    std::uint64_t value = Min;
};

template <std::uint64_t Min, std::uint64_t Max>
std::ostream& operator<<(std::ostream& out, const Whole<Min, Max>& whole) {
    return out << whole.value;
}

// Read by Boost.Program_options for options of type Whole; the range goes
// into the message, the option's name is added by the parser.
template <std::uint64_t Min, std::uint64_t Max>
void validate(boost::any& target, const std::vector<std::string>& values, Whole<Min, Max>*, int) {
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end || value < Min || value > Max) {
        po::validation_error error(po::validation_error::invalid_option_value, "", text);
        // The value goes in as written: only '%' could be taken for a
        // placeholder of the template.
        std::string shown = text;
        std::replace(shown.begin(), shown.end(), '%', '?');
        error.m_error_template = "the argument ('" + shown + "') for option '%canonical_option%' is not a whole "
                                 "number from " + std::to_string(Min) + " to " + std::to_string(Max);
        throw error;
    }
    target = Whole<Min, Max>{value};
}

struct Options {
    std::string address;
    std::string test_server;
    std::string config;
    Whole<1, 1000000000> reads;
    Whole<1, 1024> threads;
    Whole<0, 86400> connect_timeout_s;
    Whole<1, 3600000> query_timeout_ms;
    Whole<0, 604800> finish_timeout_s;
};

std::string executable_dir() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

bool is_executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// The test server this program was built with, else one in the usual places
// of a build tree next to this program. Empty when none is found.
std::string find_test_server(std::vector<std::string>& looked_in) {
    const char* from_environment = std::getenv("STRANDLINK_TEST_SERVER");
    const std::string dir = executable_dir();
    std::vector<std::string> candidates = {from_environment != nullptr ? from_environment : "", BUILT_TEST_SERVER,
                                           dir + "/test_server", dir + "/../testing/test_server"};
    for (const auto& candidate : candidates) {
        if (candidate.empty()) {
            continue;
        }
        if (is_executable(candidate)) {
            return candidate;
        }
        looked_in.push_back(candidate);
    }
    return "";
}

// Parses the command line into `options`. Returns -1 to go on, otherwise the
// exit code (0 after --help, 2 after a usage error).
int parse_options(int argc, char** argv, Options& options) {
    std::vector<std::string> unused;
    const std::string default_server = find_test_server(unused);
    po::options_description description(
            "usage: stream_reads [options]\n\n"
            "Streams reads through a basecall server and checks that each comes back once. Without --address it\n"
            "starts the project's test server on loopback and stops it at the end.\n\n"
            "Options");
    // clang-format off
    description.add_options()
        ("help,h", "show this help and exit")
        ("address", po::value(&options.address)->value_name("ENDPOINT"),
         "the ZeroMQ endpoint of a running server (tcp://HOST:PORT or ipc://PATH) instead of the test server")
        ("test-server", po::value(&options.test_server)->value_name("PATH")
                            ->default_value(default_server, default_server.empty() ? "none found" : default_server),
         "the test server program to start (also taken from $STRANDLINK_TEST_SERVER)")
        ("config", po::value(&options.config)->value_name("NAME")->default_value("signal_model_hac"),
         "the basecalling configuration")
        ("reads", po::value(&options.reads)->value_name("N")->default_value({4000}), "reads to send")
        ("threads", po::value(&options.threads)->value_name("N")->default_value({4}), "threads passing reads")
        ("connect-timeout", po::value(&options.connect_timeout_s)->value_name("S")->default_value({10}),
         "seconds to keep trying to reach the server, at connect and after a lost connection (the client's "
         "reconnect_timeout); a dead address fails after this plus up to four query time-outs")
        ("query-timeout", po::value(&options.query_timeout_ms)->value_name("MS")->default_value({5000}),
         "milliseconds to wait for each answer of the server (the client's query_timeout)")
        ("finish-timeout", po::value(&options.finish_timeout_s)->value_name("S")->default_value({300}),
         "seconds to wait for the last reads to come back (0: no limit)");
    // clang-format on
    try {
        po::variables_map values;
        po::store(po::command_line_parser(argc, argv).options(description).run(), values);
        if (values.count("help") != 0) {
            std::cout << description << std::endl;
            return 0;
        }
        po::notify(values);
    } catch (const po::error& e) {
        std::cerr << "stream_reads: " << e.what() << "\nTry 'stream_reads --help'." << std::endl;
        return 2;
    }
    return -1;
}

// The test server as a child process, stopped with SIGTERM when this goes
// (and by its --parent option when this program dies without a word).
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
        // This program keeps SIGINT and SIGTERM blocked for its signal
        // thread; the server must get them as usual.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        // --parent: the server stops with this program, however it ends.
        std::vector<std::string> args = {program, "--example", "--parent", std::to_string(getpid())};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            close(out[0]);
            say("stream_reads: cannot start the test server " + program + ": " + std::strerror(spawned), std::cerr);
            return false;
        }
        m_pid = pid;
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(out[0]);
        const std::string prefix = "test_server listening on ";
        if (line.compare(0, prefix.size(), prefix) != 0) {
            say("stream_reads: the test server " + program + " did not start: " + (line.empty() ? "it said nothing" : line),
                std::cerr);
            stop();
            return false;
        }
        endpoint = line.substr(prefix.size());
        return true;
    }

    // Safe from any thread, more than once.
    void stop() {
        const pid_t pid = m_pid.exchange(-1);
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }

private:
    std::atomic<pid_t> m_pid{-1};
};

// SIGINT and SIGTERM go to one thread of their own, which stops the test
// server (if one was started) and ends the program; no other thread gets
// them. Set up before any other thread starts.
class SignalThread {
public:
    explicit SignalThread(TestServerProcess& server) {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        // Even where the caller ignores them (a shell's background job):
        // an ignored signal would never reach sigwait.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this, &server] {
            int signal_number = 0;
            sigwait(&m_signals, &signal_number);
            say(std::string("stream_reads: stopped by ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM") +
                        ", stopping the test server if one was started",
                std::cerr);
            server.stop();
            _exit(128 + signal_number);
        });
        m_thread.detach();
    }

private:
    sigset_t m_signals;
    std::thread m_thread;
};

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

template <typename T>
std::string text(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// How long a dead address takes at most: attempts start until the connect
// time-out has passed, and the client waits for each answer through up to
// four query time-outs.
std::uint64_t give_up_after_s(const Options& options) {
    return options.connect_timeout_s.value + (4 * options.query_timeout_ms.value + 999) / 1000;
}

// Connects, saying what it is doing at once and every few seconds until
// connected or given up.
apps::Result connect_with_progress(apps::Strandlink& client, const std::string& address, const Options& options) {
    say("connecting to " + address + " with configuration " + options.config + " (gives up after about " +
        std::to_string(give_up_after_s(options)) + " s without an answer)");
    const auto start = Clock::now();
    auto connected = std::async(std::launch::async, [&client] { return client.connect(); });
    while (connected.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        say("still connecting to " + address + " (" + text(client.get_status()) + ", " + std::to_string(waited) +
            " s)");
    }
    return connected.get();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parse_options(argc, argv, options);
    if (parsed >= 0) {
        return parsed;
    }
    const std::uint64_t reads = options.reads.value;
    const unsigned threads = static_cast<unsigned>(options.threads.value);

    TestServerProcess server;
    SignalThread signals(server);
    std::string address = options.address;
    if (address.empty()) {
        std::vector<std::string> looked_in;
        const std::string program = options.test_server.empty() ? find_test_server(looked_in) : options.test_server;
        if (program.empty()) {
            std::string places;
            for (const auto& place : looked_in) {
                places += " " + place;
            }
            say("stream_reads: no test server found" + (places.empty() ? "" : " (looked for" + places + ")") +
                        ".\nBuild it with `cmake --build <build dir> --target test_server` and give its path with "
                        "--test-server PATH, or give --address ENDPOINT of a running server.",
                std::cerr);
            return 1;
        }
        say("starting the test server " + program);
        if (!server.start(program, address)) {
            return 1;
        }
        say("started the test server on " + address);
    }

    say("libstrandlink " + apps::Strandlink::get_software_version().text + ", interface " +
        apps::Strandlink::get_api_version().text + ", protocol " + apps::Strandlink::get_protocol_version().text);

    apps::Strandlink client(address, options.config, "", true);
    kelp::data_wrappers::v2::Metadata params;
    params.insert("client_name", std::string("stream_reads"));
    params.insert("max_reads_queued", static_cast<unsigned long long>(100));
    params.insert("query_timeout", static_cast<unsigned int>(options.query_timeout_ms.value));
    params.insert("reconnect_timeout", static_cast<unsigned int>(options.connect_timeout_s.value));
    client.set_params(params);

    const apps::Result connect_result = connect_with_progress(client, address, options);
    if (connect_result != apps::Result::success) {
        say("stream_reads: cannot connect to " + address + ": " + text(connect_result) + " " +
                    client.get_error_message(),
            std::cerr);
        if (connect_result == apps::Result::timed_out) {
            say("stream_reads: no answer within the bound; check the address, or allow longer with "
                "--connect-timeout S",
                std::cerr);
        }
        return 1;
    }
    apps::ConnectedServerInfo server_info;
    client.get_connected_server_info(server_info);
    say("connected to server " + server_info.server_version + " as " + server_info.client_uid);
    std::string information;
    if (apps::server_query::get_server_information(information, address, options.query_timeout_ms.value) ==
        apps::Result::success) {
        say("server information: " + information);
    }

    const auto start = Clock::now();
    Counts counts;
    std::atomic<std::uint64_t> passed{0};
    std::atomic<bool> passing{true};
    std::atomic<bool> refused{false};

    // Each thread passes the tags i, i + threads, i + 2 threads, ...
    std::vector<std::thread> passers;
    for (unsigned t = 0; t < threads; ++t) {
        passers.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (std::uint64_t tag = t; tag < reads && !refused.load(); tag += threads) {
                apps::Read read = make_read(tag, read_length(random), random);
                const std::size_t samples = read.get_datasets().at(dataset::raw_data).info.count;
                apps::PassReadResult result;
                do {
                    result = client.pass_read(read, 200);
                    std::lock_guard<std::mutex> lock(counts.mutex);
                    ++counts.pass_results[result];
                } while (result == apps::PassReadResult::queue_full);
                if (result == apps::PassReadResult::not_accepting_reads) {
                    // The connection is gone; the other threads stop too.
                    if (!refused.exchange(true)) {
                        say("stream_reads: the client takes no more reads: " + client.get_error_message(),
                            std::cerr);
                    }
                    break;
                }
                if (result != apps::PassReadResult::success) {
                    say("stream_reads: read " + std::to_string(tag) + " refused: " + text(result), std::cerr);
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
                say("progress: " + std::to_string(passed.load()) + "/" + std::to_string(reads) + " passed, " +
                    std::to_string(returned.size()) + " back");
            }
        }
    });

    for (auto& passer : passers) {
        passer.join();
    }
    say("all reads passed; waiting for the last ones to come back (up to " +
        (options.finish_timeout_s.value == 0 ? std::string("no limit")
                                             : std::to_string(options.finish_timeout_s.value) + " s") +
        ")");
    const apps::Result finish_result = client.finish(options.finish_timeout_s.value);
    passing = false;
    collector.join();
    collect();
    const apps::Result disconnect_result = client.disconnect();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.stop();

    std::uint64_t missing = 0;
    std::uint64_t split = 0;
    for (std::uint64_t tag = 0; tag < reads; ++tag) {
        const auto it = returned.find(tag);
        if (it == returned.end()) {
            ++missing;
        } else if (it->second > 1) {
            ++split;
        }
    }
    const std::uint64_t unexpected = returned.size() + missing - reads;

    std::ostringstream summary;
    summary << "reads in:            " << passed.load() << " of " << reads << " from " << threads << " threads\n"
            << "reads out:           " << returned.size() << " (" << called << " called, " << uncalled
            << " too short to call, " << split << " split by the server)\n"
            << "missing:             " << missing << "\n"
            << "samples:             " << counts.samples_passed << " in " << seconds << " s, "
            << static_cast<std::uint64_t>(counts.samples_passed / std::max(seconds, 1e-9)) << " samples/s\n"
            << "bases called:        " << bases << "\n"
            << "pass_read results:  ";
    for (const auto& [result, count] : counts.pass_results) {
        summary << " " << result << "=" << count;
    }
    summary << "\nfinish: " << finish_result << ", disconnect: "
            << (disconnect_result == apps::Result::no_connection
                        ? std::string("nothing to do, finish had closed the connection")
                        : text(disconnect_result));
    say(summary.str());
    const bool ok =
            missing == 0 && unexpected == 0 && passed.load() == reads && finish_result == apps::Result::success;
    say(ok ? "OK: every read came back once" : "FAILED: reads are missing or unexpected");
    return ok ? 0 : 1;
}
