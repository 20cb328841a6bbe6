#include "testing/server_registration.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/utils.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/connection_string.h"

namespace test_server {

namespace {

using ipc_tools::MessageType;

// The key of the aligner options in a LOAD_INDEX request.
const std::string KEY_MINIMAP_OPTIONS = "minimap_opt_string";

std::vector<std::string> split(const std::string& text, const std::string& separators) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (separators.find(c) != std::string::npos) {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

bool is_integer(const std::string& text) {
    std::size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

// A path as the server resolves it: relative paths against its own current
// folder; a path that cannot be resolved stays as it is (and is not found).
std::string resolve(const std::string& path) {
    try {
        return common::make_canonical_path(path);
    } catch (const std::exception&) {
        return path;
    }
}

Reply message_reply(flatbuffers::FlatBufferBuilder& builder, tessel_ipc::Content type,
                    flatbuffers::Offset<void> content) {
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0, type, content);
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Reply::message(ipc_tools::Message(builder));
}

std::uint32_t clamp_count(std::uint64_t count) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

// The item list after the first ',' of an option text, and its first item.
struct OptionItems {
    std::string head;
    std::vector<std::pair<std::string, std::string>> items;  // key, value ("" without '=')
};

OptionItems split_option(const std::string& what, const std::string& text, bool header_takes_rest) {
    OptionItems result;
    std::size_t pos = text.find(',');
    result.head = text.substr(0, pos);
    if (result.head.empty()) {
        throw std::invalid_argument(what + " '" + text + "': the name is empty");
    }
    while (pos != std::string::npos) {
        const std::size_t start = pos + 1;
        if (header_takes_rest && text.compare(start, 7, "header=") == 0) {
            result.items.emplace_back("header", text.substr(start + 7));
            break;
        }
        pos = text.find(',', start);
        const std::string item = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            result.items.emplace_back(item, "");
        } else {
            result.items.emplace_back(item.substr(0, equals), item.substr(equals + 1));
        }
    }
    return result;
}

int parse_loading(const std::string& what, const std::string& value) {
    if (value == "forever") {
        return LOADS_FOREVER;
    }
    if (!is_integer(value) || value[0] == '-' || value.size() > 6) {
        throw std::invalid_argument(what + ": loading must be a number of polls or 'forever', not '" + value +
                                    "'");
    }
    return std::atoi(value.c_str());
}

std::int32_t parse_int(const std::string& what, const std::string& key, const std::string& value) {
    if (!is_integer(value) || value.size() > 9) {
        throw std::invalid_argument(what + ": " + key + " must be a number, not '" + value + "'");
    }
    return std::atoi(value.c_str());
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 't' || text[i + 1] == 'n')) {
            out.push_back(text[i + 1] == 't' ? '\t' : '\n');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// BAD_REQUEST for a request that carries a value or a text where its type
// carries none: a real server refuses what it does not expect.
std::optional<Reply> unexpected_fields(const Request& request, bool takes_value, bool takes_text) {
    const RequestRecord& record = request.record;
    const std::string type = ipc_tools::message_type_as_string(record.type);
    if (!takes_value && record.value != 0) {
        return Reply::simple(MessageType::BAD_REQUEST,
                             type + " takes no value, not " + std::to_string(record.value));
    }
    if (!takes_text && !record.text.empty()) {
        return Reply::simple(MessageType::BAD_REQUEST, type + " takes no text, not '" + record.text + "'");
    }
    return std::nullopt;
}

[[noreturn]] void unknown_item(const std::string& what, const std::string& key) {
    throw std::invalid_argument(what + ": unknown item '" + key + "'");
}

}  // namespace

ServerSetup example_setup() {
    ServerSetup setup;
    setup.configurations = {
            {"signal_model_hac", "signal_model_hac@v5.0.0", false, 0},
            {"signal_model_sup_duplex", "signal_model_sup@v5.0.0", true, 0},
    };
    setup.indices = {{"/data/references/lambda.fasta",
                      "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:lambda\tLN:48502\n@PG\tID:aligner\tPN:aligner", 0}};
    setup.bed_files = {{"/data/references/lambda_regions.bed", 0}};
    setup.barcode_kits = {{"KIT-BC24", true, false, 1, 24, "barcode%02i"},
                          {"KIT-RB96", false, false, 1, 96, "barcode%02i"}};
    setup.gpu_names = {"Test GPU 80GB", "Test GPU 80GB"};
    return setup;
}

ConfigurationEntry parse_configuration(const std::string& text) {
    const std::string what = "configuration '" + text + "'";
    const OptionItems parts = split_option("configuration", text, false);
    ConfigurationEntry entry;
    entry.name = parts.head;
    for (const auto& [key, value] : parts.items) {
        if (key == "model") {
            entry.model_version_id = value;
        } else if (key == "duplex" && value.empty()) {
            entry.duplex = true;
        } else if (key == "loading") {
            entry.loading_polls = parse_loading(what, value);
        } else {
            unknown_item(what, key);
        }
    }
    if (entry.model_version_id.empty()) {
        entry.model_version_id = entry.name + "@v1.0.0";
    }
    return entry;
}

IndexEntry parse_index(const std::string& text) {
    const std::string what = "index '" + text + "'";
    const OptionItems parts = split_option("index", text, true);
    IndexEntry entry;
    entry.path = parts.head;
    for (const auto& [key, value] : parts.items) {
        if (key == "header") {
            entry.header = unescape(value);
        } else if (key == "loading") {
            entry.loading_polls = parse_loading(what, value);
        } else {
            unknown_item(what, key);
        }
    }
    return entry;
}

BedFileEntry parse_bed_file(const std::string& text) {
    const std::string what = "BED file '" + text + "'";
    const OptionItems parts = split_option("BED file", text, false);
    BedFileEntry entry;
    entry.path = parts.head;
    for (const auto& [key, value] : parts.items) {
        if (key == "loading") {
            entry.loading_polls = parse_loading(what, value);
        } else {
            unknown_item(what, key);
        }
    }
    return entry;
}

BarcodeKitEntry parse_barcode_kit(const std::string& text) {
    const std::string what = "barcode kit '" + text + "'";
    const OptionItems parts = split_option("barcode kit", text, false);
    BarcodeKitEntry entry;
    entry.kit_name = parts.head;
    for (const auto& [key, value] : parts.items) {
        if (key == "first") {
            entry.first_index = parse_int(what, key, value);
        } else if (key == "last") {
            entry.last_index = parse_int(what, key, value);
        } else if (key == "both_ends" && value.empty()) {
            entry.is_both_ends = true;
        } else if (key == "naming" && value.empty()) {
            entry.naming_flag = true;
        } else if (key == "pattern") {
            entry.name_pattern = value;
        } else {
            unknown_item(what, key);
        }
    }
    return entry;
}

std::optional<std::string> aligner_options_fault(const std::string& options) {
    static const std::set<std::string> integer_options = {"-k", "-w", "-N", "-r"};
    static const std::set<std::string> flags = {"-Y", "-y", "-L", "--eqx", "--secondary=yes", "--secondary=no"};
    static const std::set<std::string> presets = {"map-ont", "map-pb", "map-hifi", "lr:hq", "sr",
                                                  "splice", "splice:hq", "asm5", "asm10", "asm20"};
    const std::vector<std::string> tokens = split(options, " \t");
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (flags.count(token) > 0) {
            continue;
        }
        // Single-letter options take their value glued on or as the next token.
        const std::string name = token.substr(0, 2);
        const bool takes_value = integer_options.count(name) > 0 || name == "-I" || name == "-p" || name == "-x";
        if (!takes_value || (token.size() > 2 && token[0] == '-' && token[1] == '-')) {
            return "unrecognised aligner option '" + token + "'";
        }
        std::string value = token.substr(2);
        if (value.empty()) {
            if (i + 1 == tokens.size()) {
                return "aligner option '" + name + "' needs a value";
            }
            value = tokens[++i];
        }
        bool good = false;
        if (integer_options.count(name) > 0) {
            good = is_integer(value) && value[0] != '-' && value.size() < 10;
        } else if (name == "-I") {
            const std::string digits = value.substr(0, value.find_first_not_of("0123456789"));
            const std::string unit = value.substr(digits.size());
            good = !digits.empty() && digits.size() < 10 && (unit.empty() || unit == "k" || unit == "K" ||
                                                              unit == "M" || unit == "G");
        } else if (name == "-p") {
            char* end = nullptr;
            const double fraction = std::strtod(value.c_str(), &end);
            good = end != nullptr && *end == '\0' && fraction >= 0.0 && fraction <= 1.0;
        } else {
            good = presets.count(value) > 0;
        }
        if (!good) {
            return "bad value '" + value + "' for aligner option '" + name + "'";
        }
    }
    return std::nullopt;
}

