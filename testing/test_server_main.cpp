// Runs the test server until SIGINT or SIGTERM, with its default handlers:
// heartbeats are echoed, DISCONNECT is answered, every other request gets
// BAD_REQUEST.
//
//   test_server [--endpoint ENDPOINT]
//
// ENDPOINT defaults to "tcp://127.0.0.1:*" (a free port). The bound endpoint
// is printed on the first line of standard output.

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "testing/test_server.h"

namespace {

int usage(const char* program) {
    std::cerr << "usage: " << program << " [--endpoint ENDPOINT]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string endpoint = "tcp://127.0.0.1:*";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--endpoint" && i + 1 < argc) {
            endpoint = argv[++i];
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
