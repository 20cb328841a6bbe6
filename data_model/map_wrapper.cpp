#include "data_model/map_wrapper.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <tuple>

namespace kelp::data_wrappers::v2 {

namespace {

// Text of a value by the order of the twelve types; false when the value is
// of none of them (or the entry holds no value).
bool value_to_string(const std::any& value, std::string& text) {
    if (auto p = std::any_cast<std::string>(&value)) {
        text = *p;
    } else if (auto p = std::any_cast<bool>(&value)) {
        text = std::to_string(static_cast<int>(*p));
    } else if (auto p = std::any_cast<signed char>(&value)) {
        text = std::to_string(static_cast<int>(*p));
    } else if (auto p = std::any_cast<unsigned char>(&value)) {
        text = std::to_string(static_cast<int>(*p));
    } else if (auto p = std::any_cast<short>(&value)) {
        text = std::to_string(static_cast<int>(*p));
    } else if (auto p = std::any_cast<unsigned short>(&value)) {
        text = std::to_string(static_cast<int>(*p));
    } else if (auto p = std::any_cast<int>(&value)) {
        text = std::to_string(*p);
    } else if (auto p = std::any_cast<unsigned int>(&value)) {
        text = std::to_string(*p);
    } else if (auto p = std::any_cast<long long>(&value)) {
        text = std::to_string(*p);
    } else if (auto p = std::any_cast<unsigned long long>(&value)) {
        text = std::to_string(*p);
    } else if (auto p = std::any_cast<float>(&value)) {
        text = std::to_string(*p);
    } else if (auto p = std::any_cast<double>(&value)) {
        text = std::to_string(*p);
    } else {
        return false;
    }
    return true;
}

template <typename T>
bool same_value(const std::any& a, const std::any& b, bool& supported) {
    auto pa = std::any_cast<T>(&a);
    if (!pa) {
        return false;
    }
    supported = true;
    auto pb = std::any_cast<T>(&b);
    if (!pb) {
        return false;
    }
    if constexpr (std::is_same_v<T, float>) {
        return std::fabs(*pa - *pb) < 1e-6f;
    } else if constexpr (std::is_same_v<T, double>) {
        return std::fabs(*pa - *pb) < 1e-6;
    } else {
        return *pa == *pb;
    }
}

// Equality of two values known to be of the same type.
bool values_equal(const std::any& a, const std::any& b) {
    bool supported = false;
    bool equal = same_value<std::string>(a, b, supported) || same_value<bool>(a, b, supported) ||
                 same_value<signed char>(a, b, supported) ||
                 same_value<unsigned char>(a, b, supported) || same_value<short>(a, b, supported) ||
                 same_value<unsigned short>(a, b, supported) || same_value<int>(a, b, supported) ||
                 same_value<unsigned int>(a, b, supported) ||
                 same_value<long long>(a, b, supported) ||
                 same_value<unsigned long long>(a, b, supported) ||
                 same_value<float>(a, b, supported) || same_value<double>(a, b, supported);
    return supported && equal;
}

const char* const UNSUPPORTED_TYPE_TEXT = "Unsupported type for conversion to string.";

// A map has an arena of its own, made and destroyed with it: a new empty
// map, or a copy of `from`.
MapWrapper::Map* new_map(const MapWrapper::Map* from = nullptr) {
    auto arena = std::make_unique<detail::NodeArena>();
    const MapWrapper::Map::allocator_type allocator(arena.get());
    auto* map = from ? new MapWrapper::Map(*from, allocator) : new MapWrapper::Map(allocator);
    arena.release();
    return map;
}

void delete_map(MapWrapper::Map* map) noexcept {
    if (map) {
        detail::NodeArena* arena = map->get_allocator().arena();
        delete map;
        delete arena;
    }
}

}  // namespace

namespace detail {

NodeArena::~NodeArena() {
    while (m_chunks) {
        Chunk* next = m_chunks->next;
        ::operator delete(m_chunks);
        m_chunks = next;
    }
}

void* NodeArena::allocate(std::size_t bytes) {
    if (m_block == 0) {
        // Room for the free list's link, and the alignment operator new gives.
        constexpr std::size_t align = alignof(std::max_align_t);
        m_block = (std::max(bytes, sizeof(FreeBlock)) + align - 1) / align * align;
    }
    if (bytes > m_block) {
        return ::operator new(bytes);
    }
    if (m_free) {
        FreeBlock* block = m_free;
        m_free = block->next;
        --m_free_blocks;
        return block;
    }
    if (m_next == m_end) {
        add_chunk(m_chunk_blocks);
        m_chunk_blocks = std::min(m_chunk_blocks * 2, MAX_CHUNK_BLOCKS);
    }
    void* block = m_next;
    m_next += m_block;
    return block;
}

void NodeArena::add_chunk(std::size_t blocks) {
    // The chunk's header takes one block, so that blocks keep its alignment.
    auto* chunk = static_cast<Chunk*>(::operator new((blocks + 1) * m_block));
    chunk->next = m_chunks;
    m_chunks = chunk;
    // What is left of the chunk before goes on the free list.
    while (m_next != m_end) {
        deallocate(m_next, m_block);
        m_next += m_block;
    }
    m_next = reinterpret_cast<char*>(chunk) + m_block;
    m_end = m_next + blocks * m_block;
}

void NodeArena::reserve(std::size_t blocks) {
    if (m_block == 0) {
        // Nothing served yet: the size is not known, and nothing can be kept.
        return;
    }
    const std::size_t ready = m_free_blocks + static_cast<std::size_t>(m_end - m_next) / m_block;
    if (ready < blocks) {
        add_chunk(std::max(blocks - m_free_blocks, m_chunk_blocks));
    }
}

void NodeArena::deallocate(void* block, std::size_t bytes) noexcept {
    if (bytes > m_block) {
        ::operator delete(block);
        return;
    }
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = m_free;
    m_free = free_block;
    ++m_free_blocks;
}

}  // namespace detail

MapWrapper::MapWrapper(const MapWrapper& other) {
    if (other.m_map) {
        m_map = new_map(other.m_map);
    }
}

MapWrapper::MapWrapper(MapWrapper&& other) noexcept : m_map(other.m_map) {
    other.m_map = nullptr;
}

MapWrapper& MapWrapper::operator=(const MapWrapper& other) {
    if (this != &other) {
        Map* copy = other.m_map ? new_map(other.m_map) : nullptr;
        delete_map(m_map);
        m_map = copy;
    }
    return *this;
}

MapWrapper& MapWrapper::operator=(MapWrapper&& other) noexcept {
    if (this != &other) {
        delete_map(m_map);
        m_map = other.m_map;
        other.m_map = nullptr;
    }
    return *this;
}

MapWrapper::~MapWrapper() { delete_map(m_map); }

MapWrapper::Map& MapWrapper::map() {
    if (!m_map) {
        m_map = new_map();
    }
    return *m_map;
}

void MapWrapper::store(const std::string& key, std::any&& value) {
    // std::any's move assignment does not throw, so once the entry exists the
    // value always lands in it.
    map()[key] = std::move(value);
}

MapWrapper::AscendingStore::AscendingStore(MapWrapper& map, std::size_t new_entries)
    : m_map(&map.map()), m_next(m_map->begin()) {
    m_map->get_allocator().arena()->reserve(new_entries);
}

void MapWrapper::AscendingStore::store(const std::string& key, std::any&& value) {
    bool held = false;
    if (m_last != nullptr && *m_last < key) {
        int order = -1;
        while (m_next != m_map->end() && (order = m_next->first.compare(key)) < 0) {
            ++m_next;
        }
        held = m_next != m_map->end() && order == 0;
    } else {
        m_next = m_map->lower_bound(key);
        held = m_next != m_map->end() && m_next->first == key;
    }
    if (!held) {
        // The hint is right, so the map checks it with two comparisons and
        // does not search.
        m_next = m_map->emplace_hint(m_next, std::piecewise_construct, std::forward_as_tuple(key),
                                     std::forward_as_tuple());
    }
    // std::any's move assignment does not throw: once the entry exists the
    // value always lands in it.
    m_next->second = std::move(value);
    m_last = &m_next->first;
    ++m_next;
}

bool MapWrapper::exists(const std::string& key) const {
    return m_map && m_map->count(key) > 0;
}

std::type_index MapWrapper::check_type(const std::string& key) const {
    if (m_map) {
        auto it = m_map->find(key);
        if (it != m_map->end()) {
            return std::type_index(it->second.type());
        }
    }
    return std::type_index(typeid(void));
}

std::string MapWrapper::get_as_string(const std::string& key) const {
    const std::any* value = nullptr;
    if (m_map) {
        auto it = m_map->find(key);
        if (it != m_map->end()) {
            value = &it->second;
        }
    }
    if (!value) {
        throw std::out_of_range("Key '" + key + "' not found.");
    }
    std::string text;
    if (!value_to_string(*value, text)) {
        throw std::runtime_error(UNSUPPORTED_TYPE_TEXT);
    }
    return text;
}

MapWrapper::KeyList MapWrapper::get_keys() const {
    KeyList keys;
    if (m_map) {
        for (const auto& [key, value] : *m_map) {
            keys.emplace_back(key, std::type_index(value.type()));
        }
    }
    return keys;
}

std::size_t MapWrapper::size() const noexcept { return m_map ? m_map->size() : 0; }

bool MapWrapper::empty() const noexcept { return !m_map || m_map->empty(); }

void MapWrapper::remove(const std::string& key) {
    if (!m_map || m_map->erase(key) == 0) {
        throw std::out_of_range("Key '" + key + "' not found.");
    }
}

void MapWrapper::clear() noexcept {
    if (m_map) {
        m_map->clear();
    }
}

void MapWrapper::swap(MapWrapper& other) noexcept { std::swap(m_map, other.m_map); }

void MapWrapper::merge(const MapWrapper& other) {
    if (this == &other || !other.m_map) {
        return;
    }
    for (const auto& [key, value] : *other.m_map) {
        store(key, std::any(value));
    }
}

void MapWrapper::merge(MapWrapper&& other) {
    if (this == &other || !other.m_map) {
        return;
    }
    if (!m_map || m_map->empty()) {
        std::swap(m_map, other.m_map);
        other.clear();
        return;
    }
    // Room for every entry of other, taken before anything moves (a shared
    // key leaves its block spare). Then one walk over both maps in key
    // order: a new key and its value move into an entry made just before the
    // place found, a shared key's value over this map's.
    m_map->get_allocator().arena()->reserve(other.m_map->size());
    auto place = m_map->begin();
    for (auto it = other.m_map->begin(); it != other.m_map->end();) {
        const auto next = std::next(it);
        int order = 1;
        while (place != m_map->end() && (order = place->first.compare(it->first)) < 0) {
            ++place;
        }
        if (place != m_map->end() && order == 0) {
            place->second = std::move(it->second);
            ++place;
        } else {
            auto node = other.m_map->extract(it);
            m_map->emplace_hint(place, std::move(node.key()), std::move(node.mapped()));
        }
        it = next;
    }
    other.m_map->clear();
}

MapWrapper::Schema MapWrapper::validate(const Schema& schema, bool remove_invalid) {
    Schema invalid;
    for (const auto& [key, type] : get_keys()) {
        auto it = schema.find(key);
        if (it == schema.end() || it->second != type) {
            invalid.emplace(key, type);
        }
    }
    if (remove_invalid) {
        for (const auto& entry : invalid) {
            m_map->erase(entry.first);
        }
    }
    return invalid;
}

std::basic_ostream<char>& MapWrapper::write_to_stream(std::basic_ostream<char>& stream) const {
    stream << "{";
    if (m_map) {
        std::size_t i = 0;
        const std::size_t last = m_map->size() - 1;
        for (const auto& [key, value] : *m_map) {
            std::string text;
            if (!value_to_string(value, text)) {
                throw std::runtime_error(UNSUPPORTED_TYPE_TEXT);
            }
            stream << " (" << key << "=" << text << ")" << (i < last ? "," : " ");
            ++i;
        }
    }
    stream << "}";
    return stream;
}

bool MapWrapper::operator==(const MapWrapper& other) const {
    if (size() != other.size()) {
        return false;
    }
    if (empty()) {
        return true;
    }
    for (const auto& [key, value] : *m_map) {
        auto it = other.m_map->find(key);
        if (it == other.m_map->end()) {
            return false;
        }
        if (value.type() != it->second.type()) {
            return false;
        }
        if (!values_equal(value, it->second)) {
            return false;
        }
    }
    return true;
}

}  // namespace kelp::data_wrappers::v2
