#pragma once

// The translations from the engine's codes and the request broker's
// exceptions into the public result codes, and the build's version text.
// Inside the library only.

#include <cstddef>
#include <functional>
#include <string>

#include "apps/result.h"
#include "strandlink/client_connection_state.h"

namespace apps {

// Indexed by strandlink::ConnectionError: the result of the same name.
inline constexpr std::size_t NUM_CONNECTION_ERRORS = 12;
extern const Result connection_error_results[NUM_CONNECTION_ERRORS];

// connection_error_results of the code; a code outside the table throws
// std::runtime_error "unrecognised ConnectionError value".
Result to_result(strandlink::ConnectionError error);

// The same number; above 7 std::runtime_error "unrecognised
// strandlink::ClientStatus value".
ConnectionStatus to_connection_status(strandlink::ClientStatus status);

// The release numbers and the build suffix ("0.1.0+dev"); the argument
// changes nothing.
std::string application_version_string(bool);

// Runs `operation` and returns its result. An exception derived from
// std::exception becomes a code (timed_out, bad_request, bad_reply,
// invalid_response for the request broker's own, failed for any other), and
// its text goes to `on_error` first. An empty `on_error` throws
// std::bad_function_call.
Result get_result(const std::function<Result()>& operation, const std::function<void(std::string)>& on_error);

}  // namespace apps
