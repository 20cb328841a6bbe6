#include "strandlink/connection_protocol.h"

#include <set>
#include <utility>
#include <vector>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/logger.h"
#include "ipc_tools/connection_string.h"

namespace strandlink {

namespace {

using ipc_tools::MessageType;
using ipc_tools::message_type_as_string;

// The text of a simple reply, or null when the reply carries none. Every
// reply handed on by the broker was verified and holds its content table.
const flatbuffers::String* reply_text(const ipc_tools::Message& reply) {
    const auto* data = reply.get_message_data()->content_as_SimpleReplyData();
    return data != nullptr ? data->text() : nullptr;
}

// The ConfigData of a RETURN_CONFIGS reply; null only for a reply of
// another type.
const tessel_ipc::ConfigData* config_data(const ipc_tools::Message& reply) {
    return reply.get_message_data()->content_as_ConfigData();
}

}  // namespace

ConnectionProtocol::ConnectionProtocol(ClientConnectionState& connection_state)
        : m_connection_state(connection_state) {
    auto trace = create_trace("ConnectionProtocol");
}

void ConnectionProtocol::set_connection_params(const std::string& address, std::uint32_t query_timeout_ms) {
    auto trace = create_trace("set_connection_params");
    trace.message("port: " + address);
    trace.message("timeout: " + std::to_string(query_timeout_ms));
    m_server_address = address;
    m_query_timeout_ms = query_timeout_ms;
}

RequestBrokerAdapter* ConnectionProtocol::establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                                       std::uint32_t file_load_timeout_s) {
    auto trace = create_trace("establish_server_connection");
    m_connection_info = info;
    m_file_load_timeout_s = file_load_timeout_s;
    m_error_state = ErrorState{};
    SL_LOG(info) << "Connecting to server as '" << m_connection_info.client_name << "'";

    bool connected = false;
    try {
        connected = prepare_connection() && load_config() && load_alignment_index() && load_bed_file() &&
                    connect();
    } catch (const std::exception& e) {
        // This runs on the engine's worker thread: whatever goes wrong ends
        // the attempt, never the thread.
        connected = fail({ConnectionError::failed, e.what()});
    }
    if (!connected) {
        return nullptr;
    }
    m_connection_state.set_status(ClientStatus::connected);
    SL_LOG(info) << "Connected to server as '" << m_connection_info.client_name
                 << "'. Connection id: " << m_connected_info.client_uid;
    return &m_request_broker;
}

bool ConnectionProtocol::prepare_connection() {
    auto trace = create_trace("prepare_connection");
    m_connection_state.set_status(ClientStatus::preparing_connection);
    if (!m_request_broker.prepare_connection(m_server_address, m_query_timeout_ms)) {
        m_error_state = m_request_broker.error_state();
        return false;
    }
    return true;
}

bool ConnectionProtocol::load_config() {
    auto trace = create_trace("load_config");
    m_connection_state.set_status(ClientStatus::loading_config);
    return load_file_on_server(MessageType::LOAD_CONFIG, m_connection_info.config, m_file_load_timeout_s) &&
           retrieve_config_details(m_connection_info.config);
}

bool ConnectionProtocol::load_alignment_index() {
    auto trace = create_trace("load_alignment_index");
    m_connection_state.set_status(ClientStatus::loading_alignment_index);
    if (m_connection_info.align_ref.empty()) {
        return true;
    }
    std::string text = m_connection_info.align_ref;
    if (!m_connection_info.minimap_opt_string.empty()) {
        try {
            text += ":" + ipc_tools::connection_string::create_kvp(std::string("minimap_opt_string"),
                                                                   m_connection_info.minimap_opt_string);
        } catch (const std::exception& e) {
            return fail({ConnectionError::failed, e.what()});
        }
    }
    // Building the connection string also makes the stored paths canonical,
    // which the header lookup below relies on.
    std::string connection_string;
    if (!build_connection_string(connection_string)) {
        return false;
    }
    trace.message("config string: " + connection_string);
    return load_file_on_server(MessageType::LOAD_INDEX, text, m_file_load_timeout_s) &&
           retrieve_alignment_file_header(m_connection_info.align_ref);
}

