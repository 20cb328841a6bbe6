#include "ipc_tools/connected_info.h"

#include "common/trace.h"
#include "ipc_tools/connection_string.h"

namespace ipc_tools {

using Tracing = common::diagnostics::tracing::TraceDomain<ConnectedInfo>;

std::string ConnectedInfo::create_message_string() const {
    auto trace = Tracing::create_trace("create_message_string");
    using namespace connection_string;
    std::string text = create_kvp(KEY_CONNECTED_CLIENT_UID, client_uid) +
                       create_kvp(KEY_CONNECTED_SERVER_VERSION, server_version) +
                       create_kvp(KEY_CONNECTED_SERVER_MINIMAP_VERSION, minimap_version);
    trace.message(text);
    return text;
}

std::optional<ConnectedInfo> ConnectedInfo::parse(const std::string& text) {
    auto trace = Tracing::create_trace("parse");
    trace.message(text);
    using namespace connection_string;
    const auto items = get_kvps(text);
    if (!items) {
        return std::nullopt;
    }
    const auto uid = items->find(KEY_CONNECTED_CLIENT_UID);
    const auto version = items->find(KEY_CONNECTED_SERVER_VERSION);
    const auto minimap = items->find(KEY_CONNECTED_SERVER_MINIMAP_VERSION);
    if (uid == items->end() || version == items->end() || minimap == items->end()) {
        return std::nullopt;
    }
    ConnectedInfo info;
    info.client_uid = uid->second;
    info.server_version = version->second;
    info.minimap_version = minimap->second;
    return info;
}

}  // namespace ipc_tools
