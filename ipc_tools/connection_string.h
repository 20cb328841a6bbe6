#pragma once

// The key/value text of the connection string sent with CONNECT and of the
// CONNECTED reply: zero or more items ">" key "=" value. A key is not empty
// and holds neither '>' nor '='; a value holds no '>' and may be empty or
// hold '='.

#include <map>
#include <optional>
#include <string>

namespace ipc_tools::connection_string {

// Keys of the connection string.
extern const std::string KEY_CONNECTION_CLIENT_TIMEOUT;  // "timeout_interval" (ms)
extern const std::string KEY_CLIENT_NAME;                // "client_name"
// Keys of the CONNECTED text.
extern const std::string KEY_CONNECTED_CLIENT_UID;             // "client_uid"
extern const std::string KEY_CONNECTED_SERVER_VERSION;         // "server_version"
extern const std::string KEY_CONNECTED_SERVER_MINIMAP_VERSION; // "minimap_version"
extern const std::string VALUE_TRUE;   // "true"
extern const std::string VALUE_FALSE;  // "false"

// The items of `text` by key (a repeated key keeps its last value); an empty
// text gives an empty map. Absent when the text breaks the grammar. Keys and
// values are taken exactly, white space included. Never throws for the text.
std::optional<std::map<std::string, std::string>> get_kvps(const std::string& text);

// ">" + key + "=" + value as text. Defined for unsigned int (decimal) and
// std::string (unchanged).
// Throws std::runtime_error when the pair would break the grammar (an empty
// key, a key holding '>' or '=', a value holding '>'): such a value would
// inject items into what the server reads.
template <typename T>
std::string create_kvp(const std::string& key, const T& value);
// The two writers, defined in the .cpp file; declared here so that every
// caller names these specialisations and no other.
template <>
std::string create_kvp<unsigned int>(const std::string& key, const unsigned int& value);
template <>
std::string create_kvp<std::string>(const std::string& key, const std::string& value);

// Reads the whole text as a value of T: leading white space is skipped, and
// anything else that is not part of the number (trailing characters, a sign
// on an unsigned type, a value out of range) fails. Booleans are read as 1 or
// 0. On failure returns false and leaves `value` unchanged. Defined for bool,
// int, unsigned int, long long, unsigned long long, float and double.
template <typename T>
bool parse_value(const std::string& text, T& value);

// Throws std::runtime_error naming `what` when `value` holds '>', which
// would end the item early and start another one on the server's side.
void check_value(const std::string& what, const std::string& value);

}  // namespace ipc_tools::connection_string
