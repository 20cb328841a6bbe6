#include "strandlink/request_broker_adapter.h"

namespace strandlink {

RequestBrokerAdapter::RequestBrokerAdapter() { auto trace = create_trace("RequestBrokerAdapter"); }

bool RequestBrokerAdapter::prepare_connection(const std::string& address, unsigned int timeout_ms) {
    return invoke([&] { m_request_broker.prepare_connection(address, timeout_ms); });
}

bool RequestBrokerAdapter::send_request(ipc_tools::Message& request, ipc_tools::Message& reply) {
    return invoke([&] { m_request_broker.send_request(request, reply); });
}

bool RequestBrokerAdapter::post_request(ipc_tools::Message& request) {
    return invoke([&] { m_request_broker.post_request(request); });
}

bool RequestBrokerAdapter::await_reply(ipc_tools::Message& reply) {
    return invoke([&] { m_request_broker.await_reply(reply); });
}

bool RequestBrokerAdapter::ping_server_if_quiet(const std::string& client_id) {
    return invoke([&] { m_request_broker.ping_server_if_quiet(client_id); });
}

}  // namespace strandlink
