#include "ipc_tools/connection_info.h"

#include "common/trace.h"
#include "common/utils.h"
#include "data_model/client_options.h"
#include "ipc_tools/connection_string.h"

#include <typeindex>

namespace ipc_tools {

namespace {

using Tracing = common::diagnostics::tracing::TraceDomain<ConnectionInfo>;

// Reads `text` as T and stores it under `name`; false when it does not read.
template <typename T>
bool insert_parsed(kelp::data_wrappers::v2::Metadata& options, const std::string& name,
                   const std::string& text) {
    T value{};
    if (!connection_string::parse_value(text, value)) {
        return false;
    }
    options.insert(name, value);
    return true;
}

// Stores the option `name` read from `text` as `type`; false when the type is
// not one the connection string carries or the text does not read as it.
bool insert_option(kelp::data_wrappers::v2::Metadata& options, const std::string& name,
                   const std::type_index& type, const std::string& text) {
    if (type == typeid(std::string)) {
        options.insert(name, text);
        return true;
    }
    if (type == typeid(bool)) {
        return insert_parsed<bool>(options, name, text);
    }
    if (type == typeid(int)) {
        return insert_parsed<int>(options, name, text);
    }
    if (type == typeid(unsigned int)) {
        return insert_parsed<unsigned int>(options, name, text);
    }
    if (type == typeid(long long)) {
        return insert_parsed<long long>(options, name, text);
    }
    if (type == typeid(unsigned long long)) {
        return insert_parsed<unsigned long long>(options, name, text);
    }
    if (type == typeid(float)) {
        return insert_parsed<float>(options, name, text);
    }
    if (type == typeid(double)) {
        return insert_parsed<double>(options, name, text);
    }
    return false;
}

std::string option_string(const kelp::data_wrappers::v2::Metadata& options, const std::string& name) {
    std::string* value = nullptr;
    if (options.extract(name, value)) {
        return *value;
    }
    return {};
}

}  // namespace

std::string ConnectionInfo::build_connection_string() {
    align_ref = common::make_canonical_path(align_ref);
    bed_file = common::make_canonical_path(bed_file);

    using namespace connection_string;
    check_value("the configuration name", config);
    std::string text = config + ":";
    text += create_kvp(KEY_CONNECTION_CLIENT_TIMEOUT, static_cast<unsigned int>(connection_timeout_ms));
    text += create_kvp(KEY_CLIENT_NAME, client_name);
    const client_options::RegisteredClientOptions registered;
    for (const auto& name : registered.m_option_names) {
        if (options.exists(name)) {
            text += create_kvp(name, options.get_as_string(name));
        }
    }
    return text;
}

std::optional<ConnectionInfo> ConnectionInfo::parse(const std::string& text, std::string& error) {
    auto trace = Tracing::create_trace("parse");
    trace.message(text);

    ConnectionInfo info;
    const std::size_t separator = text.find(":>");
    info.config = text.substr(0, separator);
    const std::string rest = separator == std::string::npos ? text : text.substr(separator + 1);
    if (rest.empty() || rest.front() != '>') {
        return info;
    }

    error = "Failed to parse barcoding options in connection string: " + rest;
    const auto items = connection_string::get_kvps(rest);
    if (!items) {
        return std::nullopt;
    }
    if (const auto name = items->find(connection_string::KEY_CLIENT_NAME); name != items->end()) {
        info.client_name = name->second;
    }
    if (const auto timeout = items->find(connection_string::KEY_CONNECTION_CLIENT_TIMEOUT);
        timeout != items->end()) {
        unsigned int value = 0;
        if (!connection_string::parse_value(timeout->second, value)) {
            return std::nullopt;
        }
        info.connection_timeout_ms = value;
    }
    const client_options::RegisteredClientOptions registered;
    for (const auto& name : registered.m_option_names) {
        const auto item = items->find(name);
        if (item == items->end()) {
            continue;
        }
        if (!insert_option(info.options, name, registered.m_option_types.at(name), item->second)) {
            return std::nullopt;
        }
    }
    info.barcode_kits = option_string(info.options, "barcode_kits");
    info.align_ref = option_string(info.options, "align_ref");
    info.bed_file = option_string(info.options, "bed_file");
    info.minimap_opt_string = option_string(info.options, "minimap_opt_string");
    error.clear();
    return info;
}

}  // namespace ipc_tools
