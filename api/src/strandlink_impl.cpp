#include "api/src/strandlink_impl.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <utility>

#include "api/src/result_internal.h"
#include "common/logger.h"
#include "common/state_formatter.h"
#include "common/utils.h"
#include "data_model/data_set.h"
#include "data_model/key_tags.h"
#include "ipc_tools/connection_info.h"

namespace apps {

namespace {

using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::Metadata;

constexpr const char* PASS_READ_FUNCTION =
        "apps::PassReadResult apps::StrandlinkImpl::pass_read(interfaces::ReadHolder &, uint32_t)";
constexpr const char* PASS_READS_FUNCTION =
        "apps::PassReadResult apps::StrandlinkImpl::pass_reads(interfaces::ReadList &, uint32_t)";

// The largest read tag the wire carries whole.
constexpr std::uint64_t MAX_READ_TAG = 0xFFFFFFFFull;

// A metadata key a read must or may carry, and the one type the annotation
// and the engine read it as: an entry of another type would make them
// throw, or silently send a default in its place.
struct KeyRule {
    // A string already: every read passed in looks up every rule.
    std::string key;
    std::type_index type;
    const char* type_text;
    enum Presence { required, duplex_required, optional } presence;
    const char* missing_text;
};

const KeyRule KEY_RULES[] = {
        {"read_id", typeid(std::string), "a string", KeyRule::required, " read_id metadata field not found."},
        {"daq_offset", typeid(float), "a float", KeyRule::required, " daq_offset field not found."},
        {"daq_scaling", typeid(float), "a float", KeyRule::required, " daq_scaling metadata field not found."},
        {"sampling_rate", typeid(float), "a float", KeyRule::required, " sampling_rate metadata field not found."},
        {"start_time", typeid(unsigned long long), "an unsigned 64-bit integer", KeyRule::required,
         " start_time metadata field not found."},
        {"channel", typeid(int), "a 32-bit integer", KeyRule::duplex_required, " channel metadata field not found."},
        {"mux", typeid(unsigned int), "an unsigned 32-bit integer", KeyRule::duplex_required,
         " mux metadata field not found."},
        {"run_id", typeid(std::string), "a string", KeyRule::duplex_required, " run_id metadata field not found."},
        {"sequencing_kit", typeid(std::string), "a string", KeyRule::optional, ""},
        {"flow_cell_product_code", typeid(std::string), "a string", KeyRule::optional, ""},
};

// Whether the read carries what the annotation and the engine need, of the
// types they read. Every fault is named: missing items first (the text that
// callers know), then items of the wrong type. `error` is set only on failure.
bool check_read(const interfaces::ReadHolder& read, bool duplex, std::string& error) {
    std::string missing;
    std::string wrong_type;
    const auto raw = read.datasets.find(dataset::raw_data);
    if (raw == read.datasets.end()) {
        missing += " raw_data dataset not found.";
    } else if (raw->second.info.type != DataSetType::int16) {
        wrong_type += " raw_data dataset does not hold int16 samples.";
    }
    for (const KeyRule& rule : KEY_RULES) {
        // One look-up per key: "no type" is a missing key (every entry
        // the metadata's writers make holds a value).
        const std::type_index type = read.metadata.check_type(rule.key);
        if (type == rule.type) {
            continue;
        }
        if (type == typeid(void)) {
            if (rule.presence == KeyRule::required || (duplex && rule.presence == KeyRule::duplex_required)) {
                missing += rule.missing_text;
            }
        } else {
            wrong_type += std::string(" ") + rule.key + " metadata field is not " + rule.type_text + ".";
        }
    }
    if (missing.empty() && wrong_type.empty()) {
        return true;
    }
    error.clear();
    if (!missing.empty()) {
        error = "Missing data in ReadHolder object:" + missing;
    }
    if (!wrong_type.empty()) {
        error += (error.empty() ? "" : " ") + std::string("Wrong data type in ReadHolder object:") + wrong_type;
    }
    return false;
}

void warn_bad_read(const char* function, const std::string& text) {
    common::logging::detail::LogSite site(&common::logging::warning::get, function);
    if (site) {
        site.stream() << text;
        site.push();
    }
}

PassReadResult to_pass_read_result(strandlink::ClientQueueReadsResult result) {
    switch (result) {
    case strandlink::ClientQueueReadsResult::success:
        return PassReadResult::success;
    case strandlink::ClientQueueReadsResult::not_accepting_reads:
        return PassReadResult::not_accepting_reads;
    case strandlink::ClientQueueReadsResult::queue_full:
        return PassReadResult::queue_full;
    }
    throw std::runtime_error("Unrecognised ClientQueueReadsResult value");
}

// Gives reserved tags back unless the reads were taken.
class TagReservation {
public:
    TagReservation(std::shared_ptr<HeldReadTags> tags, std::vector<std::uint64_t> reserved)
            : m_tags(std::move(tags)), m_reserved(std::move(reserved)) {}
    ~TagReservation() {
        if (!m_kept) {
            m_tags->release(m_reserved);
        }
    }
    TagReservation(const TagReservation&) = delete;
    TagReservation& operator=(const TagReservation&) = delete;
    void keep() { m_kept = true; }

private:
    std::shared_ptr<HeldReadTags> m_tags;
    std::vector<std::uint64_t> m_reserved;
    bool m_kept = false;
};

template <typename T>
void take_param(const Metadata& params, const char* key, T& member) {
    T* value = nullptr;
    if (params.extract(key, value)) {
        member = *value;
    }
}

}  // namespace

// --- HeldReadTags ------------------------------------------------------------

bool HeldReadTags::reserve(const std::vector<std::uint64_t>& tags, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::unordered_set<std::uint64_t> seen;
    for (const std::uint64_t tag : tags) {
        const std::string name = "Bad read tag " + std::to_string(tag) + ": ";
        if (tag > MAX_READ_TAG) {
            error = name + "read tags must be below 2^32, the server sees only their low 32 bits.";
            return false;
        }
        if (!seen.insert(tag).second) {
            error = name + "more than one read of the tag passed together.";
            return false;
        }
        if (m_tags.count(tag) != 0) {
            error = name + "the client still holds a read of that tag (queued, at the server, or completed and "
                           "not yet collected).";
            return false;
        }
    }
    m_tags.insert(tags.begin(), tags.end());
    return true;
}

void HeldReadTags::release(const std::vector<std::uint64_t>& tags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::uint64_t tag : tags) {
        m_tags.erase(tag);
    }
}

