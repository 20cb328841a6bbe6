#include "common/state_context.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "common/concrete_state_logger.h"

namespace common::diagnostics::state::context {

RegisteredProviderToken::RegisteredProviderToken(StateProvider* provider, const std::string& name)
        : m_provider(provider), m_name(name) {}

RegisteredProviderToken::~RegisteredProviderToken() { release(); }

RegisteredProviderToken::RegisteredProviderToken(RegisteredProviderToken&& other) noexcept
        : m_provider(other.m_provider), m_name(std::move(other.m_name)) {
    other.m_provider = nullptr;
    other.m_name.clear();
}

RegisteredProviderToken& RegisteredProviderToken::operator=(
        RegisteredProviderToken&& other) noexcept {
    if (this != &other) {
        // Overwriting a live registration would leave a dangling pointer in
        // the registry once the provider is gone.
        release();
        m_provider = other.m_provider;
        m_name = std::move(other.m_name);
        other.m_provider = nullptr;
        other.m_name.clear();
    }
    return *this;
}

void RegisteredProviderToken::release() noexcept {
    if (m_provider == nullptr) {
        return;
    }
    try {
        StateLogging::context().unregister_provider(m_provider, m_name);
    } catch (...) {
        // Unregistering allocates only for its trace scope; nothing to do.
    }
    m_provider = nullptr;
}

StateLogging& StateLogging::context() {
    // Never destroyed: tokens of objects destroyed late in process exit
    // still unregister here.
    static StateLogging* registry = new StateLogging();
    return *registry;
}

void StateLogging::register_provider(StateProvider* provider, const std::string& name) {
    auto trace = create_trace("register_provider");
    trace.message(name);
    if (provider == nullptr) {
        throw std::invalid_argument("cannot register a null state provider under " + name);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_providers[name].push_back(provider);
}

void StateLogging::unregister_provider(StateProvider* provider, const std::string& name) {
    auto trace = create_trace("unregister_provider");
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_providers.find(name);
    if (found == m_providers.end()) {
        return;
    }
    auto& providers = found->second;
    const auto position = std::find(providers.begin(), providers.end(), provider);
    if (position != providers.end()) {
        providers.erase(position);
    }
}

std::vector<StateRecord> StateLogging::get_state() {
    auto trace = create_trace("get_state");
    std::vector<StateRecord> records;
    detail::ConcreteStateLogger logger(records);

    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [name, providers] : m_providers) {
        for (const StateProvider* provider : providers) {
            std::string section_name = name;
            if (providers.size() >= 2) {
                section_name += "_" + std::to_string(reinterpret_cast<std::uintptr_t>(provider));
            }
            auto section = logger.create_child_section(std::move(section_name));
            try {
                provider->report_state(logger);
            } catch (const std::exception& e) {
                logger.log("exception reporting state", std::string(e.what()));
            } catch (...) {
                logger.log("error reporting state", std::string("unknown"));
            }
        }
    }
    return records;
}

RegisteredProviderToken register_provider(StateProvider* provider, const std::string& name) {
    StateLogging::context().register_provider(provider, name);
    return RegisteredProviderToken(provider, name);
}

std::string request_state(
        const std::function<std::string(const std::vector<StateRecord>&)>& formatter) {
    std::vector<StateRecord> records = StateLogging::context().get_state();
    if (!formatter) {
        throw std::bad_function_call();
    }
    return formatter(records);
}

}  // namespace common::diagnostics::state::context
