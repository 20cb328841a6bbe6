// The standalone test server: started as its own process with scripted rules,
// it answers a broker in this process, and stops cleanly on SIGTERM.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc_tools/request_broker.h"

#ifndef TEST_SERVER_PROGRAM
#error "TEST_SERVER_PROGRAM must name the test server executable"
#endif

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

// Runs the program with its standard output on a pipe; reads lines from it.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        // Built before the fork: the child only makes async-signal-safe calls.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(TEST_SERVER_PROGRAM));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execv(TEST_SERVER_PROGRAM, argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_out = fdopen(fds[0], "r");
    }

    ~ServerProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out) {
            fclose(m_out);
        }
    }

    std::string read_line() {
        char buffer[512];
        if (!m_out || !fgets(buffer, sizeof buffer, m_out)) {
            return "";
        }
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        return line;
    }

    // Sends SIGTERM and returns the exit status.
    int terminate() {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
};

TEST(TestServerProgram, AnswersABrokerByItsRulesAndStopsOnSigterm) {
    ServerProcess server({"--on", "LOAD_CONFIG=LOADING"});
    const std::string prefix = "test_server listening on ";
    const std::string first = server.read_line();
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    const std::string endpoint = first.substr(prefix.size());

    ipc_tools::RequestBroker broker;
    broker.prepare_connection(endpoint, 5000);  // the ping is echoed
    Message request(MessageType::LOAD_CONFIG, "", 0, "cfg");
    Message reply;
    broker.send_request(request, reply);
    EXPECT_EQ(reply.get_type(), MessageType::LOADING);

    const int status = server.terminate();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The preparing ping and the request.
    EXPECT_EQ(server.read_line(), "test_server stopped after 2 requests");
}

}  // namespace