// --- StrandlinkImpl ----------------------------------------------------------

StrandlinkImpl::StrandlinkImpl(std::string address, std::string config, bool warn_bad_reads)
        : m_address(std::move(address)), m_model_set(std::move(config)), m_warn_bad_reads(warn_bad_reads) {
    auto trace = create_trace("StrandlinkImpl");
    trace.message("address: " + m_address);
    m_provider_token = common::diagnostics::state::context::register_provider(this, "Strandlink");
}

StrandlinkImpl::~StrandlinkImpl() {
    auto trace = create_trace("~StrandlinkImpl");
    // Unregistered first, so that no state report reaches this object while
    // its members go.
    m_provider_token = common::diagnostics::state::context::RegisteredProviderToken();
    // A lifecycle call still running on another thread ends first. The
    // engine stops while everything it may call back into still stands; no
    // lock is held while it joins its threads.
    Engine engine;
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        std::lock_guard<std::mutex> lock(m_client_mutex);
        std::swap(engine, m_client);
    }
}

StrandlinkImpl::Engine StrandlinkImpl::current_engine() const {
    std::lock_guard<std::mutex> lock(m_client_mutex);
    return m_client;
}

StrandlinkImpl::ReadSettings StrandlinkImpl::read_settings() const {
    std::lock_guard<std::mutex> lock(m_params_mutex);
    return ReadSettings{m_priority, m_duplex, m_pass_read_timeout};
}

ConnectionStatus StrandlinkImpl::get_status() const {
    const auto engine = current_engine().client;
    if (!engine) {
        return ConnectionStatus::disconnected;
    }
    return to_connection_status(engine->get_connection_state().get_status());
}