bool ConnectionProtocol::load_bed_file() {
    auto trace = create_trace("load_bed_file");
    m_connection_state.set_status(ClientStatus::loading_bed_file);
    if (m_connection_info.bed_file.empty()) {
        return true;
    }
    return load_file_on_server(MessageType::LOAD_BED, m_connection_info.bed_file, m_file_load_timeout_s);
}

bool ConnectionProtocol::connect() {
    auto trace = create_trace("connect");
    m_connection_state.set_status(ClientStatus::connecting);
    std::string connection_string;
    if (!build_connection_string(connection_string)) {
        return false;
    }
    trace.message("config string: " + connection_string);
    ipc_tools::Message request(MessageType::CONNECT, "", wire_priority(m_connection_info.priority),
                               connection_string);
    ipc_tools::Message reply;
    if (!send_request(request, reply)) {
        return false;
    }
    if (reply.get_type() != MessageType::CONNECTED) {
        return fail(create_connect_error_state(reply.get_type(), m_connection_info));
    }
    const flatbuffers::String* text = reply_text(reply);
    if (text == nullptr) {
        return fail({ConnectionError::bad_reply, "Could not parse CONNECTED message data (the reply has no text)"});
    }
    trace.message(text->str());
    auto connected_info = ipc_tools::ConnectedInfo::parse(text->str());
    // The id names this client in every later request: an empty one cannot,
    // and the read traffic requires one.
    if (!connected_info || connected_info->client_uid.empty()) {
        return fail({ConnectionError::bad_reply, "Could not parse CONNECTED message data"});
    }
    std::string state;
    if (!try_get_server_internal_state(state)) {
        return false;
    }
    const ErrorState state_error = add_server_state_data(*connected_info, state);
    if (state_error.code != ConnectionError::no_error) {
        return fail(state_error);
    }
    m_connected_info = std::move(*connected_info);
    trace.message("Connected. id: " + m_connected_info.client_uid);
    trace.message("server version: " + m_connected_info.server_version);
    trace.message("server minimap version: " + m_connected_info.minimap_version);
    return true;
}

bool ConnectionProtocol::load_file_on_server(MessageType request_type, const std::string& text,
                                             std::uint32_t timeout_s) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    auto trace = create_trace("load_file_on_server");
    trace.message(text);
    // The steady clock: a change of the wall clock must neither end the
    // wait early nor stretch it.
    const auto whole_ms = [] { return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()); };
    const milliseconds start = whole_ms();
    // In 64 bits: large time-outs must not wrap into short ones.
    const milliseconds limit(static_cast<std::int64_t>(timeout_s) * 1000);
    for (;;) {
        if (try_load_on_server(request_type, text)) {
            return true;
        }
        if (m_error_state.code != ConnectionError::no_error) {
            return false;
        }
        if (whole_ms() - start > limit) {
            trace.message("timeout");
            return fail({ConnectionError::file_load_timeout,
                         "Server did not process load request '" + message_type_as_string(request_type) +
                                 "' for file " + text + " within the " + std::to_string(timeout_s) +
                                 "s timeout. Try increasing server_file_load_timeout"});
        }
        std::this_thread::sleep_for(m_load_retry_interval);
    }
}