std::shared_ptr<ServerRegistration> ServerRegistration::install(TestServer& server, ServerSetup setup,
                                                                std::shared_ptr<ReadTraffic> traffic) {
    auto registration = std::make_shared<ServerRegistration>(std::move(setup), std::move(traffic));
    // The handlers hold the registration: it lives while the server may call it.
    const auto bind = [&registration](Reply (ServerRegistration::*answer)(const Request&)) -> Handler {
        return [registration, answer](const Request& request) { return ((*registration).*answer)(request); };
    };
    server.on(MessageType::LOAD_CONFIG, bind(&ServerRegistration::load_config));
    server.on(MessageType::GET_CONFIGS, bind(&ServerRegistration::get_configs));
    server.on(MessageType::LOAD_INDEX, bind(&ServerRegistration::load_index));
    server.on(MessageType::GET_INDICES, bind(&ServerRegistration::get_indices));
    server.on(MessageType::LOAD_BED, bind(&ServerRegistration::load_bed));
    server.on(MessageType::CONNECT, bind(&ServerRegistration::connect));
    server.on(MessageType::DISCONNECT, bind(&ServerRegistration::disconnect));
    server.on(MessageType::QUERY, bind(&ServerRegistration::query));
    server.on(MessageType::GET_BARCODE_KITS, bind(&ServerRegistration::get_barcode_kits));
    server.on(MessageType::GET_STATISTICS, bind(&ServerRegistration::get_statistics));
    server.on_any(bind(&ServerRegistration::other));
    server.set_state(registration);
    return registration;
}

