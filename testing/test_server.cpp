#include "testing/test_server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace test_server {

namespace {

// Longest time the serving thread sleeps before it looks at the stop flag.
constexpr std::chrono::milliseconds STOP_CHECK_INTERVAL{10};

bool interrupted(const zmq::error_t& e) { return e.num() == EINTR; }

RequestRecord describe(zmq::message_t&& frame, ipc_tools::Message& message) {
    RequestRecord record;
    record.frame_size = frame.size();
    try {
        message = ipc_tools::Message(std::move(frame));
    } catch (const std::exception&) {
        // The frame claims to be ours but does not verify.
        record.type = ipc_tools::MessageType::UNSET;
        return record;
    }
    record.type = message.get_type();
    record.parsed = !message.empty();
    if (!record.parsed) {
        return record;
    }
    const tessel_ipc::MessageData* data = message.get_message_data();
    if (data->client_id() != nullptr) {
        record.client_id = data->client_id()->str();
    }
    if (const auto* request = data->content_as_SimpleRequestData()) {
        record.value = request->value();
        if (request->text() != nullptr) {
            record.text = request->text()->str();
        }
    }
    return record;
}

}  // namespace

Reply Reply::silence() { return Reply(); }

Reply Reply::simple(ipc_tools::MessageType type, const std::string& text, std::uint32_t value) {
    return message(ipc_tools::Message(type, "", value, text));
}

Reply Reply::message(ipc_tools::Message&& message) {
    Reply reply;
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    reply.m_frame.emplace(std::move(frame));
    return reply;
}

Reply Reply::raw(const std::string& bytes) {
    Reply reply;
    reply.m_frame.emplace(bytes.data(), bytes.size());
    return reply;
}

Reply Reply::delayed_by(std::chrono::milliseconds delay) && {
    m_delay = delay;
    return std::move(*this);
}

zmq::message_t Reply::take_frame() {
    zmq::message_t frame(std::move(*m_frame));
    m_frame.reset();
    return frame;
}

Reply unsupported(const Request& request) {
    return Reply::simple(ipc_tools::MessageType::BAD_REQUEST,
                         "unsupported request: " + ipc_tools::message_type_as_string(request.record.type));
}

Handler always(ipc_tools::MessageType reply_type, const std::string& text, std::uint32_t value) {
    return [reply_type, text, value](const Request&) { return Reply::simple(reply_type, text, value); };
}

std::optional<ipc_tools::MessageType> message_type_from_string(const std::string& name) {
    for (int value = 0; value < ipc_tools::NUM_MESSAGE_TYPES; ++value) {
        const auto type = static_cast<ipc_tools::MessageType>(value);
        if (ipc_tools::message_type_as_string(type) == name) {
            return type;
        }
    }
    return std::nullopt;
}

std::string make_ipc_endpoint() {
    static std::atomic<unsigned> counter{0};
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    // Unix socket paths are limited to about 100 bytes; fall back to /tmp
    // when the temp folder is deep.
    if (folder.size() > 60) {
        folder = "/tmp";
    }
    return "ipc://" + folder + "/sl_test_server_" + std::to_string(::getpid()) + "_" +
           std::to_string(counter.fetch_add(1)) + ".sock";
}

struct TestServer::Rule {
    enum class Action { answer, silence, late, raw, forget, restart };

    // Absent for "*".
    std::optional<ipc_tools::MessageType> request_type;
    // 0 selects every request; otherwise the occurrence-th one (and, when
    // `onward`, every later one) counted from when the rule was applied.
    std::size_t occurrence = 0;
    bool onward = false;
    Action action = Action::answer;
    ipc_tools::MessageType reply_type = ipc_tools::MessageType::UNSET;
    std::string text;  // reply text, or the raw bytes
    std::chrono::milliseconds delay{0};
    // Requests this rule has looked at. Guarded by the server's mutex.
    std::size_t seen = 0;

    bool selects_current() const {
        return occurrence == 0 || seen == occurrence || (onward && seen > occurrence);
    }
};

struct TestServer::PendingReply {
    std::chrono::steady_clock::time_point due;
    std::vector<zmq::message_t> envelope;
    zmq::message_t frame;
};

TestServer::TestServer(std::string endpoint) : m_bind_endpoint(std::move(endpoint)), m_context(1) {
    reset_handlers();
}

TestServer::~TestServer() { stop(); }

void TestServer::start() {
    if (m_running) {
        throw std::logic_error("test server already running");
    }
    auto socket = std::make_unique<zmq::socket_t>(m_context, zmq::socket_type::router);
    socket->set(zmq::sockopt::linger, 0);
    socket->bind(m_bind_endpoint);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_endpoint = socket->get(zmq::sockopt::last_endpoint);
    }
    m_socket = std::move(socket);
    m_stop = false;
    m_running = true;
    m_thread = std::thread([this] { serve(); });
}

