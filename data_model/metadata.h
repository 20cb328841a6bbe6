#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <typeindex>

#include "data_model/key_tags.h"
#include "data_model/map_wrapper.h"

namespace kelp::data_wrappers::v2 {

// The metadata collection passed around the system: a MapWrapper with typed
// access through key tags (see key_tags.h). Adds no data, so it has the
// MapWrapper's layout.
class Metadata : public MapWrapper {
public:
    Metadata() noexcept = default;
    Metadata(const Metadata&) = default;
    Metadata(Metadata&&) noexcept = default;
    Metadata& operator=(const Metadata&) = default;
    Metadata& operator=(Metadata&&) noexcept = default;
    ~Metadata() = default;

    // Takes the wrapper's entries over (the wrapper is left empty); with a
    // non-empty schema, silently drops every entry that does not fit it.
    Metadata(MapWrapper&& entries, const Schema& schema);

    std::basic_ostream<char>& write_to_stream(std::basic_ostream<char>& stream) const {
        return MapWrapper::write_to_stream(stream);
    }

    // The value under Tag's key, of type Tag::value_type. The reference is
    // writable and stays valid until the entry is replaced or removed or the
    // map cleared, assigned or destroyed. Throws std::out_of_range
    // "Key '<key>' not found." when the key is absent or holds another type.
    template <typename Tag>
    typename Tag::value_type& get() const {
        const std::string key(Tag::key);
        typename Tag::value_type* value = nullptr;
        if (!extract(key, value)) {
            throw std::out_of_range("Key '" + key + "' not found.");
        }
        return *value;
    }
};

}  // namespace kelp::data_wrappers::v2
