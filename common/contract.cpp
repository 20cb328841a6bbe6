#include "common/contract.h"

#include "common/logger.h"

#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using common::contract::ContractViolationPolicy;

// Thrown by value under the throwing policies. Deliberately not a
// std::exception: a violation must not be swallowed by ordinary error
// handling.
class ContractViolation {};

class ContractViolationHandler {
public:
    static ContractViolationHandler& instance() {
        static ContractViolationHandler handler;
        return handler;
    }

    ContractViolationPolicy set_policy(ContractViolationPolicy policy) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const ContractViolationPolicy previous = m_policy;
        m_policy = policy;
        return previous;
    }

    bool violation_occurred() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_violation_occurred;
    }

    void clear_violation_flag() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_violation_occurred = false;
    }

    // `report` has no effect; kept so that the signature shown on the
    // violation record stays what log readers know.
    [[noreturn]] void handle_violation(const std::string& text, bool /*report*/) {
        SL_LOG(error) << "\n"
                      << "Contract violation. " << text << "\n";

        ContractViolationPolicy policy;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            policy = m_policy;
        }

        switch (policy) {
            case ContractViolationPolicy::throw_violation:
                throw ContractViolation();
            case ContractViolationPolicy::report_and_throw:
                std::cerr << "\n"
                          << "Contract violation. " << text << "\n";
                std::cerr.flush();
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_violation_occurred = true;
                }
                throw ContractViolation();
            case ContractViolationPolicy::terminate:
            default:
                // An unknown policy value must not let the broken invariant
                // run on: treat it as terminate.
                std::terminate();
        }
    }

private:
    ContractViolationHandler() = default;

    std::mutex m_mutex;
    ContractViolationPolicy m_policy = ContractViolationPolicy::terminate;
    bool m_violation_occurred = false;
};

}  // namespace

namespace common::contract {

ContractViolationPolicy set_contract_violation_policy(ContractViolationPolicy policy) {
    return ContractViolationHandler::instance().set_policy(policy);
}

namespace testability {

bool contract_violation_occured() { return ContractViolationHandler::instance().violation_occurred(); }

void clear_violation_flag() { ContractViolationHandler::instance().clear_violation_flag(); }

}  // namespace testability

namespace detail {

void contract_failed(std::string_view condition, std::string_view message, std::string_view file,
                     int line) {
    ContractViolationHandler& handler = ContractViolationHandler::instance();
    std::ostringstream text;
    text << message << "\n" << file << ":" << line << " \"" << condition << "\"";
    handler.handle_violation(text.str(), true);
}

}  // namespace detail

}  // namespace common::contract
