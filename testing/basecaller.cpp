#include "testing/basecaller.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

namespace test_server {

namespace {

using ipc_tools::MessageType;

struct SpoilName {
    const char* name;
    Malformation kind;
};

const SpoilName SPOIL_NAMES[] = {
        {"duplicate_tag", Malformation::duplicate_tag},
        {"stride_zero", Malformation::stride_zero},
        {"trimmed_over_duration", Malformation::trimmed_over_duration},
        {"duration_zero", Malformation::duration_zero},
        {"probs_mismatch", Malformation::probs_mismatch},
        {"huge_lengths", Malformation::huge_lengths},
        {"foreign_tag", Malformation::foreign_tag},
        {"long_genome", Malformation::long_genome},
        {"batch_without_blocks", Malformation::batch_without_blocks},
        {"garbage", Malformation::garbage},
};

bool is_number(const std::string& text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A spoil that replaces the whole reply: such a read travels alone.
bool spoils_whole_reply(const Spoil& spoil) {
    return spoil.kind == Malformation::garbage || spoil.kind == Malformation::batch_without_blocks ||
           spoil.kind == Malformation::duplicate_tag;
}

Reply bad_request(const std::string& text) { return Reply::simple(MessageType::BAD_REQUEST, text); }

template <typename T>
T option_or(const kelp::data_wrappers::v2::Metadata& metadata, const std::string& key, T fallback) {
    T* value = nullptr;
    return metadata.extract(key, value) ? *value : fallback;
}

std::string first_kit(const std::string& kits) {
    std::string kit;
    for (char c : kits) {
        if (c == '"' || c == '\'') {
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (!kit.empty()) {
                break;
            }
            continue;
        }
        kit += c;
    }
    return kit;
}

// What is wrong with a block that starts a read; "" when nothing.
std::string check_first_block(const tessel_ipc::ReadBlockData& block) {
    const std::string tag = std::to_string(block.read_tag());
    if (block.block_index() != 0) {
        return "first block of read " + tag + " has block index " + std::to_string(block.block_index());
    }
    if (block.num_blocks() == 0 || block.duration() == 0) {
        return "read " + tag + " has no blocks or no samples";
    }
    if (block.raw_data() == nullptr || block.read_id() == nullptr || block.strand_id() == nullptr) {
        return "block of read " + tag + " lacks its samples, read id or strand id";
    }
    const std::size_t samples = block.raw_data()->size();
    if (samples > block.duration() || (block.num_blocks() == 1 && samples != block.duration())) {
        return "read " + tag + " has " + std::to_string(block.duration()) + " samples but its block holds " +
               std::to_string(samples);
    }
    return "";
}

RawRead raw_read_of_block(const tessel_ipc::ReadBlockData& block) {
    RawRead read;
    read.read_tag = block.read_tag();
    read.read_id = block.read_id()->str();
    read.strand_id = block.strand_id()->str();
    read.start_time = block.start_time();
    read.num_sequor_events = block.num_sequor_events();
    read.samples.reserve(block.duration());
    read.samples.assign(block.raw_data()->begin(), block.raw_data()->end());
    return read;
}

}  // namespace

void BasecallerOptions::apply(const std::string& setting) {
    const auto fail = [&setting](const std::string& why) {
        throw std::invalid_argument("bad basecaller setting '" + setting + "': " + why);
    };
    const auto equals = setting.find('=');
    if (equals == std::string::npos) {
        fail("expected NAME=VALUE");
    }
    const std::string name = setting.substr(0, equals);
    const std::string value = setting.substr(equals + 1);
    if (name == "batch_long_reads" || name == "reuse_calls") {
        bool& flag = name == "batch_long_reads" ? batch_long_reads : reuse_calls;
        if (value == "1" || value == "true") {
            flag = true;
        } else if (value == "0" || value == "false") {
            flag = false;
        } else {
            fail("expected 0, 1, false or true");
        }
        return;
    }
    if (!is_number(value)) {
        fail("expected a number");
    }
    const unsigned long long number = std::stoull(value);
    if (name == "max_reads") {
        max_reads = static_cast<std::size_t>(number);
    } else if (name == "max_samples") {
        max_samples = number;
    } else if (name == "polls_before_ready") {
        polls_before_ready = static_cast<unsigned>(std::min<unsigned long long>(number, 1000000000));
    } else if (name == "called_block_bases") {
        if (number == 0) {
            fail("must be positive");
        }
        called_block_bases = static_cast<std::size_t>(number);
    } else if (name == "max_batch_reads") {
        max_batch_reads = static_cast<std::size_t>(number);
    } else {
        fail("unknown setting '" + name + "'");
    }
}

bool ReadSelector::matches(std::uint64_t ordinal, const std::string& id) const {
    switch (kind) {
        case Kind::every: return true;
        case Kind::nth: return ordinal == number;
        case Kind::every_kth: return number > 0 && ordinal % number == 0;
        case Kind::read_id: return id == read_id;
    }
    return false;
}

FaultRule parse_fault_rule(const std::string& text) {
    const auto fail = [&text](const std::string& why) {
        throw std::invalid_argument("bad fault rule '" + text + "': " + why);
    };
    FaultRule rule;
    const auto at = text.find('@');
    const std::string fault = text.substr(0, at);
    if (at != std::string::npos) {
        const std::string selector = text.substr(at + 1);
        if (selector == "*") {
            rule.selector.kind = ReadSelector::Kind::every;
        } else if (is_number(selector) && std::stoull(selector) > 0) {
            rule.selector.kind = ReadSelector::Kind::nth;
            rule.selector.number = std::stoull(selector);
        } else if (selector.size() > 1 && selector[0] == '%' && is_number(selector.substr(1)) &&
                   std::stoull(selector.substr(1)) > 0) {
            rule.selector.kind = ReadSelector::Kind::every_kth;
            rule.selector.number = std::stoull(selector.substr(1));
        } else if (selector.rfind("id=", 0) == 0 && selector.size() > 3) {
            rule.selector.kind = ReadSelector::Kind::read_id;
            rule.selector.read_id = selector.substr(3);
        } else {
            fail("unknown read selector '" + selector + "'");
        }
    }

    const auto colon = fault.find(':');
    const std::string name = fault.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : fault.substr(colon + 1);
    const bool has_argument = colon != std::string::npos;
    if (name == "split") {
        if (!is_number(argument) || std::stoull(argument) < 2 || std::stoull(argument) > 1000000) {
            fail("split needs a number of pieces of at least 2");
        }
        rule.kind = FaultRule::Kind::split;
        rule.pieces = static_cast<unsigned>(std::stoull(argument));
        return rule;
    }
    if (name == "missing" || name == "missing_later") {
        const auto field = wire_field_from_string(argument);
        if (!field) {
            fail("unknown field '" + argument + "'");
        }
        rule.kind = FaultRule::Kind::spoil;
        rule.spoil.kind = name == "missing" ? Malformation::missing_field : Malformation::missing_field_later;
        rule.spoil.field = *field;
        return rule;
    }
    if (has_argument) {
        fail("'" + name + "' takes no argument");
    }
    if (name == "lose") {
        rule.kind = FaultRule::Kind::lose;
        return rule;
    }
    for (const SpoilName& spoil : SPOIL_NAMES) {
        if (name == spoil.name) {
            rule.kind = FaultRule::Kind::spoil;
            rule.spoil.kind = spoil.kind;
            return rule;
        }
    }
    fail("unknown fault '" + name + "'");
    return rule;
}

// One read, or one piece of a split read, on its way back.
struct Basecaller::Piece {
    RawRead read;
    Spoil spoil;
    // The parent, handed back last: the read leaves the server with it.
    bool last = true;
};

struct Basecaller::ClientState {
    // A read whose blocks are still coming in.
    struct Incoming {
        RawRead read;
        std::uint32_t duration = 0;
        std::uint32_t num_blocks = 0;
        std::uint32_t blocks_received = 0;
    };
    // A read taken in whole, being called.
    struct Calling {
        RawRead read;
        unsigned pieces = 1;
        Spoil spoil;
        unsigned polls_left = 0;
    };
    // A called read whose later blocks are still to be handed back.
    struct Transfer {
        Piece piece;
        CalledRead call;
        std::size_t num_blocks = 0;
        std::size_t next_block = 1;
    };