Result StrandlinkImpl::set_params(const Metadata& params) {
    auto trace = create_trace("set_params");
    for (const auto& key : params.get_keys()) {
        trace.message(key.first + ": " + params.get_as_string(key.first));
    }
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    std::string client_name;
    {
        std::lock_guard<std::mutex> lock(m_params_mutex);
        take_param(params, "client_name", m_client_name);
        client_name = m_client_name;
    }
    common::diagnostics::tracing::context().with_trace_file_unique_id(client_name).initialise();
    std::lock_guard<std::mutex> lock(m_params_mutex);
    take_param(params, "query_timeout", m_timeout);
    take_param(params, "server_file_load_timeout", m_server_file_load_timeout);
    take_param(params, "pass_read_timeout", m_pass_read_timeout);
    take_param(params, "connection_timeout", m_connection_timeout_ms);
    take_param(params, "reconnect_timeout", m_reconnect_timeout);
    unsigned long long block_size = m_block_size;
    take_param(params, "max_message_size", block_size);
    m_block_size = block_size;
    unsigned long long max_reads_queued = m_max_reads_queued;
    take_param(params, "max_reads_queued", max_reads_queued);
    m_max_reads_queued = max_reads_queued;
    take_param(params, "barcode_kits", m_barcode_kits);
    take_param(params, "align_ref", m_align_index_file);
    take_param(params, "bed_file", m_bed_file);
    take_param(params, "minimap_opt_string", m_minimap2_opt_string);
    take_param(params, "pair_by_channel", m_pair_by_channel);
    unsigned long long max_failures = m_max_server_read_failures;
    take_param(params, "max_server_read_failures", max_failures);
    m_max_server_read_failures = max_failures;
    take_param(params, "move_enabled", m_enable_moves);
    m_params.merge(params);
    return Result::success;
}

Result StrandlinkImpl::set_priority(Read::Priority priority) {
    get_trace_context()->write_message("set_priority", std::to_string(static_cast<int>(priority)));
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    std::lock_guard<std::mutex> lock(m_params_mutex);
    m_priority = static_cast<int>(priority);
    return Result::success;
}

Result StrandlinkImpl::set_callback_function(Callback callback) {
    auto trace = create_trace("set_callback_function");
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    std::lock_guard<std::mutex> lock(m_params_mutex);
    m_callback = callback;
    return Result::success;
}

Result StrandlinkImpl::set_state_change_handler(StateChangeHandler handler) {
    get_trace_context()->write_message("set_state_change_handler", "state change handler registered");
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    std::lock_guard<std::mutex> lock(m_params_mutex);
    m_state_change_handler = std::move(handler);
    return Result::success;
}