bool ConnectionProtocol::try_load_on_server(MessageType request_type, const std::string& text) {
    auto trace = create_trace("try_load_on_server");
    ipc_tools::Message request(request_type, "", 0, text);
    ipc_tools::Message reply;
    if (!send_request(request, reply)) {
        return false;
    }
    trace.message(message_type_as_string(reply.get_type()));
    switch (reply.get_type()) {
    case MessageType::SUCCESS:
        return true;
    case MessageType::LOADING:
        return false;  // error state still clear: the caller asks again
    case MessageType::INVALID_ALIGNER_OPTIONS:
    case MessageType::REQUEST_FAILED:
        return fail(create_load_request_error_state(request_type, reply.get_type(),
                                                    ipc_tools::get_simple_message_text(reply)));
    default:
        return fail({ConnectionError::invalid_response, "Error. Load request '" +
                                                                message_type_as_string(request_type) +
                                                                "' received an invalid reply type: " +
                                                                message_type_as_string(reply.get_type())});
    }
}

bool ConnectionProtocol::retrieve_config_details(const std::string& config_name) {
    auto trace = create_trace("retrieve_config_details");
    trace.message(config_name);
    ipc_tools::Message request(MessageType::GET_CONFIGS, "", 0, config_name);
    ipc_tools::Message reply;
    if (!send_request(request, reply)) {
        return false;
    }
    if (reply.get_type() != MessageType::RETURN_CONFIGS) {
        return fail({ConnectionError::invalid_response, "Could not get details from server (invalid reply type). " +
                                                                message_type_as_string(reply.get_type())});
    }
    const tessel_ipc::ConfigData* data = config_data(reply);
    if (data == nullptr || data->configurations() == nullptr) {
        return fail({ConnectionError::bad_reply,
                     "Could not get details from server (the reply lists no configurations) for config name: " +
                             config_name});
    }
    const auto* configurations = data->configurations();
    if (configurations->size() != 1) {
        return fail({ConnectionError::basecall_config_unavailable,
                     "got unexpected number of configs from server for config name: " + config_name + " :" +
                             std::to_string(configurations->size())});
    }
    const tessel_ipc::Configuration* entry = configurations->Get(0);
    if (entry->model_version_id() == nullptr) {
        return fail({ConnectionError::bad_reply,
                     "Could not get details from server (the configuration has no model version id) for config "
                     "name: " +
                             config_name});
    }
    m_config_details = {config_name, entry->model_version_id()->str(), entry->duplex()};
    return true;
}

bool ConnectionProtocol::retrieve_alignment_file_header(const std::string& align_ref) {
    auto trace = create_trace("retrieve_alignment_file_header");
    trace.message(align_ref);
    ipc_tools::Message request(MessageType::GET_INDICES, "", 0, "");
    ipc_tools::Message reply;
    if (!send_request(request, reply)) {
        return false;
    }
    if (reply.get_type() != MessageType::RETURN_CONFIGS) {
        return fail({ConnectionError::invalid_response,
                     "Could not get alignment indices from server (invalid reply type). " +
                             message_type_as_string(reply.get_type())});
    }
    const tessel_ipc::ConfigData* data = config_data(reply);
    if (data == nullptr || data->indices() == nullptr) {
        return fail({ConnectionError::bad_reply,
                     "Could not get alignment indices from server (the reply lists no indices)."});
    }
    for (const tessel_ipc::AlignmentIndex* entry : *data->indices()) {
        if (entry->name() == nullptr || entry->name()->str() != align_ref) {
            continue;
        }
        if (entry->header() == nullptr) {
            return fail({ConnectionError::bad_reply,
                         "Could not retrieve alignment file header for: " + align_ref + " (the index has no header)"});
        }
        m_alignment_file_header = entry->header()->str();
        return true;
    }
    return fail({ConnectionError::align_index_unavailable, "Could not retrieve alignment file header for: " + align_ref});
}

bool ConnectionProtocol::try_get_server_internal_state(std::string& state) {
    auto trace = create_trace("try_get_server_internal_state");
    ipc_tools::Message request = ipc_tools::create_query_request(ipc_tools::QueryCode::server_internal_state);
    ipc_tools::Message reply;
    if (!send_request(request, reply)) {
        trace.message(to_string(m_error_state));
        return false;
    }
    if (reply.get_type() != MessageType::RESPONSE) {
        return fail({ConnectionError::invalid_response,
                     "Could not retrieve state from server, invalid reply: " + message_type_as_string(reply.get_type())});
    }
    const flatbuffers::String* text = reply_text(reply);
    if (text == nullptr) {
        return fail({ConnectionError::bad_reply, "Could not retrieve state from server, the RESPONSE has no text"});
    }
    state = text->str();
    return true;
}