void TestServer::stop() {
    if (!m_running) {
        return;
    }
    m_stop = true;
    m_thread.join();
    m_socket.reset();
    m_running = false;
    // ZeroMQ leaves the socket file of an ipc:// endpoint behind.
    const std::string ep = endpoint();
    if (ep.rfind("ipc://", 0) == 0) {
        ::unlink(ep.c_str() + 6);
    }
}

bool TestServer::running() const { return m_running; }

std::string TestServer::endpoint() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endpoint;
}

int TestServer::port() const {
    const std::string ep = endpoint();
    if (ep.rfind("tcp://", 0) != 0) {
        return 0;
    }
    const auto colon = ep.rfind(':');
    return std::atoi(ep.c_str() + colon + 1);
}

void TestServer::on(ipc_tools::MessageType type, Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers[type] = std::move(handler);
}

void TestServer::on_any(Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default_handler = std::move(handler);
}

void TestServer::reset_handlers() {
    using ipc_tools::MessageType;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers.clear();
    m_handlers[MessageType::HEARTBEAT_PING] = always(MessageType::HEARTBEAT_ECHO);
    m_handlers[MessageType::DISCONNECT] = always(MessageType::DISCONNECTED);
    m_default_handler = unsupported;
    m_state.reset();
}

void TestServer::set_state(std::shared_ptr<ServerState> state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = std::move(state);
}

namespace {

// "\xHH" writes the byte HH; every other character stands for itself.
std::optional<std::string> decode_bytes(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\x") == 0) {
            if (i + 4 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 2])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
                return std::nullopt;
            }
            bytes.push_back(static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void TestServer::apply_rule(const std::string& rule_text) {
    const auto fail = [&rule_text](const std::string& why) {
        throw std::invalid_argument("bad rule '" + rule_text + "': " + why);
    };
    const auto equals = rule_text.find('=');
    if (equals == std::string::npos) {
        fail("expected REQUEST=REPLY");
    }
    std::string request_name = rule_text.substr(0, equals);
    std::string action = rule_text.substr(equals + 1);

    auto rule = std::make_shared<Rule>();
    if (const auto hash = request_name.find('#'); hash != std::string::npos) {
        std::string occurrence = request_name.substr(hash + 1);
        request_name.erase(hash);
        if (!occurrence.empty() && occurrence.back() == '+') {
            rule->onward = true;
            occurrence.pop_back();
        }
        if (!all_digits(occurrence) || occurrence.size() > 9 || std::stoul(occurrence) == 0) {
            fail("expected a request number from 1 after '#'");
        }
        rule->occurrence = std::stoul(occurrence);
    }
    if (request_name != "*") {
        rule->request_type = message_type_from_string(request_name);
        if (!rule->request_type) {
            fail("unknown request type '" + request_name + "'");
        }
    }

    // A trailing "@<digits>" is the delay; any other '@' belongs to the text.
    const auto take_delay = [&](std::string& text) {
        const auto at = text.rfind('@');
        if (at == std::string::npos || !all_digits(text.substr(at + 1))) {
            return false;
        }
        if (text.size() - at - 1 > 9) {
            fail("delay too long");
        }
        rule->delay = std::chrono::milliseconds(std::stol(text.substr(at + 1)));
        text.erase(at);
        return true;
    };

    if (action == "silence") {
        rule->action = Rule::Action::silence;
    } else if (action == "forget") {
        rule->action = Rule::Action::forget;
    } else if (action == "restart") {
        rule->action = Rule::Action::restart;
    } else if (action.rfind("raw:", 0) == 0) {
        rule->action = Rule::Action::raw;
        const auto bytes = decode_bytes(action.substr(4));
        if (!bytes) {
            fail("'\\x' must be followed by two hexadecimal digits");
        }
        rule->text = *bytes;
    } else if (action.rfind("late@", 0) == 0) {
        rule->action = Rule::Action::late;
        if (!take_delay(action) || action != "late") {
            fail("expected late@MS");
        }
    } else {
        rule->action = Rule::Action::answer;
        take_delay(action);
        const auto colon = action.find(':');
        if (colon != std::string::npos) {
            rule->text = action.substr(colon + 1);
            action.erase(colon);
        }
        const auto reply_type = message_type_from_string(action);
        if (!reply_type) {
            fail("unknown reply type '" + action + "'");
        }
        // Only simple types can be built from a name alone.
        try {
            ipc_tools::Message probe(*reply_type, "", 0, rule->text);
        } catch (const std::exception&) {
            fail("'" + action + "' is not a simple message");
        }
        rule->reply_type = *reply_type;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(std::move(rule));
}

void TestServer::clear_rules() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

std::shared_ptr<const TestServer::Rule> TestServer::select_rule(ipc_tools::MessageType type) {
    // Every rule for the type counts the request, also when a newer one takes
    // it, so "#N" always means the N-th request of that type.
    const auto pick = [this](const std::function<bool(const Rule&)>& looks_at) {
        std::shared_ptr<const Rule> chosen;
        for (auto it = m_rules.rbegin(); it != m_rules.rend(); ++it) {
            Rule& rule = **it;
            if (!looks_at(rule)) {
                continue;
            }
            ++rule.seen;
            if (!chosen && rule.selects_current()) {
                chosen = *it;
            }
        }
        return chosen;
    };
    if (auto rule = pick([type](const Rule& r) { return r.request_type == type; })) {
        return rule;
    }
    return pick([](const Rule& r) { return !r.request_type.has_value(); });
}

std::vector<RequestRecord> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::size_t TestServer::request_count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

std::size_t TestServer::request_count(ipc_tools::MessageType type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_requests.begin(), m_requests.end(),
                      [type](const RequestRecord& r) { return r.type == type; }));
}