Result StrandlinkImpl::connect() {
    auto trace = create_trace("connect");
    // The engine this connect replaces goes last, once no lock is held: its
    // destruction waits for its notifications, whose handler may call back
    // into this object.
    Engine previous;
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    const ConnectionStatus status = get_status();
    if (status == ConnectionStatus::error) {
        return Result::failed;
    }
    if (status != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    ipc_tools::ConnectionInfo info;
    std::string address;
    std::uint32_t query_timeout_ms = 0;
    std::uint32_t file_load_timeout_s = 0;
    {
        std::lock_guard<std::mutex> lock(m_params_mutex);
        info.config = m_model_set;
        info.client_name = m_client_name;
        info.barcode_kits = m_barcode_kits;
        info.align_ref = common::make_canonical_path(m_align_index_file);
        info.minimap_opt_string = m_minimap2_opt_string;
        info.bed_file = common::make_canonical_path(m_bed_file);
        info.priority = m_priority;
        info.connection_timeout_ms = m_connection_timeout_ms;
        if (!info.align_ref.empty()) {
            m_params.insert("align_ref", info.align_ref);
        }
        if (!info.bed_file.empty()) {
            m_params.insert("bed_file", info.bed_file);
        }
        m_params.insert("barcode_kits", m_barcode_kits);
        info.options = m_params;
        address = m_address;
        query_timeout_ms = m_timeout;
        file_load_timeout_s = m_server_file_load_timeout;
    }
    trace.message("connecting");

    const auto engine = create_client(previous);
    engine->connect(address, query_timeout_ms, file_load_timeout_s, std::move(info));
    const Result result = get_connect_result(engine);
    if (result == Result::success) {
        Metadata config;
        get_basecalling_config(config);
        const bool duplex = config.get<config_details::duplex>();
        std::lock_guard<std::mutex> lock(m_params_mutex);
        m_duplex = duplex;
    }
    return result;
}

std::shared_ptr<strandlink::Client> StrandlinkImpl::create_client(Engine& previous) {
    std::shared_ptr<strandlink::Client> client;
    {
        std::lock_guard<std::mutex> lock(m_params_mutex);
        client = std::make_shared<strandlink::Client>(m_block_size, m_max_reads_queued, m_max_server_read_failures,
                                                      m_enable_moves, m_callback);
        client->set_reconnect_timeout(std::chrono::seconds(m_reconnect_timeout));
        if (m_state_change_handler) {
            // The relay keeps its own copy of the handler: the caller may set
            // another one for the next connect while this engine still reports.
            client->get_connection_state().register_change_handler(
                    [handler = m_state_change_handler](strandlink::ClientStatus old_status,
                                                       std::shared_ptr<strandlink::ClientConnectionStateSnapshot> now) {
                        const ConnectionStatus from = to_connection_status(old_status);
                        const ConnectionStatus to = to_connection_status(now->get_status());
                        handler(from, to, strandlink::to_string(now->get_error_state()));
                    });
        }
    }
    std::lock_guard<std::mutex> lock(m_client_mutex);
    previous = std::exchange(m_client, Engine{client, std::make_shared<HeldReadTags>()});
    return client;
}

Result StrandlinkImpl::get_connect_result(const std::shared_ptr<strandlink::Client>& engine) const {
    if (!engine) {
        return Result::failed;
    }
    const auto snapshot = engine->get_connection_state().create_snapshot();
    switch (snapshot->get_status()) {
    case strandlink::ClientStatus::disconnected:
        return Result::failed;
    case strandlink::ClientStatus::error:
        return to_result(snapshot->get_error_state().code);
    default:
        return Result::success;
    }
}

void StrandlinkImpl::annotate(interfaces::ReadHolder& read, int priority) {
    read.metadata.insert("strand_id", read.metadata.get<read_data::read_id>());
    read.metadata.insert("duration", static_cast<unsigned long long>(read.datasets.at(dataset::raw_data).info.count));
    read.priority = static_cast<interfaces::ReadPriority>(priority);
}

std::uint32_t StrandlinkImpl::wait_for(std::uint32_t wait_ms, const ReadSettings& settings) {
    return wait_ms != 0 ? wait_ms : settings.pass_read_timeout;
}

PassReadResult StrandlinkImpl::pass_read(interfaces::ReadHolder& read, std::uint32_t wait_ms) {
    const Engine engine = current_engine();
    if (!engine.client) {
        return PassReadResult::not_accepting_reads;
    }
    const ReadSettings settings = read_settings();
    std::string error;
    if (!check_read(read, settings.duplex, error) || !engine.tags->reserve({read.read_tag}, error)) {
        if (m_warn_bad_reads) {
            warn_bad_read(PASS_READ_FUNCTION, error);
        }
        return PassReadResult::bad_read;
    }
    TagReservation reservation(engine.tags, {read.read_tag});
    annotate(read, settings.priority);
    const PassReadResult result = to_pass_read_result(engine.client->pass_read(read, wait_for(wait_ms, settings)));
    if (result == PassReadResult::success) {
        reservation.keep();
    }
    return result;
}

PassReadResult StrandlinkImpl::pass_reads(interfaces::ReadList& reads, std::uint32_t wait_ms) {
    const Engine engine = current_engine();
    if (!engine.client) {
        return PassReadResult::not_accepting_reads;
    }
    const ReadSettings settings = read_settings();
    std::vector<std::uint64_t> tags;
    tags.reserve(reads.size());
    std::string error;
    for (auto& read : reads) {
        if (!check_read(read, settings.duplex, error)) {
            if (m_warn_bad_reads) {
                warn_bad_read(PASS_READS_FUNCTION, error);
            }
            return PassReadResult::bad_read;
        }
        annotate(read, settings.priority);
        tags.push_back(read.read_tag);
    }
    if (!engine.tags->reserve(tags, error)) {
        if (m_warn_bad_reads) {
            warn_bad_read(PASS_READS_FUNCTION, error);
        }
        return PassReadResult::bad_read;
    }
    TagReservation reservation(engine.tags, std::move(tags));
    const PassReadResult result = to_pass_read_result(engine.client->pass_reads(reads, wait_for(wait_ms, settings)));
    if (result == PassReadResult::success) {
        reservation.keep();
    }
    return result;
}

bool StrandlinkImpl::validate_read(const interfaces::ReadHolder& read, std::string& error_message) const {
    return check_read(read, read_settings().duplex, error_message);
}

std::uint64_t StrandlinkImpl::num_completed_reads() const {
    const auto engine = current_engine().client;
    return engine ? engine->num_completed_reads() : 0;
}

std::uint64_t StrandlinkImpl::num_buffered_samples() const {
    const auto engine = current_engine().client;
    return engine ? engine->num_buffered_samples() : 0;
}

void StrandlinkImpl::get_completed_reads(std::vector<std::vector<Read>>& reads) {
    const Engine engine = current_engine();
    if (!engine.client) {
        return;
    }
    interfaces::ReadList completed;
    engine.client->get_completed_reads(completed, static_cast<interfaces::ReadPriority>(read_settings().priority));
    if (completed.empty()) {
        return;
    }
    // Groups in the order their first read came; reads of a tag keep theirs.
    // Everything that asks for memory is made before a read moves: should
    // that fail, the reads go back to the client, to come out next time.
    std::vector<std::vector<Read>> groups;
    std::vector<std::size_t> group_of_read;
    std::vector<std::uint64_t> tags;
    // Reads per group, then the places filled in each.
    std::vector<std::size_t> sizes;
    try {
        std::unordered_map<std::uint64_t, std::size_t> group_of_tag;
        group_of_read.reserve(completed.size());
        for (const auto& holder : completed) {
            const auto [group, added] = group_of_tag.emplace(holder.read_tag, groups.size());
            if (added) {
                groups.emplace_back();
                tags.push_back(holder.read_tag);
                sizes.push_back(0);
            }
            group_of_read.push_back(group->second);
            ++sizes[group->second];
        }
        for (std::size_t group = 0; group < groups.size(); ++group) {
            groups[group].resize(sizes[group]);
        }
        // Grown as push_back would grow it: a caller appending call after
        // call must not pay a copy of all it holds every time.
        if (reads.capacity() - reads.size() < groups.size()) {
            reads.reserve(std::max(reads.size() + groups.size(), 2 * reads.capacity()));
        }
    } catch (...) {
        engine.client->return_completed_reads(completed);
        throw;
    }
    // Nothing below asks for memory or throws.
    std::fill(sizes.begin(), sizes.end(), 0);
    std::size_t next = 0;
    for (auto& holder : completed) {
        const std::size_t group = group_of_read[next++];
        groups[group][sizes[group]++].get_readholder() = std::move(holder);
    }
    // The tags are free again once their reads are the caller's.
    engine.tags->release(tags);
    for (auto& group : groups) {
        reads.push_back(std::move(group));
    }
}

void StrandlinkImpl::no_more_data() {
    auto trace = create_trace("no_more_data");
    if (const auto engine = current_engine().client) {
        engine->set_no_more_data();
    }
}

Result StrandlinkImpl::finish(std::uint64_t timeout_s) {
    auto trace = create_trace("finish");
    std::shared_ptr<strandlink::Client> engine;
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        const ConnectionStatus status = get_status();
        if (status == ConnectionStatus::disconnected) {
            return Result::no_connection;
        }
        if (status == ConnectionStatus::error) {
            return Result::failed;
        }
        engine = current_engine().client;
    }
    // The wait runs outside the turn of the lifecycle calls: a disconnect
    // from another thread must be able to end a finish without a time limit.
    // The copy keeps the engine alive; the engine lets both join its worker.
    if (engine->finish_by(timeout_s)) {
        return Result::success;
    }
    // The status of the engine this call waited on: another thread may have
    // disconnected it and connected a new one meanwhile.
    return to_connection_status(engine->get_connection_state().get_status()) == ConnectionStatus::disconnected
               ? Result::not_ready
               : Result::failed;
}