    std::map<std::uint32_t, Incoming> incoming;
    std::deque<Calling> calling;
    std::deque<Piece> ready;
    std::deque<Transfer> transfers;
    std::set<std::uint32_t> tags;  // of every read held
    std::size_t reads_held = 0;
    std::uint64_t samples_held = 0;
    bool lose_pending = false;
    bool no_more_data = false;
    Counts counts;
};

Basecaller::Basecaller(BasecallerOptions options) : m_options(std::move(options)) {}

Basecaller::~Basecaller() = default;

namespace {

// What distinguishes two calls of the same read.
std::string call_key(const RawRead& read, const CallOptions& options) {
    return read.read_id + '\n' + std::to_string(read.sub_tag) + '\n' + (options.moves ? "m" : "") + '\n' +
           options.model_version_id + '\n' + options.modbase_model_version_id + '\n' + options.barcode_kit +
           (options.trim_barcodes ? "t" : "") + '\n' + std::to_string(options.references.size()) +
           (options.bed ? "b" : "") + (options.poly_tail ? "p" : "");
}

bool same_read(const RawRead& a, const RawRead& b) {
    return a.sub_tag == b.sub_tag && a.read_id == b.read_id && a.strand_id == b.strand_id &&
           a.start_time == b.start_time && a.num_sequor_events == b.num_sequor_events && a.samples == b.samples;
}

}  // namespace

CalledRead Basecaller::call_of(const RawRead& read, const CallOptions& options, bool cacheable) {
    if (!m_options.reuse_calls || !cacheable) {
        return expected_call(read, options);
    }
    const std::string key = call_key(read, options);
    auto it = m_call_cache.find(key);
    if (it == m_call_cache.end() || !same_read(it->second.first, read)) {
        CalledRead call = expected_call(read, options);
        m_call_cache[key] = {read, call};
        return call;
    }
    CalledRead call = it->second.second;
    call.read_tag = read.read_tag;
    return call;
}

BasecallerOptions Basecaller::options() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options;
}

void Basecaller::set_options(const BasecallerOptions& options) {
    if (options.called_block_bases == 0) {
        throw std::invalid_argument("called_block_bases must be positive");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options = options;
}

void Basecaller::add_fault(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(rule);
}

void Basecaller::add_fault(const std::string& rule) { add_fault(parse_fault_rule(rule)); }

void Basecaller::clear_faults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

std::uint64_t Basecaller::reads_taken_in() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reads_taken_in;
}

CallOptions Basecaller::call_options(const ClientSetup& client, bool moves) {
    const auto& options = client.info.options;
    CallOptions call;
    call.moves = moves;
    call.model_version_id = client.model_version_id;
    if (client.info.config.find("modbases") != std::string::npos) {
        call.modbase_model_version_id = client.model_version_id + "_modbases";
    }
    call.barcode_kit = first_kit(client.info.barcode_kits);
    call.trim_barcodes = option_or<bool>(options, "enable_trim_barcodes", false);
    call.references = references_from_header(client.alignment_header);
    call.bed = client.bed_loaded && !call.references.empty();
    call.poly_tail = option_or<bool>(options, "estimate_poly_a", false);
    return call;
}

bool Basecaller::handles(ipc_tools::MessageType type) const {
    switch (type) {
        case MessageType::PASS_FIRST_RAW_BLOCK:
        case MessageType::PASS_NEXT_RAW_BLOCK:
        case MessageType::PASS_READ_BATCH:
        case MessageType::GET_FIRST_CALLED_BLOCK:
        case MessageType::GET_NEXT_CALLED_BLOCK:
        case MessageType::NO_MORE_DATA:
            return true;
        default:
            return false;
    }
}

Reply Basecaller::handle(const ClientSetup& client, const Request& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClientState& state = state_of(client.client_id);
    const ipc_tools::Message& message = request.message;
    const MessageType type = request.record.type;
    if (!handles(type) || message.empty()) {
        return bad_request("not read traffic: " + ipc_tools::message_type_as_string(type));
    }
    const tessel_ipc::MessageData* data = message.get_message_data();
    switch (type) {
        case MessageType::PASS_FIRST_RAW_BLOCK:
        case MessageType::PASS_NEXT_RAW_BLOCK: {
            const tessel_ipc::ReadBlockData* block = data->content_as_ReadBlockData();
            if (block == nullptr) {
                return bad_request("raw block message without its block");
            }
            return type == MessageType::PASS_FIRST_RAW_BLOCK ? push_first_block(state, *block)
                                                             : push_next_block(state, *block);
        }
        case MessageType::PASS_READ_BATCH:
            return push_batch(state, data->content_as_ReadBatchData());
        case MessageType::GET_FIRST_CALLED_BLOCK:
            // The value asks for moves (1) or not (0); there is no text.
            if (request.record.value > 1 || !request.record.text.empty()) {
                return bad_request("GET_FIRST_CALLED_BLOCK takes the value 0 or 1 and no text, not value " +
                                   std::to_string(request.record.value) + " and text '" + request.record.text +
                                   "'");
            }
            return poll(state, client, request.record.value != 0);
        case MessageType::GET_NEXT_CALLED_BLOCK:
            return next_block(state, request.record.value, request.record.text);
        case MessageType::NO_MORE_DATA:
            if (request.record.value != 0 || !request.record.text.empty()) {
                return bad_request("NO_MORE_DATA takes no value and no text, not value " +
                                   std::to_string(request.record.value) + " and text '" + request.record.text +
                                   "'");
            }
            state.no_more_data = true;
            for (auto& calling : state.calling) {
                calling.polls_left = 0;
            }
            return Reply::simple(MessageType::SUCCESS);
        default:
            return bad_request("not read traffic: " + ipc_tools::message_type_as_string(type));
    }
}

void Basecaller::client_connected(const ClientSetup& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    state_of(client.client_id);
}

void Basecaller::client_disconnected(const std::string& client_id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.erase(client_id);
}

void Basecaller::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.clear();
}