bool ConnectionProtocol::build_connection_string(std::string& text) {
    try {
        text = m_connection_info.build_connection_string();
        return true;
    } catch (const std::exception& e) {
        // A relative alignment or BED path that cannot be made canonical, or
        // an option the string cannot carry.
        return fail({ConnectionError::failed, e.what()});
    }
}

bool ConnectionProtocol::send_request(ipc_tools::Message& request, ipc_tools::Message& reply) {
    if (!m_request_broker.send_request(request, reply)) {
        m_error_state = m_request_broker.error_state();
        return false;
    }
    return true;
}

bool ConnectionProtocol::fail(ErrorState error) {
    m_error_state = std::move(error);
    get_trace_context()->write_message("fail", to_string(m_error_state));
    return false;
}

void ConnectionProtocol::disconnect_from_server() const {
    auto trace = create_trace("disconnect_from_server");
    trace.message("sending DISCONNECT with ID: " + m_connected_info.client_uid);
    ipc_tools::Message request(MessageType::DISCONNECT, m_connected_info.client_uid, 0, "");
    ipc_tools::Message reply;
    if (!m_request_broker.send_request(request, reply)) {
        trace.message(to_string(m_request_broker.error_state()));
        SL_LOG(warning) << "Error disconnecting from server: " << to_string(m_request_broker.error_state());
        return;
    }
    const std::string reply_name = message_type_as_string(reply.get_type());
    trace.message("reply type: " + reply_name);
    if (reply.get_type() == MessageType::DISCONNECTED) {
        return;
    }
    if (reply.get_type() == MessageType::CLIENT_NOT_RECOGNISED) {
        SL_LOG(info) << "Could not disconnect from basecall server (client not recognised).";
    }
    SL_LOG(info) << "Could not disconnect from basecall server, invalid reply: " << reply_name;
}

ErrorState create_connect_error_state(MessageType reply_type, const ipc_tools::ConnectionInfo& info) {
    const auto refused = [](ConnectionError code, const std::string& prefix, const std::string& value) {
        return ErrorState{code, prefix + "\"" + value + "\")."};
    };
    switch (reply_type) {
    case MessageType::INVALID_CONFIG:
        return refused(ConnectionError::basecall_config_unavailable,
                       "Could not register on server (connection refused, the requested basecall model set is not "
                       "currently loaded ",
                       info.config);
    case MessageType::INVALID_BARCODE_KIT:
        return refused(ConnectionError::barcode_kit_unavailable,
                       "Could not register on server (connection refused due to unsupported barcoding kit ",
                       info.barcode_kits);
    case MessageType::INVALID_INDEX:
        return refused(ConnectionError::align_index_unavailable,
                       "Could not register on server (connection refused due to unsupported alignment "
                       "index|options combination ",
                       info.align_ref + "|" + info.minimap_opt_string);
    case MessageType::INVALID_BED:
        return refused(ConnectionError::bed_file_unavailable,
                       "Could not register on server (connection refused, the requested bed file is not currently "
                       "loaded ",
                       info.bed_file);
    default:
        return {ConnectionError::invalid_response, "Could not register on server (invalid response)."};
    }
}

ErrorState create_load_request_error_state(MessageType request_type, MessageType reply_type,
                                           const std::string& reply_text) {
    switch (request_type) {
    case MessageType::LOAD_BED:
        return {ConnectionError::bed_file_unavailable, reply_text};
    case MessageType::LOAD_INDEX:
        return {reply_type == MessageType::INVALID_ALIGNER_OPTIONS ? ConnectionError::invalid_aligner_options
                                                                   : ConnectionError::align_index_unavailable,
                reply_text};
    case MessageType::LOAD_CONFIG:
        return {ConnectionError::basecall_config_unavailable, reply_text};
    default:
        return {ConnectionError::failed, reply_text};
    }
}

