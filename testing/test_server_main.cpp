// Runs the test server until SIGINT or SIGTERM. By default heartbeats are
// echoed, DISCONNECT is answered and every other request gets BAD_REQUEST;
// each --on rule changes the answer to one request type (see
// TestServer::apply_rule), for example:
//
//   test_server --on LOAD_CONFIG=LOADING@200 --on CONNECT=INVALID_CONFIG:why
//   test_server --endpoint ipc:///tmp/server.sock --on HEARTBEAT_PING=silence
//
// ENDPOINT defaults to "tcp://127.0.0.1:*" (a free port). The bound endpoint
// is printed on the first line of standard output.

#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/test_server.h"

namespace {

int usage(const char* program) {
    std::cerr << "usage: " << program << " [--endpoint ENDPOINT] [--on REQUEST=REPLY[:TEXT][@MS]]...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string endpoint = "tcp://127.0.0.1:*";
    std::vector<std::string> rules;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--endpoint" && i + 1 < argc) {
            endpoint = argv[++i];
        } else if (arg == "--on" && i + 1 < argc) {
            rules.emplace_back(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            usage(argv[0]);
            return 0;
        } else {
            return usage(argv[0]);
        }
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    test_server::TestServer server(endpoint);
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
    std::cout << "test_server stopped after " << server.request_count() << " requests"
              << std::endl;
    return 0;
}
