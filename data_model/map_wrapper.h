#pragma once

#include <any>
#include <cstddef>
#include <list>
#include <functional>
#include <map>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>

namespace kelp::data_wrappers::v2 {

namespace detail {

// The twelve value types a MapWrapper may hold. The 64-bit types are
// long long and unsigned long long: on Linux int64_t/uint64_t are long and
// unsigned long, which are deliberately NOT accepted, because a value stored
// as long would never be found by a reader asking for long long.
template <typename T>
struct is_map_value
    : std::bool_constant<std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                         std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char> ||
                         std::is_same_v<T, short> || std::is_same_v<T, unsigned short> ||
                         std::is_same_v<T, int> || std::is_same_v<T, unsigned int> ||
                         std::is_same_v<T, long long> ||
                         std::is_same_v<T, unsigned long long> || std::is_same_v<T, float> ||
                         std::is_same_v<T, double>> {};

template <typename T>
inline constexpr bool is_map_value_v = is_map_value<T>::value;

// The nodes of one map: carved from a few chunks the map owns, and kept on a
// free list when an entry goes. A map of a read's few dozen entries costs a
// few allocations instead of one per entry, and its nodes lie together,
// which matters most when one thread builds a map and another frees it.
// Serves blocks of one size (the first asked for); larger requests go to
// operator new. What a map frees stays with it until it is destroyed, so it
// holds at most what it held at its largest. Not thread-safe, as its map is
// not.
class NodeArena {
public:
    NodeArena() noexcept = default;
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;
    ~NodeArena();

    void* allocate(std::size_t bytes);
    void deallocate(void* block, std::size_t bytes) noexcept;
    // Makes sure that the next `blocks` allocations of the size served need
    // no memory from the system (and so cannot fail). Throws std::bad_alloc.
    void reserve(std::size_t blocks);

private:
    struct Chunk {
        Chunk* next;
    };
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr std::size_t FIRST_CHUNK_BLOCKS = 8;
    static constexpr std::size_t MAX_CHUNK_BLOCKS = 128;

    void add_chunk(std::size_t blocks);

    Chunk* m_chunks = nullptr;
    FreeBlock* m_free = nullptr;
    std::size_t m_free_blocks = 0;
    char* m_next = nullptr;
    char* m_end = nullptr;
    std::size_t m_block = 0;  // the size served; 0 until the first request
    std::size_t m_chunk_blocks = FIRST_CHUNK_BLOCKS;
};

// An allocator drawing single nodes from a NodeArena (arrays, and nodes of
// another size, from operator new). Allocators of one arena are equal.
template <typename T>
class ArenaAllocator {
public:
    using value_type = T;

    explicit ArenaAllocator(NodeArena* arena) noexcept : m_arena(arena) {}
    template <typename U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : m_arena(other.arena()) {}

    T* allocate(std::size_t n) {
        if (n != 1) {
            return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(alignof(T))));
        }
        return static_cast<T*>(m_arena->allocate(sizeof(T)));
    }
    void deallocate(T* block, std::size_t n) noexcept {
        if (n != 1) {
            ::operator delete(block, std::align_val_t(alignof(T)));
            return;
        }
        m_arena->deallocate(block, sizeof(T));
    }

    NodeArena* arena() const noexcept { return m_arena; }

    template <typename U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return m_arena == other.arena();
    }
    template <typename U>
    bool operator!=(const ArenaAllocator<U>& other) const noexcept {
        return m_arena != other.arena();
    }

private:
    NodeArena* m_arena;
};

}  // namespace detail

// An ordered map from text keys to values of exactly twelve types (see
// detail::is_map_value). Storing a key that exists replaces its value, whatever
// type it held. Every walk over the entries goes in ascending key order.
//
// The object is one pointer wide and is exchanged between the shared library
// and the Python module, which both compile this code: keep the layout.
// A null pointer stands for an empty map: moves hand the map over without
// allocating (so they cannot fail), and the map is allocated on first write.
//
// Not thread-safe: one writer at a time, and writing through a pointer from
// extract() or a reference from Metadata::get() is a write.
class MapWrapper {
public:
    using Map = std::map<std::string, std::any, std::less<std::string>,
                         detail::ArenaAllocator<std::pair<const std::string, std::any>>>;
    using Schema = std::map<std::string, std::type_index>;
    using KeyList = std::list<std::pair<std::string, std::type_index>>;

    MapWrapper() noexcept = default;
    MapWrapper(const MapWrapper& other);
    MapWrapper(MapWrapper&& other) noexcept;
    // Builds the copy first: on failure the target keeps its content.
    MapWrapper& operator=(const MapWrapper& other);
    MapWrapper& operator=(MapWrapper&& other) noexcept;
    ~MapWrapper();