std::uint32_t wire_priority(int priority) {
    // In 64 bits, so that no priority overflows the subtraction.
    return priority < 3 ? static_cast<std::uint32_t>(2 - static_cast<std::int64_t>(priority))
                        : static_cast<std::uint32_t>(priority);
}

namespace {

// Deeper documents are refused: the server's state is a few levels deep, and
// writing a member back walks it recursively.
constexpr std::size_t MAX_STATE_DEPTH = 64;

// Whether `value` nests no deeper than MAX_STATE_DEPTH. Walks with a stack of
// its own, so that the check itself cannot overflow the thread's stack.
bool within_depth(const rapidjson::Value& root) {
    std::vector<std::pair<const rapidjson::Value*, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (depth > MAX_STATE_DEPTH) {
            return false;
        }
        if (value->IsObject()) {
            for (const auto& member : value->GetObject()) {
                pending.emplace_back(&member.value, depth + 1);
            }
        } else if (value->IsArray()) {
            for (const auto& element : value->GetArray()) {
                pending.emplace_back(&element, depth + 1);
            }
        }
    }
    return true;
}

// Parses the server's state text without recursion; false for text that is
// not a JSON object or nests too deeply.
bool parse_server_state(const std::string& state, rapidjson::Document& document) {
    document.Parse<rapidjson::kParseIterativeFlag>(state.c_str(), state.size());
    return !document.HasParseError() && document.IsObject() && within_depth(document);
}

}  // namespace

ErrorState add_server_state_data(ipc_tools::ConnectedInfo& info, const std::string& state) {
    info.gpu_device_names.clear();
    // The state comes from the server: every member's type is checked before
    // it is read, so no assertion of the JSON reader can fire on it.
    rapidjson::Document document;
    if (!parse_server_state(state, document)) {
        return {};
    }
    const auto server_information = document.FindMember("ServerInformation");
    if (server_information == document.MemberEnd()) {
        return {};
    }
    if (!server_information->value.IsObject()) {
        return {ConnectionError::bad_reply, "Could not read the server state: \"ServerInformation\" is not an object"};
    }
    const auto devices = server_information->value.FindMember("CUDA Devices");
    if (devices == server_information->value.MemberEnd()) {
        return {};
    }
    if (!devices->value.IsObject()) {
        return {ConnectionError::bad_reply, "Could not read the server state: \"CUDA Devices\" is not an object"};
    }
    std::set<std::string> names;
    // A real server lists its devices beside members of other kinds ("num
    // devices": a count): only objects with a string "name" are devices,
    // everything else is skipped.
    for (const auto& device : devices->value.GetObject()) {
        if (!device.value.IsObject()) {
            continue;
        }
        const auto name = device.value.FindMember("name");
        if (name == device.value.MemberEnd() || !name->value.IsString()) {
            continue;
        }
        names.emplace(name->value.GetString(), name->value.GetStringLength());
    }
    for (const std::string& name : names) {
        if (!info.gpu_device_names.empty()) {
            info.gpu_device_names += "|";
        }
        info.gpu_device_names += name;
    }
    return {};
}

bool parse_info_from_full_server_state(const std::string& state, std::string& result) {
    rapidjson::Document document;
    if (!parse_server_state(state, document)) {
        return false;
    }
    const auto server_information = document.FindMember("ServerInformation");
    if (server_information == document.MemberEnd()) {
        return false;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    // The writer refuses what JSON cannot carry (a number that read as
    // infinite) and stops part-way: such text is not handed out.
    if (!server_information->value.Accept(writer)) {
        return false;
    }
    result.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

}  // namespace strandlink
