#include "apps/result.h"

#include <ostream>
#include <stdexcept>

#include "api/src/result_internal.h"
#include "api/version_config.h"
#include "apps/strandlink.h"
#include "ipc_tools/request_broker.h"

namespace apps {

namespace {

const char* const RESULT_NAMES[] = {
        "success",
        "no_connection",
        "already_connected",
        "not_ready",
        "timed_out",
        "invalid_response",
        "basecall_config_unavailable",
        "barcode_kit_unavailable",
        "align_index_unavailable",
        "bed_file_unavailable",
        "file_load_timeout",
        "failed",
        "bad_request",
        "bad_reply",
        "invalid_aligner_options",
};

const char* const STATUS_NAMES[] = {
        "disconnected", "preparing_connection", "loading_config", "loading_alignment_index",
        "loading_bed_file", "connecting", "connected", "error",
};

const char* const PASS_READ_RESULT_NAMES[] = {"success", "not_accepting_reads", "queue_full", "bad_read"};

// The name at `value`, compared unsigned so that negative values fall out too.
template <std::size_t N>
std::string name_of(const char* const (&names)[N], std::int32_t value, const char* unrecognised) {
    if (static_cast<std::uint32_t>(value) >= N) {
        throw std::runtime_error(unrecognised);
    }
    return names[value];
}

}  // namespace

const Result connection_error_results[NUM_CONNECTION_ERRORS] = {
        Result::success,                      // no_error
        Result::bad_request,                  // bad_request
        Result::bad_reply,                    // bad_reply
        Result::timed_out,                    // timed_out
        Result::invalid_response,             // invalid_response
        Result::basecall_config_unavailable,  // basecall_config_unavailable
        Result::barcode_kit_unavailable,      // barcode_kit_unavailable
        Result::align_index_unavailable,      // align_index_unavailable
        Result::bed_file_unavailable,         // bed_file_unavailable
        Result::invalid_aligner_options,      // invalid_aligner_options
        Result::file_load_timeout,            // file_load_timeout
        Result::failed,                       // failed
};

std::string to_string(Result result) {
    return name_of(RESULT_NAMES, static_cast<std::int32_t>(result), "unrecognised Result value");
}

std::ostream& operator<<(std::ostream& out, Result result) { return out << to_string(result); }

std::string to_string(ConnectionStatus status) {
    return name_of(STATUS_NAMES, static_cast<std::int32_t>(status), "unrecognised connection status");
}

std::ostream& operator<<(std::ostream& out, ConnectionStatus status) { return out << to_string(status); }

std::string to_string(PassReadResult result) {
    return name_of(PASS_READ_RESULT_NAMES, static_cast<std::int32_t>(result), "unrecognised PassReadResult");
}

std::ostream& operator<<(std::ostream& out, PassReadResult result) { return out << to_string(result); }

Result to_result(strandlink::ConnectionError error) {
    const auto index = static_cast<std::uint32_t>(error);
    if (index >= NUM_CONNECTION_ERRORS) {
        throw std::runtime_error("unrecognised ConnectionError value");
    }
    return connection_error_results[index];
}

ConnectionStatus to_connection_status(strandlink::ClientStatus status) {
    if (static_cast<std::uint32_t>(status) > static_cast<std::uint32_t>(ConnectionStatus::error)) {
        throw std::runtime_error("unrecognised strandlink::ClientStatus value");
    }
    return static_cast<ConnectionStatus>(status);
}

std::string application_version_string(bool) {
    return VersionTag(STRANDLINK_VERSION_MAJOR, STRANDLINK_VERSION_MINOR, STRANDLINK_VERSION_PATCH).text +
           STRANDLINK_BUILD_SUFFIX;
}

Result get_result(const std::function<Result()>& operation, const std::function<void(std::string)>& on_error) {
    // Each clause hands the text on before returning; the order matters
    // only in that the broker's own exceptions come before std::exception.
    try {
        return operation();
    } catch (const ipc_tools::TimeoutError& e) {
        on_error(std::string(e.what()));
        return Result::timed_out;
    } catch (const ipc_tools::BadRequest& e) {
        on_error(std::string(e.what()));
        return Result::bad_request;
    } catch (const ipc_tools::BadReply& e) {
        on_error(std::string(e.what()));
        return Result::bad_reply;
    } catch (const ipc_tools::InvalidResponse& e) {
        on_error(std::string(e.what()));
        return Result::invalid_response;
    } catch (const std::exception& e) {
        on_error(std::string(e.what()));
        return Result::failed;
    }
}

VersionTag Strandlink::get_data_wrappers_version() { return VersionTag(2, 0, 0); }

VersionTag Strandlink::get_api_version() { return VersionTag(9, 1, 0); }

VersionTag Strandlink::get_software_version() {
    VersionTag version(STRANDLINK_VERSION_MAJOR, STRANDLINK_VERSION_MINOR, STRANDLINK_VERSION_PATCH);
    version.text = application_version_string(false);
    return version;
}

VersionTag Strandlink::get_protocol_version() { return VersionTag(21, 0, 0); }

}  // namespace apps
