#pragma once

// A scriptable stand-in for the basecall server, for tests, benchmarks and
// manual runs. It listens on a ZeroMQ ROUTER socket, so it can answer late,
// stay silent, or answer a client whose previous request it ignored, which a
// REP socket could not. Each request type has its own handler; a handler
// decides what (if anything) goes back and when.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "ipc_tools/ipc_tools.h"

namespace test_server {

// What the server saw of one request frame.
struct RequestRecord {
    // UNSET for a frame too short to be a message or one that failed
    // verification, INVALID_PROTOCOL for a frame with a foreign identifier.
    ipc_tools::MessageType type = ipc_tools::MessageType::UNSET;
    bool parsed = false;  // the frame verified as a protocol message
    std::string client_id;
    std::uint32_t value = 0;  // SimpleRequestData value, 0 when absent
    std::string text;         // SimpleRequestData text, "" when absent
    std::size_t frame_size = 0;
};

// A request as a handler sees it. `message` is empty when the frame did not
// parse; it is valid only during the handler call.
struct Request {
    RequestRecord record;
    const ipc_tools::Message& message;
};

// What the server does about one request: send one frame, possibly after a
// delay, or send nothing at all. Move-only (it owns the frame).
class Reply {
public:
    // No reply: the client's REQ socket keeps waiting.
    static Reply silence();
    // A simple reply message (SimpleReplyData) of `type`.
    static Reply simple(ipc_tools::MessageType type, const std::string& text = "",
                        std::uint32_t value = 0);
    // A message made elsewhere, for example with a FlatBuffers builder.
    static Reply message(ipc_tools::Message&& message);
    // Arbitrary bytes, for frames that are not valid messages.
    static Reply raw(const std::string& bytes);

    // The same reply, sent `delay` after the request arrived.
    Reply delayed_by(std::chrono::milliseconds delay) &&;

    bool is_silent() const { return !m_frame.has_value(); }
    std::chrono::milliseconds delay() const { return m_delay; }
    // Gives up the frame to send. REQUIRES: !is_silent().
    zmq::message_t take_frame();

private:
    std::optional<zmq::message_t> m_frame;
    std::chrono::milliseconds m_delay{0};
};

using Handler = std::function<Reply(const Request&)>;

// What a server answers to a request it has no handler for: BAD_REQUEST
// naming the request type.
Reply unsupported(const Request& request);

// Handler answering every request with the same simple reply.
Handler always(ipc_tools::MessageType reply_type, const std::string& text = "",
               std::uint32_t value = 0);

// The type whose name (message_type_as_string) is `name`, if any.
std::optional<ipc_tools::MessageType> message_type_from_string(const std::string& name);

// A ZeroMQ endpoint "ipc://<temp folder>/<unique name>" that no other server
// of this process uses.
std::string make_ipc_endpoint();

// The state of a server that registers clients, as the fault rules
// "forget" and "restart" reach it (see TestServer::apply_rule). Called on the
// serving thread, between requests.
class ServerState {
public:
    virtual ~ServerState() = default;
    // The client is no longer known: its later requests get
    // CLIENT_NOT_RECOGNISED.
    virtual void forget_client(const std::string& client_id) = 0;
    // As if the server process had restarted: every client and every load is
    // forgotten.
    virtual void restart() = 0;
};

// The fake server. start() binds and starts the serving thread; stop() or the
// destructor ends it. Handlers run on the serving thread, one request at a
// time; they must not call back into the server's on()/stop(). All other
// members are thread-safe.
class TestServer {
public:
    // `endpoint` is where to bind, for example "tcp://127.0.0.1:*" (a free
    // port chosen by the system) or an ipc:// endpoint. Never inproc://: the
    // server has its own ZeroMQ context, and clients theirs.
    explicit TestServer(std::string endpoint = "tcp://127.0.0.1:*");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Binds and starts serving. Throws zmq::error_t when the bind fails.
    // REQUIRES: not running.
    void start();
    // Stops serving and closes the socket; delayed replies not yet sent are
    // dropped. Does nothing when not running.
    void stop();
    bool running() const;

    // The bound endpoint with the real port ("tcp://127.0.0.1:40123").
    // REQUIRES: started at least once.
    std::string endpoint() const;
    // The bound TCP port; 0 for ipc:// endpoints.
    int port() const;

    // Sets the handler of one request type (UNSET covers frames that did not
    // parse, INVALID_PROTOCOL foreign frames). Takes effect for the next
    // request received.
    void on(ipc_tools::MessageType type, Handler handler);
    // The handler for types without their own handler.
    void on_any(Handler handler);
    // Back to the defaults: HEARTBEAT_PING gets HEARTBEAT_ECHO, DISCONNECT
    // gets DISCONNECTED, anything else BAD_REQUEST naming the request type.
    // Also detaches the state (set_state). Scripted rules stay.
    void reset_handlers();
    // The state that the rules "forget" and "restart" act on; null detaches
    // it (those rules then only answer as the handlers do).
    void set_state(std::shared_ptr<ServerState> state);

    // Requests received so far, oldest first.
    std::vector<RequestRecord> requests() const;
    std::size_t request_count() const;
    std::size_t request_count(ipc_tools::MessageType type) const;
    void clear_requests();
    // Waits until at least `count` requests were received in total; false
    // when `timeout` passed first.
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Applies one scripted rule, as given on the command line of the
    // standalone server. Rules stand above the handlers: a request that a
    // rule selects is treated as the rule says.
    //   "REQUEST=REPLY"            answer with the simple reply REPLY
    //   "REQUEST=REPLY:TEXT"       the same, with a text
    //   "REQUEST=REPLY@MS"         the same, MS milliseconds late; also
    //                              "REQUEST=REPLY:TEXT@MS"
    //   "REQUEST=silence"          never answer
    //   "REQUEST=late@MS"          the handler's own answer, MS ms late
    //   "REQUEST=raw:BYTES"        answer with the bytes as one frame, not a
    //                              message ("\xHH" writes any byte)
    //   "REQUEST=forget"           forget the requesting client first, then
    //                              answer as the handler does
    //   "REQUEST=restart"          restart the server's state first, then
    //                              answer as the handler does
    // REQUEST is a type name, or "*" for every type (heartbeats included)
    // without a rule of its own. "REQUEST#N=..." selects only the N-th such
    // request from now on, "REQUEST#N+=..." the N-th and every later one.
    // The newest rule that selects a request wins. Throws
    // std::invalid_argument naming the fault for anything else.
    void apply_rule(const std::string& rule);
    // Removes every scripted rule.
    void clear_rules();

private:
    struct PendingReply;
    struct Rule;

    // The rule that takes `type`, counting the request against each rule
    // that looks at it. REQUIRES: m_mutex held.
    std::shared_ptr<const Rule> select_rule(ipc_tools::MessageType type);

    void serve();
    void handle_request(std::vector<zmq::message_t>& frames, std::vector<PendingReply>& pending);

    std::string m_bind_endpoint;
    zmq::context_t m_context;
    std::unique_ptr<zmq::socket_t> m_socket;
    std::string m_endpoint;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_received;
    std::map<ipc_tools::MessageType, Handler> m_handlers;
    Handler m_default_handler;
    std::vector<RequestRecord> m_requests;
    std::vector<std::shared_ptr<Rule>> m_rules;  // oldest first
    std::shared_ptr<ServerState> m_state;
};

}  // namespace test_server