ReadTraffic::Counts Basecaller::counts(const std::string& client_id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_clients.find(client_id);
    return it != m_clients.end() ? it->second->counts : Counts{};
}

ReadTraffic::Counts Basecaller::lifetime_counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lifetime;
}

Basecaller::ClientState& Basecaller::state_of(const std::string& client_id) {
    auto& state = m_clients[client_id];
    if (!state) {
        state = std::make_unique<ClientState>();
    }
    return *state;
}

bool Basecaller::fits(const ClientState& state, std::size_t reads, std::uint64_t samples) const {
    if (state.reads_held == 0) {
        return true;
    }
    if (m_options.max_reads != 0 && state.reads_held + reads > m_options.max_reads) {
        return false;
    }
    return m_options.max_samples == 0 || state.samples_held + samples <= m_options.max_samples;
}

Reply Basecaller::push_first_block(ClientState& state, const tessel_ipc::ReadBlockData& block) {
    const std::string fault = check_first_block(block);
    if (!fault.empty()) {
        return bad_request(fault);
    }
    const std::uint32_t tag = block.read_tag();
    if (state.tags.count(tag) != 0) {
        return bad_request("read " + std::to_string(tag) + " is already in the server");
    }
    if (!fits(state, 1, block.duration())) {
        return Reply::simple(MessageType::NOT_READY);
    }
    state.tags.insert(tag);
    ++state.reads_held;
    state.samples_held += block.duration();
    RawRead read = raw_read_of_block(block);
    if (block.num_blocks() == 1) {
        take_in(state, std::move(read));
    } else {
        ClientState::Incoming& incoming = state.incoming[tag];
        incoming.read = std::move(read);
        incoming.duration = block.duration();
        incoming.num_blocks = block.num_blocks();
        incoming.blocks_received = 1;
    }
    return Reply::simple(MessageType::RAW_BLOCK_ACCEPTED);
}

