#include "apps/strandlink.h"

#include <utility>

#include "api/src/strandlink_impl.h"
#include "common/log_options.h"
#include "common/trace.h"

namespace apps {

namespace {

using ImplTrace = common::diagnostics::tracing::TraceDomain<StrandlinkImpl>;

}  // namespace

Strandlink::Strandlink(std::string address, std::string config, std::string trace_output_folder,
                       bool warn_bad_reads) {
    common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
    if (!trace_output_folder.empty()) {
        common::diagnostics::tracing::context().using_trace_output_folder(std::move(trace_output_folder));
    }
    m_impl = std::make_unique<StrandlinkImpl>(std::move(address), std::move(config), warn_bad_reads);
}

Strandlink::~Strandlink() = default;

Result Strandlink::set_params(const kelp::data_wrappers::v2::Metadata& params) { return m_impl->set_params(params); }

Result Strandlink::set_state_change_handler(StateChangeHandler handler) {
    return m_impl->set_state_change_handler(std::move(handler));
}

Result Strandlink::set_priority(Read::Priority priority) { return m_impl->set_priority(priority); }

Result Strandlink::set_callback_function(Callback callback) { return m_impl->set_callback_function(callback); }

ConnectionStatus Strandlink::get_status() const { return m_impl->get_status(); }

std::string Strandlink::get_error_message() const { return m_impl->get_error_message(); }

std::string Strandlink::get_internal_state() const { return m_impl->get_internal_state(); }

Result Strandlink::connect() { return m_impl->connect(); }

PassReadResult Strandlink::pass_read(Read& read, std::uint32_t wait_duration_ms) {
    auto trace = ImplTrace::create_hftrace("pass_read");
    const PassReadResult result = m_impl->pass_read(read.get_readholder(), wait_duration_ms);
    trace.message([result] { return to_string(result); });
    return result;
}

PassReadResult Strandlink::pass_reads(std::vector<Read>& reads, std::uint32_t wait_duration_ms) {
    auto trace = ImplTrace::create_hftrace("pass_reads");
    interfaces::ReadList list;
    for (auto& read : reads) {
        list.push_back(std::move(read.get_readholder()));
    }
    reads.clear();
    const PassReadResult result = m_impl->pass_reads(list, wait_duration_ms);
    trace.message([result] { return to_string(result); });
    // Whatever the client did not take goes back to the caller, in order.
    reads.reserve(list.size());
    for (auto& holder : list) {
        reads.emplace_back();
        reads.back().set_readholder(std::move(holder));
    }
    return result;
}

bool Strandlink::validate_read(const Read& read, std::string& error_message) const {
    return m_impl->validate_read(read.get_readholder(), error_message);
}

std::uint64_t Strandlink::num_completed_reads() const { return m_impl->num_completed_reads(); }

std::uint64_t Strandlink::num_buffered_samples() const { return m_impl->num_buffered_samples(); }

void Strandlink::get_completed_reads(std::vector<std::vector<Read>>& reads) { m_impl->get_completed_reads(reads); }

void Strandlink::no_more_data() { m_impl->no_more_data(); }

Result Strandlink::finish(std::uint64_t timeout_s) { return m_impl->finish(timeout_s); }

Result Strandlink::disconnect() { return m_impl->disconnect(); }

Result Strandlink::get_basecalling_config(kelp::data_wrappers::v2::Metadata& config) const {
    return m_impl->get_basecalling_config(config);
}

Result Strandlink::get_alignment_sam_header(std::string& header) const {
    return m_impl->get_alignment_sam_header(header);
}

Result Strandlink::get_connected_server_info(ConnectedServerInfo& info) const {
    return m_impl->get_connected_server_info(info);
}

}  // namespace apps
