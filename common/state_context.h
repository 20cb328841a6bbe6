#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/state_logger.h"
#include "common/trace.h"

namespace common::diagnostics::state::context {

// The move-only handle of one registration: destroying it (or the last token
// it was moved into) unregisters the provider.
class RegisteredProviderToken {
public:
    RegisteredProviderToken() = default;
    // Stores the pair; registers nothing by itself.
    RegisteredProviderToken(StateProvider* provider, const std::string& name);
    ~RegisteredProviderToken();

    RegisteredProviderToken(RegisteredProviderToken&& other) noexcept;
    // Unregisters what this token held before taking over the other's.
    RegisteredProviderToken& operator=(RegisteredProviderToken&& other) noexcept;

    RegisteredProviderToken(const RegisteredProviderToken&) = delete;
    RegisteredProviderToken& operator=(const RegisteredProviderToken&) = delete;

private:
    void release() noexcept;

    StateProvider* m_provider = nullptr;
    std::string m_name;
};

// The process-wide registry of state providers. Thread-safe. It does not own
// the providers; a provider must unregister before it can no longer report.
class StateLogging : private tracing::TraceDomain<StateLogging> {
public:
    static StateLogging& context();

    // Throws std::invalid_argument for a null provider.
    void register_provider(StateProvider* provider, const std::string& name);
    // Removes the first registration of the provider under the name, if any.
    void unregister_provider(StateProvider* provider, const std::string& name);
    // Every provider's report, by ascending name, each in its own section.
    std::vector<StateRecord> get_state();

private:
    StateLogging() = default;

    std::mutex m_mutex;
    std::map<std::string, std::vector<StateProvider*>> m_providers;
};

// Registers the provider under the name until the returned token goes.
// Throws std::invalid_argument for a null provider.
RegisteredProviderToken register_provider(StateProvider* provider, const std::string& name);

// Collects the state of every registered provider and returns the
// formatter's text of it.
std::string request_state(
        const std::function<std::string(const std::vector<StateRecord>&)>& formatter);

}  // namespace common::diagnostics::state::context
