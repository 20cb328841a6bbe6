#include "ipc_tools/connection_string.h"

#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace ipc_tools::connection_string {

const std::string KEY_CONNECTION_CLIENT_TIMEOUT = "timeout_interval";
const std::string KEY_CLIENT_NAME = "client_name";
const std::string KEY_CONNECTED_CLIENT_UID = "client_uid";
const std::string KEY_CONNECTED_SERVER_VERSION = "server_version";
const std::string KEY_CONNECTED_SERVER_MINIMAP_VERSION = "minimap_version";
const std::string VALUE_TRUE = "true";
const std::string VALUE_FALSE = "false";

namespace {

constexpr char ITEM_START = '>';
constexpr char KEY_END = '=';

void check_key(const std::string& key) {
    if (key.empty() || key.find_first_of(">=") != std::string::npos) {
        throw std::runtime_error("Invalid key in connection string: '" + key +
                                 "' (a key may not be empty or hold '>' or '=')");
    }
}

}  // namespace

void check_value(const std::string& what, const std::string& value) {
    if (value.find(ITEM_START) != std::string::npos) {
        throw std::runtime_error("Invalid value for " + what + " in connection string: '" + value +
                                 "' (a value may not hold '>')");
    }
}

std::optional<std::map<std::string, std::string>> get_kvps(const std::string& text) {
    std::map<std::string, std::string> items;
    if (text.empty()) {
        return items;
    }
    if (text.front() != ITEM_START || text.find(KEY_END) == std::string::npos) {
        return std::nullopt;
    }
    // Each item runs from after one '>' to the next '>' or the end; a '>' at
    // the very end closes the last item without opening another.
    std::size_t start = 1;
    while (start <= text.size()) {
        std::size_t end = text.find(ITEM_START, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string item = text.substr(start, end - start);
        const std::size_t equals = item.find(KEY_END);
        if (equals == std::string::npos || equals == 0) {
            return std::nullopt;
        }
        items[item.substr(0, equals)] = item.substr(equals + 1);
        if (end + 1 >= text.size()) {
            break;
        }
        start = end + 1;
    }
    return items;
}

template <>
std::string create_kvp<unsigned int>(const std::string& key, const unsigned int& value) {
    check_key(key);
    return ITEM_START + key + KEY_END + std::to_string(value);
}

template <>
std::string create_kvp<std::string>(const std::string& key, const std::string& value) {
    check_key(key);
    check_value("'" + key + "'", value);
    return ITEM_START + key + KEY_END + value;
}

template <typename T>
bool parse_value(const std::string& text, T& value) {
    std::istringstream stream(text);
    stream >> std::ws;
    if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>) {
        // The stream would read "-1" as the largest value of the type.
        if (stream.peek() == '-') {
            return false;
        }
    }
    T read{};
    stream >> read;
    if (stream.fail() || stream.peek() != std::char_traits<char>::eof()) {
        return false;
    }
    value = read;
    return true;
}

template bool parse_value<bool>(const std::string&, bool&);
template bool parse_value<int>(const std::string&, int&);
template bool parse_value<unsigned int>(const std::string&, unsigned int&);
template bool parse_value<long long>(const std::string&, long long&);
template bool parse_value<unsigned long long>(const std::string&, unsigned long long&);
template bool parse_value<float>(const std::string&, float&);
template bool parse_value<double>(const std::string&, double&);

}  // namespace ipc_tools::connection_string