Result StrandlinkImpl::disconnect() {
    auto trace = create_trace("disconnect");
    std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
    if (get_status() == ConnectionStatus::disconnected) {
        return Result::no_connection;
    }
    current_engine().client->disconnect();
    return Result::success;
}

Result StrandlinkImpl::get_basecalling_config(Metadata& config) const {
    const auto engine = current_engine().client;
    if (!engine) {
        return Result::no_connection;
    }
    const strandlink::ConfigDetails details = engine->get_basecalling_config();
    config.insert("config_name", details.config_name);
    config.insert("model_version_id", details.model_version_id);
    config.insert("duplex", details.duplex);
    return Result::success;
}

Result StrandlinkImpl::get_alignment_sam_header(std::string& header) const {
    const auto engine = current_engine().client;
    if (!engine) {
        return Result::no_connection;
    }
    header = engine->get_alignment_sam_header();
    return Result::success;
}

Result StrandlinkImpl::get_connected_server_info(ConnectedServerInfo& info) const {
    const auto engine = current_engine().client;
    if (!engine) {
        return Result::no_connection;
    }
    const ipc_tools::ConnectedInfo connected = engine->get_connected_info();
    info.client_uid = connected.client_uid;
    info.server_version = connected.server_version;
    info.minimap_version = connected.minimap_version;
    info.gpu_device_names = connected.gpu_device_names;
    return Result::success;
}

