#pragma once

// The implementation behind apps::Strandlink: the parameters, the checks of
// reads handed in, one client engine per connect, and the translation of the
// engine's codes into the public ones. Inside the library only.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "apps/read.h"
#include "apps/result.h"
#include "apps/strandlink.h"
#include "common/state_context.h"
#include "common/state_logger.h"
#include "common/trace.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/metadata.h"
#include "strandlink/client.h"

namespace apps {

// The read tags that one engine holds: handed in and not yet collected
// (queued, at the server, or completed). The server tells reads apart by
// their tag, so two reads of one tag in one engine would be mixed up.
// Thread-safe.
class HeldReadTags {
public:
    // Takes every tag, or none. False with the reason naming the first
    // refused tag when a tag is 2^32 or more (the wire carries 32 bits),
    // repeats one of `tags`, or is held already.
    bool reserve(const std::vector<std::uint64_t>& tags, std::string& error);
    // Tags that are not held are ignored.
    void release(const std::vector<std::uint64_t>& tags);

private:
    mutable std::mutex m_mutex;
    std::unordered_set<std::uint64_t> m_tags;
};

// Thread-safe as apps::Strandlink says. The lifecycle calls (the four
// setters, connect, finish, disconnect and destruction) run one at a time:
// a status check and the change it allows are one step, and one engine is
// started, stopped or swapped at a time. m_params_mutex guards the
// parameters for the calls that read them meanwhile (reads, state reports);
// m_client_mutex guards the engine pointer (with its tag set). Lock order:
// lifecycle, then parameters or engine pointer; neither of the last two is
// held while the engine works or another lock is taken.
class StrandlinkImpl : protected common::diagnostics::tracing::TraceDomainHelper<StrandlinkImpl>,
                       public common::diagnostics::state::StateProvider {
public:
    using StateChangeHandler = Strandlink::StateChangeHandler;
    using Callback = Strandlink::Callback;

    StrandlinkImpl(std::string address, std::string config, bool warn_bad_reads);
    ~StrandlinkImpl() override;
    StrandlinkImpl(const StrandlinkImpl&) = delete;
    StrandlinkImpl& operator=(const StrandlinkImpl&) = delete;

    Result set_params(const kelp::data_wrappers::v2::Metadata& params);
    Result set_state_change_handler(StateChangeHandler handler);
    Result set_priority(Read::Priority priority);
    Result set_callback_function(Callback callback);

    ConnectionStatus get_status() const;
    std::string get_error_message() const;
    std::string get_internal_state() const;

    Result connect();
    PassReadResult pass_read(interfaces::ReadHolder& read, std::uint32_t wait_ms);
    PassReadResult pass_reads(interfaces::ReadList& reads, std::uint32_t wait_ms);
    bool validate_read(const interfaces::ReadHolder& read, std::string& error_message) const;

    std::uint64_t num_completed_reads() const;
    std::uint64_t num_buffered_samples() const;
    void get_completed_reads(std::vector<std::vector<Read>>& reads);

    void no_more_data();
    Result finish(std::uint64_t timeout_s);
    Result disconnect();

    Result get_basecalling_config(kelp::data_wrappers::v2::Metadata& config) const;
    Result get_alignment_sam_header(std::string& header) const;
    Result get_connected_server_info(ConnectedServerInfo& info) const;

    void report_state(common::diagnostics::state::StateLogger& logger) const override;

private:
    // One connection's engine and the tags it holds.
    struct Engine {
        std::shared_ptr<strandlink::Client> client;
        std::shared_ptr<HeldReadTags> tags;
    };

    // What the read calls use of the parameters, read at once.
    struct ReadSettings {
        int priority;
        bool duplex;
        std::uint32_t pass_read_timeout;
    };

    // A copy taken under the lock: the engine lives until the caller is
    // done, even when a new connect replaces it meanwhile.
    Engine current_engine() const;
    ReadSettings read_settings() const;
    // Installs a new engine; the one it replaces goes into `previous`, for
    // the caller to release once no lock of this object is held.
    std::shared_ptr<strandlink::Client> create_client(Engine& previous);
    Result get_connect_result(const std::shared_ptr<strandlink::Client>& engine) const;
    // What a valid read gets on its way in: "strand_id" from "read_id",
    // "duration" from its samples, the client's priority.
    static void annotate(interfaces::ReadHolder& read, int priority);
    static std::uint32_t wait_for(std::uint32_t wait_ms, const ReadSettings& settings);

    common::diagnostics::state::context::RegisteredProviderToken m_provider_token;
    std::mutex m_lifecycle_mutex;
    mutable std::mutex m_params_mutex;
    mutable std::mutex m_client_mutex;
    int m_priority = static_cast<int>(Read::Priority::MEDIUM_PRIORITY);
    std::uint32_t m_connection_timeout_ms = 15000;
    std::string m_address;
    std::string m_model_set;
    std::string m_barcode_kits;
    std::string m_align_index_file;
    std::string m_bed_file;
    std::string m_minimap2_opt_string;
    std::string m_client_name;
    std::uint32_t m_timeout = 2000;
    std::uint32_t m_server_file_load_timeout = 180;
    std::uint32_t m_pass_read_timeout = 0;
    std::uint32_t m_reconnect_timeout = 300;
    std::uint64_t m_block_size = 256000;
    std::uint64_t m_max_reads_queued = 20;
    std::uint64_t m_max_server_read_failures = 10;
    bool m_enable_moves = false;
    bool m_duplex = false;
    bool m_pair_by_channel = false;
    bool m_warn_bad_reads;
    Callback m_callback = nullptr;
    StateChangeHandler m_state_change_handler;
    Engine m_client;
    kelp::data_wrappers::v2::Metadata m_params;
};

}  // namespace apps
