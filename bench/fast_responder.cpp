// The benchmark responder as a program, for the Python benchmark: a test
// server that calls every read at once (reusing its calls) behind a
// FastResponder (bench/fast_responder.h), driven by lines on standard input.
//
// The first line of standard output is "address <endpoint>" for the client.
// Commands, each answered by one line:
//   script    forward to the test server, record the called replies  -> ok
//   capture   serve from the script, keep the hot requests             -> ok N
//             (N: called replies in the script)
//   fast      serve from the script, keep nothing more                 -> ok N
//             (N: requests captured, now the raw arm's sequence)
//   raw       send the captured requests on a bare REQ socket          -> done SECONDS
//   span      the wire's busy span since the last span                 -> span SECONDS
//   quit      stop                                                     -> bye

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "bench/fast_responder.h"
#include "testing/basecaller.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"

int main() {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 0;
    options.max_reads = 0;
    options.max_samples = 0;
    options.reuse_calls = true;
    auto basecaller = std::make_shared<test_server::Basecaller>(options);
    test_server::TestServer server("tcp://127.0.0.1:*");
    test_server::ServerRegistration::install(server, test_server::example_setup(), basecaller);
    server.start();
    bench_responder::FastResponder responder(server.endpoint());
    std::unique_ptr<bench_responder::RawReplay> raw;
    std::cout << "address " << responder.endpoint() << std::endl;

    std::string command;
    while (std::getline(std::cin, command)) {
        try {
            if (command == "script") {
                responder.record_script();
                std::cout << "ok" << std::endl;
            } else if (command == "capture") {
                responder.serve_fast(true);
                std::cout << "ok " << responder.script_entries() << std::endl;
            } else if (command == "fast") {
                raw = std::make_unique<bench_responder::RawReplay>(responder.endpoint(), responder.take_captured());
                responder.serve_fast(false);
                std::cout << "ok " << raw->size() << std::endl;
            } else if (command == "raw") {
                const auto start = std::chrono::steady_clock::now();
                if (raw) {
                    raw->run();
                }
                const double seconds =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::cout << "done " << seconds << std::endl;
            } else if (command == "span") {
                std::cout << "span " << responder.take_span() << std::endl;
            } else if (command == "quit") {
                break;
            } else {
                std::cout << "error unknown command" << std::endl;
            }
        } catch (const std::exception& e) {
            std::cout << "error " << e.what() << std::endl;
        }
    }
    std::cout << "bye" << std::endl;
    raw.reset();
    server.stop();
    return 0;
}