Reply Basecaller::push_next_block(ClientState& state, const tessel_ipc::ReadBlockData& block) {
    const std::uint32_t tag = block.read_tag();
    const std::string name = "read " + std::to_string(tag);
    const auto it = state.incoming.find(tag);
    if (it == state.incoming.end()) {
        return bad_request("block " + std::to_string(block.block_index()) + " of " + name +
                           ", whose first block the server does not have");
    }
    ClientState::Incoming& incoming = it->second;
    if (block.block_index() != incoming.blocks_received) {
        return bad_request("block " + std::to_string(block.block_index()) + " of " + name + " where block " +
                           std::to_string(incoming.blocks_received) + " was due");
    }
    if (block.num_blocks() != incoming.num_blocks || block.duration() != incoming.duration) {
        return bad_request("block " + std::to_string(block.block_index()) + " of " + name +
                           " disagrees with the first on the number of blocks or samples");
    }
    if (block.raw_data() == nullptr) {
        return bad_request("block " + std::to_string(block.block_index()) + " of " + name + " has no samples");
    }
    std::vector<std::int16_t>& samples = incoming.read.samples;
    const std::size_t total = samples.size() + block.raw_data()->size();
    const bool last = block.block_index() + 1 == incoming.num_blocks;
    if (total > incoming.duration || (last && total != incoming.duration)) {
        return bad_request(name + " has " + std::to_string(incoming.duration) + " samples but its blocks hold " +
                           std::to_string(total) + (last ? "" : " before its last block"));
    }
    samples.insert(samples.end(), block.raw_data()->begin(), block.raw_data()->end());
    ++incoming.blocks_received;
    if (last) {
        RawRead read = std::move(incoming.read);
        state.incoming.erase(it);
        take_in(state, std::move(read));
    }
    return Reply::simple(MessageType::RAW_BLOCK_ACCEPTED);
}