ServerRegistration::ServerRegistration(ServerSetup setup, std::shared_ptr<ReadTraffic> traffic)
        : m_setup(std::move(setup)), m_traffic(std::move(traffic)) {
    if (m_traffic) {
        m_period_start = m_traffic->lifetime_counts();
    }
}

std::vector<ClientSetup> ServerRegistration::clients() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients;
}

bool ServerRegistration::config_loaded(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config_loads.loaded.count(name) > 0;
}

bool ServerRegistration::index_loaded(const std::string& path, const std::string& options) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_index_loads.loaded.count({path, options}) > 0;
}

bool ServerRegistration::bed_file_loaded(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bed_loads.loaded.count(path) > 0;
}

std::size_t ServerRegistration::restarts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_restarts;
}

void ServerRegistration::forget_client(const std::string& client_id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    drop_client(client_id);
}

void ServerRegistration::restart() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_restarts;
    m_clients.clear();
    m_config_loads = {};
    m_index_loads = {};
    m_bed_loads = {};
    if (m_traffic) {
        m_traffic->reset();
        m_period_start = m_traffic->lifetime_counts();
    }
}

template <class Key>
bool ServerRegistration::advance(Loads<Key>& loads, const Key& key, int loading_polls) {
    if (loads.loaded.count(key) > 0) {
        return true;
    }
    int& polls = loads.polls[key];
    if (loading_polls == LOADS_FOREVER || polls < loading_polls) {
        ++polls;
        return false;
    }
    loads.loaded.insert(key);
    loads.polls.erase(key);
    return true;
}

const ClientSetup* ServerRegistration::find_client(const std::string& client_id) const {
    for (const ClientSetup& client : m_clients) {
        if (client.client_id == client_id) {
            return &client;
        }
    }
    return nullptr;
}

void ServerRegistration::drop_client(const std::string& client_id) {
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [&](const ClientSetup& client) { return client.client_id == client_id; });
    if (it == m_clients.end()) {
        return;
    }
    m_clients.erase(it);
    if (m_traffic) {
        m_traffic->client_disconnected(client_id);
    }
}

Reply ServerRegistration::load_config(const Request& request) {
    if (auto refused = unexpected_fields(request, false, true)) {
        return std::move(*refused);
    }
    const std::string& name = request.record.text;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = std::find_if(m_setup.configurations.begin(), m_setup.configurations.end(),
                                    [&](const ConfigurationEntry& e) { return e.name == name; });
    if (entry == m_setup.configurations.end()) {
        return Reply::simple(MessageType::REQUEST_FAILED,
                             "Could not load basecall configuration '" + name + "': no such configuration");
    }
    return Reply::simple(advance(m_config_loads, name, entry->loading_polls) ? MessageType::SUCCESS
                                                                              : MessageType::LOADING);
}