std::string StrandlinkImpl::get_error_message() const {
    const auto engine = current_engine().client;
    if (!engine) {
        return "";
    }
    const auto snapshot = engine->get_connection_state().create_snapshot();
    return snapshot->get_status() == strandlink::ClientStatus::error ? strandlink::to_string(snapshot->get_error_state())
                                                                     : "";
}

std::string StrandlinkImpl::get_internal_state() const {
    auto trace = create_trace("get_internal_state");
    return common::diagnostics::state::context::request_state(common::diagnostics::state::JsonFormatter());
}

void StrandlinkImpl::report_state(common::diagnostics::state::StateLogger& logger) const {
    logger.log("status", to_string(get_status()));
    {
        // A state report may come from any thread, while set_params or
        // connect changes the parameters.
        std::lock_guard<std::mutex> lock(m_params_mutex);
        logger.log("priority", static_cast<long long>(m_priority));
        logger.log("m_connection_timeout_ms", static_cast<unsigned long long>(m_connection_timeout_ms));
        logger.log("m_address", m_address);
        logger.log("m_model_set", m_model_set);
        logger.log("m_barcode_kits", m_barcode_kits);
        logger.log("m_align_index_file", m_align_index_file);
        logger.log("m_bed_file", m_bed_file);
        logger.log("m_minimap2_opt_string", m_minimap2_opt_string);
        logger.log("m_timeout", static_cast<unsigned long long>(m_timeout));
        logger.log("m_server_file_load_timeout", static_cast<unsigned long long>(m_server_file_load_timeout));
        logger.log("m_block_size", static_cast<unsigned long long>(m_block_size));
        logger.log("m_max_reads_queued", static_cast<unsigned long long>(m_max_reads_queued));
        logger.log("m_enable_moves", m_enable_moves);
        logger.log("m_pair_by_channel", m_pair_by_channel);
    }
    const auto section = logger.create_child_section("Client");
    if (const auto engine = current_engine().client) {
        engine->report_state(logger);
    } else {
        logger.log("client", "null");
    }
}

}  // namespace apps
