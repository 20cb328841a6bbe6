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

#include "ipc_tools/connected_info.h"
#include "ipc_tools/request_broker.h"
#include "testing/test_server.h"

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

    // Waits for the program to end by itself; returns the exit status.
    int wait_for_exit() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
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

TEST(TestServerProgram, ServesItsConfigurationsOnAnIpcPath) {
    const std::string endpoint = test_server::make_ipc_endpoint();
    ServerProcess server({"--ipc", endpoint.substr(6), "--config", "fast,model=fast@v3,loading=1", "--index",
                          "/refs/x.fasta,header=@SQ\\tSN:x", "--barcode-kit", "KIT-1,first=1,last=12",
                          "--on", "CONNECT#2=INVALID_CONFIG"});
    ASSERT_EQ(server.read_line(), "test_server listening on " + endpoint);

    ipc_tools::RequestBroker broker;
    broker.prepare_connection(endpoint, 5000);
    const auto exchange = [&broker](MessageType type, const std::string& text) {
        Message request(type, "", 0, text);
        Message reply;
        broker.send_request(request, reply);
        return reply;
    };
    EXPECT_EQ(exchange(MessageType::LOAD_CONFIG, "fast").get_type(), MessageType::LOADING);
    EXPECT_EQ(exchange(MessageType::LOAD_CONFIG, "fast").get_type(), MessageType::SUCCESS);
    EXPECT_EQ(exchange(MessageType::LOAD_INDEX, "/refs/x.fasta").get_type(), MessageType::SUCCESS);
    const Message indices = exchange(MessageType::GET_INDICES, "");
    ASSERT_EQ(indices.get_type(), MessageType::RETURN_CONFIGS);
    EXPECT_EQ(indices.get_message_data()->content_as_ConfigData()->indices()->Get(0)->header()->str(),
              "@SQ\tSN:x");

    const std::string connection = "fast:>barcode_kits=KIT-1>align_ref=/refs/x.fasta";
    const Message connected = exchange(MessageType::CONNECT, connection);
    ASSERT_EQ(connected.get_type(), MessageType::CONNECTED);
    EXPECT_TRUE(ipc_tools::ConnectedInfo::parse(ipc_tools::get_simple_message_text(connected)));
    // The second CONNECT meets the scripted refusal.
    EXPECT_EQ(exchange(MessageType::CONNECT, connection).get_type(), MessageType::INVALID_CONFIG);

    const int status = server.terminate();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TestServerProgram, RefusesMalformedOptions) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"--config", "m,speed=fast"}, {"--on", "LOAD_CONFIG"}, {"--port"}, {"--no-such-option", "x"}}) {
        ServerProcess server(args);
        const int status = server.wait_for_exit();
        ASSERT_TRUE(WIFEXITED(status)) << args[0];
        EXPECT_EQ(WEXITSTATUS(status), 2) << args[0];
    }
}

}  // namespace