Reply ServerRegistration::get_configs(const Request& request) {
    if (auto refused = unexpected_fields(request, false, true)) {
        return std::move(*refused);
    }
    const std::string& name = request.record.text;
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::Configuration>> configurations;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const ConfigurationEntry& entry : m_setup.configurations) {
            if (m_config_loads.loaded.count(entry.name) > 0 && (name.empty() || name == entry.name)) {
                configurations.push_back(tessel_ipc::CreateConfigurationDirect(
                        builder, entry.name.c_str(), entry.model_version_id.c_str(), entry.duplex));
            }
        }
    }
    const auto data = tessel_ipc::CreateConfigDataDirect(builder, &configurations);
    return message_reply(builder, tessel_ipc::Content_ConfigData, data.Union());
}

Reply ServerRegistration::load_index(const Request& request) {
    if (auto refused = unexpected_fields(request, false, true)) {
        return std::move(*refused);
    }
    const std::string& text = request.record.text;
    // PATH, or PATH:>minimap_opt_string=OPTIONS.
    std::string path = text;
    std::string options;
    if (const auto separator = text.find(":>"); separator != std::string::npos) {
        path = text.substr(0, separator);
        const auto items = ipc_tools::connection_string::get_kvps(text.substr(separator + 1));
        if (!items) {
            return Reply::simple(MessageType::REQUEST_FAILED, "Malformed alignment index request: " + text);
        }
        if (const auto it = items->find(KEY_MINIMAP_OPTIONS); it != items->end()) {
            options = it->second;
        }
    }
    const std::string resolved = resolve(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = std::find_if(m_setup.indices.begin(), m_setup.indices.end(),
                                    [&](const IndexEntry& e) { return !path.empty() && e.path == resolved; });
    if (entry == m_setup.indices.end()) {
        return Reply::simple(MessageType::REQUEST_FAILED,
                             "Could not load alignment index '" + path + "': no such file");
    }
    if (const auto fault = aligner_options_fault(options)) {
        return Reply::simple(MessageType::INVALID_ALIGNER_OPTIONS, *fault);
    }
    return Reply::simple(advance(m_index_loads, IndexKey{resolved, options}, entry->loading_polls)
                                 ? MessageType::SUCCESS
                                 : MessageType::LOADING);
}

Reply ServerRegistration::get_indices(const Request& request) {
    if (auto refused = unexpected_fields(request, false, false)) {
        return std::move(*refused);
    }
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::AlignmentIndex>> indices;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const IndexKey& key : m_index_loads.loaded) {
            const auto entry = std::find_if(m_setup.indices.begin(), m_setup.indices.end(),
                                            [&](const IndexEntry& e) { return e.path == key.first; });
            indices.push_back(tessel_ipc::CreateAlignmentIndexDirect(builder, key.first.c_str(),
                                                                     entry->header.c_str()));
        }
    }
    const auto data = tessel_ipc::CreateConfigDataDirect(builder, nullptr, &indices);
    return message_reply(builder, tessel_ipc::Content_ConfigData, data.Union());
}

