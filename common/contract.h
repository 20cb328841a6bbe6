#pragma once

#include <cstdint>
#include <string_view>

namespace common::contract {

// What contract_failed does once the violation record has been logged.
// Process-wide; terminate is the initial policy.
enum class ContractViolationPolicy : std::int32_t {
    terminate = 0,
    throw_violation = 1,
    report_and_throw = 2,
};

// Stores a new policy and returns the one it replaced. Any value is stored;
// values other than the three above act as terminate. Thread-safe.
ContractViolationPolicy set_contract_violation_policy(ContractViolationPolicy policy);

namespace testability {
// True once a violation happened under report_and_throw, until cleared.
bool contract_violation_occured();
void clear_violation_flag();
}  // namespace testability

namespace detail {
// Target of every contract check: logs the violation on the error logger, then
// applies the process-wide policy: terminate, or throw an exception that only
// a catch-all handler stops. Never returns to the check site (an unknown
// policy value terminates).
[[noreturn]] void contract_failed(std::string_view condition, std::string_view message, std::string_view file,
                     int line);
}  // namespace detail

}  // namespace common::contract

// Checks an invariant. The message expression is evaluated only when the
// condition fails, so it may build text.
#define CONTRACT_CHECK(condition, message)                                                   \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            ::common::contract::detail::contract_failed(#condition, (message), __FILE__,    \
                                                        __LINE__);                           \
        }                                                                                    \
    } while (false)
