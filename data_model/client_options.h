#pragma once

#include <list>
#include <map>
#include <string>
#include <typeindex>

namespace client_options {

// The basecalling options a client may register with the server: each
// option's name and value type, and the order in which they are written into
// a connection string. Holds no values; those travel in a Metadata whose
// entries must have exactly the registered types (chunk_size as
// unsigned long long, flags as bool).
class RegisteredClientOptions {
public:
    RegisteredClientOptions();

    std::map<std::string, std::type_index> m_option_types;  // name -> value type
    std::list<std::string> m_option_names;                  // registration order
};

}  // namespace client_options