void TestServer::clear_requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool TestServer::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_received.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void TestServer::handle_request(std::vector<zmq::message_t>& frames,
                                std::vector<PendingReply>& pending) {
    // A REQ peer sends [routing id][empty delimiter][request]; the reply goes
    // back behind the same envelope.
    if (frames.size() < 2) {
        return;
    }
    const auto arrived = std::chrono::steady_clock::now();
    ipc_tools::Message message;
    RequestRecord record = describe(std::move(frames.back()), message);
    frames.pop_back();

    std::shared_ptr<const Rule> rule;
    Handler handler;
    std::shared_ptr<ServerState> state;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(record);
        rule = select_rule(record.type);
        const auto it = m_handlers.find(record.type);
        handler = it != m_handlers.end() ? it->second : m_default_handler;
        state = m_state;
    }
    m_received.notify_all();

    using Action = Rule::Action;
    const std::string client_id = record.client_id;
    const Request request{std::move(record), message};
    Reply reply;
    try {
        if (!rule) {
            reply = handler(request);
        } else {
            switch (rule->action) {
            case Action::silence:
                return;
            case Action::answer:
                reply = Reply::simple(rule->reply_type, rule->text).delayed_by(rule->delay);
                break;
            case Action::raw:
                reply = Reply::raw(rule->text);
                break;
            case Action::forget:
                if (state) {
                    state->forget_client(client_id);
                }
                reply = handler(request);
                break;
            case Action::restart:
                if (state) {
                    state->restart();
                }
                reply = handler(request);
                break;
            case Action::late:
                reply = handler(request).delayed_by(rule->delay);
                break;
            }
        }
    } catch (const std::exception& e) {
        reply = Reply::simple(ipc_tools::MessageType::BAD_REQUEST,
                              std::string("test server handler failed: ") + e.what());
    }
    if (reply.is_silent()) {
        return;
    }
    pending.push_back(PendingReply{arrived + reply.delay(), std::move(frames), reply.take_frame()});
}

void TestServer::serve() {
    zmq::socket_t& socket = *m_socket;
    std::vector<PendingReply> pending;
    while (!m_stop) {
        auto now = std::chrono::steady_clock::now();
        // Send every reply that is due, in the order they fell due.
        std::stable_sort(pending.begin(), pending.end(),
                         [](const PendingReply& a, const PendingReply& b) { return a.due < b.due; });
        auto due_end = std::find_if(pending.begin(), pending.end(),
                                    [now](const PendingReply& p) { return p.due > now; });
        for (auto it = pending.begin(); it != due_end; ++it) {
            // An unknown routing id (a client that went away) drops the reply
            // silently; so does a full pipe.
            try {
                for (auto& part : it->envelope) {
                    socket.send(part, zmq::send_flags::sndmore | zmq::send_flags::dontwait);
                }
                socket.send(it->frame, zmq::send_flags::dontwait);
            } catch (const zmq::error_t&) {
            }
        }
        pending.erase(pending.begin(), due_end);

        auto timeout = STOP_CHECK_INTERVAL;
        if (!pending.empty()) {
            const auto until_due = std::chrono::duration_cast<std::chrono::milliseconds>(
                pending.front().due - now);
            timeout = std::clamp(until_due, std::chrono::milliseconds(0), STOP_CHECK_INTERVAL);
        }
        zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
        try {
            zmq::poll(&item, 1, timeout);
        } catch (const zmq::error_t& e) {
            if (interrupted(e)) {
                continue;
            }
            throw;
        }
        if ((item.revents & ZMQ_POLLIN) == 0) {
            continue;
        }
        for (;;) {
            std::vector<zmq::message_t> frames;
            zmq::recv_result_t received;
            try {
                received = zmq::recv_multipart(socket, std::back_inserter(frames),
                                               zmq::recv_flags::dontwait);
            } catch (const zmq::error_t& e) {
                if (interrupted(e)) {
                    continue;
                }
                throw;
            }
            if (!received) {
                break;
            }
            handle_request(frames, pending);
        }
    }
}

}  // namespace test_server