Reply Basecaller::push_batch(ClientState& state, const tessel_ipc::ReadBatchData* batch) {
    if (batch == nullptr || batch->blocks() == nullptr) {
        return bad_request("read batch without its blocks");
    }
    std::set<std::uint32_t> tags;
    std::uint64_t samples = 0;
    for (const tessel_ipc::ReadBlockData* block : *batch->blocks()) {
        std::string fault = check_first_block(*block);
        if (fault.empty() && block->num_blocks() != 1) {
            fault = "read " + std::to_string(block->read_tag()) + " of a batch is not whole";
        }
        if (fault.empty() && (state.tags.count(block->read_tag()) != 0 || !tags.insert(block->read_tag()).second)) {
            fault = "read " + std::to_string(block->read_tag()) + " of a batch is already in the server";
        }
        if (!fault.empty()) {
            return bad_request(fault);
        }
        samples += block->duration();
    }
    if (!fits(state, tags.size(), samples)) {
        return Reply::simple(MessageType::NOT_READY);
    }
    for (const tessel_ipc::ReadBlockData* block : *batch->blocks()) {
        state.tags.insert(block->read_tag());
        ++state.reads_held;
        state.samples_held += block->duration();
        take_in(state, raw_read_of_block(*block));
    }
    return Reply::simple(MessageType::BATCH_ACCEPTED);
}

void Basecaller::take_in(ClientState& state, RawRead read) {
    const std::uint64_t ordinal = ++m_reads_taken_in;
    ++state.counts.reads_in;
    ++m_lifetime.reads_in;
    ClientState::Calling calling;
    for (const FaultRule& rule : m_faults) {
        if (!rule.selector.matches(ordinal, read.read_id)) {
            continue;
        }
        switch (rule.kind) {
            case FaultRule::Kind::split: calling.pieces = rule.pieces; break;
            case FaultRule::Kind::lose: state.lose_pending = true; break;
            case FaultRule::Kind::spoil: calling.spoil = rule.spoil; break;
        }
    }
    calling.read = std::move(read);
    calling.polls_left = state.no_more_data ? 0 : m_options.polls_before_ready;
    state.calling.push_back(std::move(calling));
}

void Basecaller::make_ready(ClientState& state) {
    for (auto it = state.calling.begin(); it != state.calling.end();) {
        if (it->polls_left > 0) {
            --it->polls_left;
            ++it;
            continue;
        }
        std::vector<RawRead> pieces = split_read(it->read, it->pieces);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            state.ready.push_back(Piece{std::move(pieces[i]), it->spoil, i + 1 == pieces.size()});
        }
        it = state.calling.erase(it);
    }
}

void Basecaller::hand_out(ClientState& state, const Piece& piece, bool counted) {
    state.samples_held -= std::min<std::uint64_t>(state.samples_held, piece.read.samples.size());
    if (piece.last) {
        state.reads_held -= std::min<std::size_t>(state.reads_held, 1);
        state.tags.erase(piece.read.read_tag);
    }
    if (counted) {
        ++state.counts.reads_out;
        ++m_lifetime.reads_out;
    }
}

void Basecaller::forget_reads(ClientState& state) {
    state.incoming.clear();
    state.calling.clear();
    state.ready.clear();
    state.transfers.clear();
    state.tags.clear();
    state.reads_held = 0;
    state.samples_held = 0;
}

