// Runs the test server until SIGINT or SIGTERM. It answers as a basecall
// server with the configurations, alignment indices, BED files and barcode
// kits given on the command line (see ServerRegistration); heartbeats are
// echoed, and the reads of registered clients are called by the simulated
// basecaller (see Basecaller; --basecaller sets its options and --fault its
// read faults). Each --on rule scripts the answer or a fault for one request
// type (see TestServer::apply_rule), for example:
//
//   test_server --example --on LOAD_CONFIG=LOADING@200 --on CONNECT#2=restart
//   test_server --ipc /tmp/server.sock --config my_model,model=my_model@v2,loading=3
//   test_server --port 5555 --index /refs/x.fasta,header=@SQ\tSN:x\tLN:9 --bed /refs/x.bed
//
// The endpoint defaults to "tcp://127.0.0.1:*" (a free port). The bound
// endpoint is printed on the first line of standard output. With --parent PID
// it also stops when that process, which started it, ends in any way (a
// program that dies of SIGKILL or SIGPIPE leaves no server behind).

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/basecaller.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"

namespace {

void usage(std::ostream& out, const char* program) {
    out << "usage: " << program << " [options]\n"
        << "  --endpoint ENDPOINT      where to listen (default tcp://127.0.0.1:*)\n"
        << "  --port PORT              the same as --endpoint tcp://127.0.0.1:PORT\n"
        << "  --ipc PATH               the same as --endpoint ipc://PATH\n"
        << "  --parent PID             stop when process PID, the one that started this, ends\n"
        << "  --example                start from the example set of configurations, index,\n"
        << "                           BED file, barcode kits and GPUs\n"
        << "  --config NAME[,model=ID][,duplex][,loading=N|forever]\n"
        << "  --index PATH[,loading=N|forever][,header=TEXT]\n"
        << "  --bed PATH[,loading=N|forever]\n"
        << "  --barcode-kit NAME[,first=N][,last=N][,both_ends][,naming][,pattern=P]\n"
        << "  --gpu NAME               a GPU device of the internal state\n"
        << "  --server-version TEXT    --minimap-version TEXT\n"
        << "  --on RULE                REQUEST[#N[+]]=REPLY[:TEXT][@MS] | silence | late@MS |\n"
        << "                           raw:BYTES | forget | restart\n"
        << "  --basecaller NAME=VALUE  a basecaller option (max_reads, max_samples,\n"
        << "                           polls_before_ready, called_block_bases, ...)\n"
        << "  --fault FAULT@SELECTOR   a read fault (split:N, lose, garbage, ...)\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string endpoint = "tcp://127.0.0.1:*";
    std::vector<std::string> rules;
    test_server::ServerSetup setup;
    test_server::BasecallerOptions basecaller_options;
    std::vector<std::string> faults;
    long parent = 0;

    using Setter = std::function<void(const std::string&)>;
    const std::map<std::string, Setter> setters = {
            {"--endpoint", [&](const std::string& v) { endpoint = v; }},
            {"--port", [&](const std::string& v) { endpoint = "tcp://127.0.0.1:" + v; }},
            {"--ipc", [&](const std::string& v) { endpoint = "ipc://" + v; }},
            {"--parent",
             [&](const std::string& v) {
                 char* end = nullptr;
                 parent = std::strtol(v.c_str(), &end, 10);
                 if (v.empty() || *end != '\0' || parent <= 0) {
                     throw std::invalid_argument("--parent needs a process id, not '" + v + "'");
                 }
             }},
            {"--on", [&](const std::string& v) { rules.push_back(v); }},
            {"--basecaller", [&](const std::string& v) { basecaller_options.apply(v); }},
            {"--fault", [&](const std::string& v) { faults.push_back(v); }},
            {"--config",
             [&](const std::string& v) { setup.configurations.push_back(test_server::parse_configuration(v)); }},
            {"--index", [&](const std::string& v) { setup.indices.push_back(test_server::parse_index(v)); }},
            {"--bed", [&](const std::string& v) { setup.bed_files.push_back(test_server::parse_bed_file(v)); }},
            {"--barcode-kit",
             [&](const std::string& v) { setup.barcode_kits.push_back(test_server::parse_barcode_kit(v)); }},
            {"--gpu", [&](const std::string& v) { setup.gpu_names.push_back(v); }},
            {"--server-version", [&](const std::string& v) { setup.server_version = v; }},
            {"--minimap-version", [&](const std::string& v) { setup.minimap_version = v; }},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(std::cout, argv[0]);
            return 0;
        }
        if (arg == "--example") {
            const test_server::ServerSetup example = test_server::example_setup();
            const auto append = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
            append(setup.configurations, example.configurations);
            append(setup.indices, example.indices);
            append(setup.bed_files, example.bed_files);
            append(setup.barcode_kits, example.barcode_kits);
            append(setup.gpu_names, example.gpu_names);
            continue;
        }
        const auto setter = setters.find(arg);
        if (setter == setters.end() || i + 1 == argc) {
            usage(std::cerr, argv[0]);
            return 2;
        }
        try {
            setter->second(argv[++i]);
        } catch (const std::invalid_argument& e) {
            std::cerr << "test_server: " << e.what() << "\n";
            return 2;
        }
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (parent != 0) {
        // The parent's end sends SIGTERM, which stops the server as usual.
        // Asked for first and checked after, so that a parent that ended in
        // between is seen too.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != static_cast<pid_t>(parent)) {
            std::cerr << "test_server: process " << parent << " is not its parent (or has ended)\n";
            return 1;
        }
    }

    test_server::TestServer server(endpoint);
    auto basecaller = std::make_shared<test_server::Basecaller>(basecaller_options);
    try {
        for (const std::string& fault : faults) {
            basecaller->add_fault(fault);
        }
    } catch (const std::invalid_argument& e) {
        std::cerr << "test_server: " << e.what() << "\n";
        return 2;
    }
    test_server::ServerRegistration::install(server, setup, basecaller);
    for (const std::string& rule : rules) {
        try {
            server.apply_rule(rule);
        } catch (const std::invalid_argument& e) {
            std::cerr << "test_server: " << e.what() << "\n";
            return 2;
        }
    }
    try {
        server.start();
    } catch (const std::exception& e) {
        std::cerr << "test_server: cannot listen on " << endpoint << ": " << e.what() << "\n";
        return 1;
    }
    std::cout << "test_server listening on " << server.endpoint() << std::endl;

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.stop();
    std::cout << "test_server stopped after " << server.request_count() << " requests" << std::endl;
    return 0;
}