Reply ServerRegistration::load_bed(const Request& request) {
    if (auto refused = unexpected_fields(request, false, true)) {
        return std::move(*refused);
    }
    const std::string& path = request.record.text;
    const std::string resolved = resolve(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = std::find_if(m_setup.bed_files.begin(), m_setup.bed_files.end(),
                                    [&](const BedFileEntry& e) { return !path.empty() && e.path == resolved; });
    if (entry == m_setup.bed_files.end()) {
        return Reply::simple(MessageType::REQUEST_FAILED, "Could not load BED file '" + path + "': no such file");
    }
    return Reply::simple(advance(m_bed_loads, resolved, entry->loading_polls) ? MessageType::SUCCESS
                                                                               : MessageType::LOADING);
}

Reply ServerRegistration::connect(const Request& request) {
    std::string error;
    auto info = ipc_tools::ConnectionInfo::parse(request.record.text, error);
    if (!info) {
        return Reply::simple(MessageType::BAD_REQUEST, error);
    }
    // The wire carries 2 - priority for the priorities 0 to 2.
    const std::uint32_t wire_priority = request.record.value;
    info->priority = wire_priority <= 2 ? 2 - static_cast<int>(wire_priority)
                                        : static_cast<int>(std::min<std::uint32_t>(
                                                  wire_priority, std::numeric_limits<int>::max()));

    std::lock_guard<std::mutex> lock(m_mutex);
    const auto config = std::find_if(m_setup.configurations.begin(), m_setup.configurations.end(),
                                     [&](const ConfigurationEntry& e) { return e.name == info->config; });
    if (config == m_setup.configurations.end() || m_config_loads.loaded.count(info->config) == 0) {
        return Reply::simple(MessageType::INVALID_CONFIG,
                             "Basecall configuration '" + info->config + "' is not loaded");
    }
    for (const std::string& kit : split(info->barcode_kits, " ,")) {
        const bool known = std::any_of(m_setup.barcode_kits.begin(), m_setup.barcode_kits.end(),
                                       [&](const BarcodeKitEntry& e) { return e.kit_name == kit; });
        if (!known) {
            return Reply::simple(MessageType::INVALID_BARCODE_KIT, "Unsupported barcode kit '" + kit + "'");
        }
    }
    ClientSetup client;
    if (!info->align_ref.empty()) {
        const IndexKey key{resolve(info->align_ref), info->minimap_opt_string};
        if (m_index_loads.loaded.count(key) == 0) {
            return Reply::simple(MessageType::INVALID_INDEX, "Alignment index '" + info->align_ref +
                                                                     "' is not loaded with options '" +
                                                                     info->minimap_opt_string + "'");
        }
        client.alignment_header =
                std::find_if(m_setup.indices.begin(), m_setup.indices.end(), [&](const IndexEntry& e) {
                    return e.path == key.first;
                })->header;
    }
    if (!info->bed_file.empty()) {
        if (m_bed_loads.loaded.count(resolve(info->bed_file)) == 0) {
            return Reply::simple(MessageType::INVALID_BED, "BED file '" + info->bed_file + "' is not loaded");
        }
        client.bed_loaded = true;
    }
    client.client_id = "client-" + std::to_string(m_next_client_number++);
    client.model_version_id = config->model_version_id;
    client.duplex = config->duplex;
    client.info = std::move(*info);
    m_clients.push_back(client);
    if (m_traffic) {
        m_traffic->client_connected(client);
    }
    ipc_tools::ConnectedInfo connected;
    connected.server_version = m_setup.server_version;
    connected.minimap_version = m_setup.minimap_version;
    connected.client_uid = client.client_id;
    return Reply::simple(MessageType::CONNECTED, connected.create_message_string());
}

Reply ServerRegistration::disconnect(const Request& request) {
    if (auto refused = unexpected_fields(request, false, false)) {
        return std::move(*refused);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (find_client(request.record.client_id) == nullptr) {
        return Reply::simple(MessageType::CLIENT_NOT_RECOGNISED);
    }
    drop_client(request.record.client_id);
    return Reply::simple(MessageType::DISCONNECTED);
}

Reply ServerRegistration::query(const Request& request) {
    if (auto refused = unexpected_fields(request, true, false)) {
        return std::move(*refused);
    }
    if (request.record.value != static_cast<std::uint32_t>(ipc_tools::QueryCode::server_internal_state)) {
        return Reply::simple(MessageType::BAD_REQUEST,
                             "Unrecognised query code: " + std::to_string(request.record.value));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return Reply::simple(MessageType::RESPONSE, internal_state());
}

std::string ServerRegistration::internal_state() const {
    // Shaped as a real server's state: its information lists the devices in
    // use beside a count of them, and the unused ones apart, so that a client
    // meets members of "CUDA Devices" that are not devices.
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto numbered = [&writer](const std::vector<std::string>& values) {
        writer.StartObject();
        for (std::size_t i = 0; i < values.size(); ++i) {
            writer.Key(std::to_string(i + 1).c_str());
            writer.String(values[i].c_str());
        }
        writer.EndObject();
    };
    std::vector<std::string> references;
    for (const IndexKey& key : m_index_loads.loaded) {
        if (std::find(references.begin(), references.end(), key.first) == references.end()) {
            references.push_back(key.first);
        }
    }
    const std::vector<std::string> bed_files(m_bed_loads.loaded.begin(), m_bed_loads.loaded.end());

    writer.StartObject();
    writer.Key("ServerInformation");
    writer.StartObject();
    writer.Key("tessel_version");
    writer.String(m_setup.server_version.c_str());
    writer.Key("protocol_version");
    writer.String(ipc_tools::current_version_as_string().c_str());
    writer.Key("minimap_version");
    writer.String(m_setup.minimap_version.c_str());
    writer.Key("processing mode [CPU|GPU]");
    writer.String(m_setup.gpu_names.empty() ? "CPU" : "GPU");
    writer.Key("Loaded Alignment Reference Files");
    numbered(references);
    writer.Key("Loaded Bed Files");
    numbered(bed_files);
    writer.Key("CUDA Devices");
    writer.StartObject();
    writer.Key("num devices");
    writer.Uint(static_cast<unsigned>(m_setup.gpu_names.size()));
    for (std::size_t i = 0; i < m_setup.gpu_names.size(); ++i) {
        writer.Key(("device_" + std::to_string(i)).c_str());
        writer.StartObject();
        writer.Key("ID");
        writer.Uint(static_cast<unsigned>(i));
        writer.Key("name");
        writer.String(m_setup.gpu_names[i].c_str());
        writer.EndObject();
    }
    writer.EndObject();
    writer.Key("Unused CUDA Devices");
    writer.StartObject();
    writer.Key("num devices");
    writer.Uint(0);
    writer.EndObject();
    writer.Key("Loaded Configurations");
    writer.StartArray();
    for (const std::string& name : m_config_loads.loaded) {
        writer.String(name.c_str());
    }
    writer.EndArray();
    writer.EndObject();
    writer.Key("Clients");
    writer.StartObject();
    for (const ClientSetup& client : m_clients) {
        writer.Key(client.client_id.c_str());
        writer.StartObject();
        writer.Key("Client Name");
        writer.String(client.info.client_name.c_str());
        writer.Key("Configuration");
        writer.String(client.info.config.c_str());
        writer.EndObject();
    }
    writer.EndObject();
    writer.EndObject();
    return buffer.GetString();
}

Reply ServerRegistration::get_barcode_kits(const Request& request) {
    if (auto refused = unexpected_fields(request, false, false)) {
        return std::move(*refused);
    }
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::BarcodeKitDefinition>> kits;
    for (const BarcodeKitEntry& kit : m_setup.barcode_kits) {
        kits.push_back(tessel_ipc::CreateBarcodeKitDefinitionDirect(builder, kit.kit_name.c_str(), kit.is_both_ends,
                                                                    kit.naming_flag, kit.first_index,
                                                                    kit.last_index, kit.name_pattern.c_str()));
    }
    const auto data = tessel_ipc::CreateConfigDataDirect(builder, nullptr, nullptr, nullptr, &kits);
    return message_reply(builder, tessel_ipc::Content_ConfigData, data.Union());
}

Reply ServerRegistration::get_statistics(const Request& request) {
    if (auto refused = unexpected_fields(request, false, false)) {
        return std::move(*refused);
    }
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::ClientStats>> clients;
    ReadTraffic::Counts lifetime;
    ReadTraffic::Counts period;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const ClientSetup& client : m_clients) {
            const ReadTraffic::Counts counts = m_traffic ? m_traffic->counts(client.client_id) : ReadTraffic::Counts{};
            clients.push_back(tessel_ipc::CreateClientStats(builder, clamp_count(counts.reads_in),
                                                            clamp_count(counts.reads_out)));
        }
        if (m_traffic) {
            lifetime = m_traffic->lifetime_counts();
        }
        // Each statistics request ends the period that it reports.
        period.reads_in = lifetime.reads_in - std::min(lifetime.reads_in, m_period_start.reads_in);
        period.reads_out = lifetime.reads_out - std::min(lifetime.reads_out, m_period_start.reads_out);
        m_period_start = lifetime;
    }
    const auto stats = tessel_ipc::CreateServerStatsDirect(builder, lifetime.reads_in, lifetime.reads_out,
                                                           period.reads_in, period.reads_out, &clients);
    return message_reply(builder, tessel_ipc::Content_ServerStats, stats.Union());
}

Reply ServerRegistration::other(const Request& request) {
    if (!m_traffic || !m_traffic->handles(request.record.type)) {
        return unsupported(request);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const ClientSetup* client = find_client(request.record.client_id);
    if (client == nullptr) {
        return Reply::simple(MessageType::CLIENT_NOT_RECOGNISED);
    }
    return m_traffic->handle(*client, request);
}

}  // namespace test_server