    // Stores a copy of value under key, replacing any previous value.
    template <typename T>
    std::enable_if_t<detail::is_map_value_v<T>> insert(const std::string& key, const T& value) {
        store(key, std::any(value));
    }
    void insert(const std::string& key, const std::string& value) { store(key, std::any(value)); }

    // Moves value in under key, replacing any previous value.
    template <typename T>
    std::enable_if_t<detail::is_map_value_v<std::decay_t<T>>> emplace(const std::string& key,
                                                                       T&& value) {
        store(key, std::any(std::forward<T>(value)));
    }

    // True when an entry for key exists, whatever it holds.
    bool exists(const std::string& key) const;
    // Type of the stored value; typeid(void) when key is absent or has no value.
    std::type_index check_type(const std::string& key) const;

    // Key absent: false, out unchanged. Otherwise out is the address of the
    // stored value when it is a T (writable, stays valid until the entry is
    // replaced or removed or the map cleared/assigned/destroyed), else null;
    // returns out != nullptr. Never throws.
    template <typename T>
    bool extract(const std::string& key, T*& out) const noexcept {
        static_assert(detail::is_map_value_v<T>, "not one of the twelve metadata value types");
        if (!m_map) {
            return false;
        }
        auto it = m_map->find(key);
        if (it == m_map->end()) {
            return false;
        }
        out = std::any_cast<T>(&it->second);
        return out != nullptr;
    }

    // A copy of the value under key. Throws std::out_of_range when the key is
    // absent or holds another type.
    template <typename T>
    T get_value(const std::string& key) const {
        T* value = nullptr;
        if (!extract(key, value)) {
            throw std::out_of_range("Could not find key '" + key + "' in map.");
        }
        return *value;
    }

    // The value as text. Throws std::out_of_range when the key is absent and
    // std::runtime_error for an entry of no supported type.
    std::string get_as_string(const std::string& key) const;

    // (key, type) of every entry in key order.
    KeyList get_keys() const;
    // Calls visit(key, value) for every entry in key order, with the key as
    // const std::string& and the value as const std::any&: one walk that a
    // reader wanting many keys can use in place of one look-up per key.
    // visit must not change this map.
    template <typename Visit>
    void for_each_entry(Visit&& visit) const {
        if (m_map) {
            for (const auto& entry : *m_map) {
                visit(entry.first, entry.second);
            }
        }
    }
    std::size_t size() const noexcept;
    bool empty() const noexcept;

    // Throws std::out_of_range when the key is absent.
    void remove(const std::string& key);
    void clear() noexcept;
    void swap(MapWrapper& other) noexcept;
    // Copies every entry of other into this map; other's values win.
    void merge(const MapWrapper& other);
    // Moves every entry of other into this map, other's values winning, and
    // leaves other empty. Keys and values are moved, not copied; the only
    // memory asked for is room for the new entries, taken before anything
    // moves: throws std::bad_alloc, changing nothing.
    void merge(MapWrapper&& other);
    // Stores a run of entries whose keys ascend, each key looked for from
    // where the one before it went: n keys into a map of m entries take about
    // n + m key comparisons instead of n log(n + m) each. A key that does not
    // ascend is still stored in its place, found from the start. Storing
    // replaces a value as insert and emplace do. The map must not change
    // otherwise while one lives.
    class AscendingStore {
    public:
        // Makes room for `new_entries` entries first (std::bad_alloc,
        // changing nothing), so that the run asks memory for nothing but
        // its keys and values.
        AscendingStore(MapWrapper& map, std::size_t new_entries);
        AscendingStore(const AscendingStore&) = delete;
        AscendingStore& operator=(const AscendingStore&) = delete;

        template <typename T>
        std::enable_if_t<detail::is_map_value_v<std::decay_t<T>>> emplace(const std::string& key, T&& value) {
            store(key, std::any(std::forward<T>(value)));
        }

    private:
        void store(const std::string& key, std::any&& value);

        Map* m_map;
        Map::iterator m_next;  // the first entry after the last one stored
        const std::string* m_last = nullptr;
    };

    // Entries that do not fit schema (key unknown, or of another type), mapped
    // to their actual type; erased from this map when remove_invalid is true.
    Schema validate(const Schema& schema, bool remove_invalid);

    // Writes "{ (k1=v1), (k2=v2) }" ("{}" when empty). On failure the text of
    // the entries before the failing one stays written.
    std::basic_ostream<char>& write_to_stream(std::basic_ostream<char>& stream) const;

    // Same keys with equal values; float and double compare within 1e-6 and
    // NaN equals nothing.
    bool operator==(const MapWrapper& other) const;
    bool operator!=(const MapWrapper& other) const { return !(*this == other); }

private:
    // Inserts the prepared value; the value is built before the entry is
    // created so a failed copy leaves no entry without a value behind.
    void store(const std::string& key, std::any&& value);
    Map& map();

    Map* m_map = nullptr;
};

}  // namespace kelp::data_wrappers::v2