Reply Basecaller::poll(ClientState& state, const ClientSetup& client, bool moves) {
    if (state.lose_pending) {
        state.lose_pending = false;
        forget_reads(state);
        return Reply::simple(MessageType::NONE_PENDING, "", 1);
    }
    // A read whose later blocks were never asked for goes back to the front:
    // it has not been handed back whole.
    while (!state.transfers.empty()) {
        state.ready.push_front(std::move(state.transfers.back().piece));
        state.transfers.pop_back();
    }
    make_ready(state);
    if (state.ready.empty()) {
        return Reply::simple(MessageType::NONE_PENDING, "", 0);
    }

    const CallOptions options = call_options(client, moves);
    const std::size_t bases = m_options.called_block_bases;
    // The calls of the reads going back, in order; a deque keeps them in
    // place while more are added.
    std::deque<ClientState::Transfer> going;
    const auto call_front = [&]() {
        ClientState::Transfer transfer;
        transfer.piece = std::move(state.ready.front());
        state.ready.pop_front();
        transfer.call = call_of(transfer.piece.read, options_for_spoil(options, transfer.piece.spoil),
                                transfer.piece.spoil.kind == Malformation::none);
        transfer.num_blocks = transfer.piece.spoil.kind == Malformation::duplicate_tag
                                      ? 1
                                      : num_called_blocks(transfer.call, bases);
        going.push_back(std::move(transfer));
    };
    call_front();
    const Spoil front_spoil = going.front().piece.spoil;
    const bool batchable_front = going.front().num_blocks == 1 || m_options.batch_long_reads;
    bool batch = front_spoil.kind == Malformation::duplicate_tag || front_spoil.kind == Malformation::batch_without_blocks;
    if (!spoils_whole_reply(front_spoil) && batchable_front && m_options.max_batch_reads >= 2) {
        while (going.size() < m_options.max_batch_reads && !state.ready.empty() &&
               !spoils_whole_reply(state.ready.front().spoil)) {
            call_front();
            if (going.back().num_blocks > 1 && !m_options.batch_long_reads) {
                // Goes back on its own later.
                state.ready.push_front(std::move(going.back().piece));
                going.pop_back();
                break;
            }
        }
        batch = going.size() >= 2;
    }

    Reply reply;
    if (batch) {
        std::vector<BatchEntry> entries;
        for (const auto& transfer : going) {
            entries.push_back(BatchEntry{&transfer.call, transfer.num_blocks, transfer.piece.spoil});
        }
        reply = completed_batch_reply(entries, bases);
    } else {
        const auto& transfer = going.front();
        reply = called_block_reply(transfer.call, 0, transfer.num_blocks, bases, transfer.piece.spoil);
    }
    const bool dropped = front_spoil.kind == Malformation::garbage ||
                         front_spoil.kind == Malformation::batch_without_blocks;
    for (auto& transfer : going) {
        if (transfer.num_blocks > 1 && !dropped) {
            state.transfers.push_back(std::move(transfer));
        } else {
            hand_out(state, transfer.piece, !dropped);
        }
    }
    return reply;
}

Reply Basecaller::next_block(ClientState& state, std::uint32_t read_tag, const std::string& strand_id) {
    if (state.transfers.empty()) {
        return bad_request("no called read is being handed back");
    }
    ClientState::Transfer& transfer = state.transfers.front();
    if (transfer.call.read_tag != read_tag) {
        return bad_request("read " + std::to_string(read_tag) + " is not being handed back; read " +
                           std::to_string(transfer.call.read_tag) + " is");
    }
    // The text names the strand of the read (or sub read) being handed back.
    if (strand_id != transfer.call.strand_id) {
        return bad_request("read " + std::to_string(read_tag) + " being handed back has strand id '" +
                           transfer.call.strand_id + "', not '" + strand_id + "'");
    }
    Reply reply = called_block_reply(transfer.call, transfer.next_block, transfer.num_blocks,
                                     m_options.called_block_bases, transfer.piece.spoil);
    if (++transfer.next_block == transfer.num_blocks) {
        hand_out(state, transfer.piece, true);
        state.transfers.pop_front();
    }
    return reply;
}

}  // namespace test_server
