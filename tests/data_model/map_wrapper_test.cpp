#include "data_model/map_wrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

using kelp::data_wrappers::v2::MapWrapper;

namespace {

template <typename F>
std::string what_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

struct AsStringCase {
    const char* name;
    std::function<void(MapWrapper&)> store;
    std::string expected;
};

TEST(MapWrapperTest, GetAsStringWritesEachOfTheTwelveTypes) {
    const AsStringCase cases[] = {
        {"string", [](MapWrapper& m) { m.insert("k", std::string("abc")); }, "abc"},
        {"empty string", [](MapWrapper& m) { m.insert("k", std::string()); }, ""},
        {"bool true", [](MapWrapper& m) { m.insert<bool>("k", true); }, "1"},
        {"bool false", [](MapWrapper& m) { m.insert<bool>("k", false); }, "0"},
        {"signed char", [](MapWrapper& m) { m.insert<signed char>("k", -5); }, "-5"},
        {"unsigned char", [](MapWrapper& m) { m.insert<unsigned char>("k", 200); }, "200"},
        {"short", [](MapWrapper& m) { m.insert<short>("k", -32768); }, "-32768"},
        {"unsigned short", [](MapWrapper& m) { m.insert<unsigned short>("k", 65535); }, "65535"},
        {"int", [](MapWrapper& m) { m.insert<int>("k", -2147483647 - 1); }, "-2147483648"},
        {"unsigned int", [](MapWrapper& m) { m.insert<unsigned int>("k", 4294967295u); },
         "4294967295"},
        {"long long", [](MapWrapper& m) { m.insert<long long>("k", -7); }, "-7"},
        {"unsigned long long",
         [](MapWrapper& m) { m.insert<unsigned long long>("k", 18446744073709551615ull); },
         "18446744073709551615"},
        {"double", [](MapWrapper& m) { m.insert<double>("k", 0.1); }, "0.100000"},
        {"float", [](MapWrapper& m) { m.insert<float>("k", 2.5f); }, "2.500000"},
        {"tiny negative float", [](MapWrapper& m) { m.insert<float>("k", -0.0000004f); },
         "-0.000000"},
        {"large double", [](MapWrapper& m) { m.insert<double>("k", 1e20); },
         "100000000000000000000.000000"},
    };
    for (const auto& c : cases) {
        MapWrapper m;
        c.store(m);
        EXPECT_EQ(m.get_as_string("k"), c.expected) << c.name;
    }
}

TEST(MapWrapperTest, GetAsStringErrors) {
    MapWrapper m;
    EXPECT_THROW(m.get_as_string("k"), std::out_of_range);
    EXPECT_EQ(what_of([&] { m.get_as_string("k"); }), "Key 'k' not found.");
}

TEST(MapWrapperTest, StoringReplacesValueAndTypeInEitherOrder) {
    MapWrapper a;
    a.insert<int>("k", 1);
    a.emplace<float>("k", 2.5f);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(a.check_type("k"), std::type_index(typeid(float)));
    EXPECT_EQ(a.get_value<float>("k"), 2.5f);

    MapWrapper b;
    b.emplace<float>("k", 2.5f);
    b.insert<int>("k", 1);
    EXPECT_EQ(b.size(), 1u);
    EXPECT_EQ(b.check_type("k"), std::type_index(typeid(int)));
    EXPECT_EQ(b.get_value<int>("k"), 1);
}

TEST(MapWrapperTest, EmplaceMovesStringIn) {
    MapWrapper m;
    std::string text(100, 'x');
    m.emplace("k", std::move(text));
    EXPECT_EQ(m.get_value<std::string>("k"), std::string(100, 'x'));
}

TEST(MapWrapperTest, TypedAccessIsExact) {
    MapWrapper m;
    m.insert<unsigned int>("u", 1);
    m.insert<short>("s", 3);
    EXPECT_TRUE(m.exists("u"));
    EXPECT_EQ(what_of([&] { m.get_value<int>("u"); }), "Could not find key 'u' in map.");
    EXPECT_EQ(what_of([&] { m.get_value<int>("none"); }), "Could not find key 'none' in map.");
    EXPECT_THROW(m.get_value<int>("u"), std::out_of_range);

    int sentinel = 0;
    int* out = &sentinel;
    EXPECT_FALSE(m.extract<int>("absent", out));
    EXPECT_EQ(out, &sentinel);  // untouched for an absent key
    EXPECT_FALSE(m.extract<int>("s", out));
    EXPECT_EQ(out, nullptr);  // nulled for a value of another type

    short* s = nullptr;
    ASSERT_TRUE(m.extract<short>("s", s));
    *s = 9;  // writable in place
    EXPECT_EQ(m.get_value<short>("s"), 9);

    EXPECT_EQ(m.check_type("absent"), std::type_index(typeid(void)));
}

TEST(MapWrapperTest, ExtractedAddressSurvivesMoveAndSwap) {
    MapWrapper a;
    a.insert<int>("k", 5);
    int* p = nullptr;
    ASSERT_TRUE(a.extract<int>("k", p));
    MapWrapper b(std::move(a));
    MapWrapper c;
    c.swap(b);
    int* q = nullptr;
    ASSERT_TRUE(c.extract<int>("k", q));
    EXPECT_EQ(p, q);
}

TEST(MapWrapperTest, KeysAreWalkedInByteOrder) {
    MapWrapper m;
    m.insert<int>("a", 1);
    m.insert<int>("B", 2);
    m.insert(std::string(), std::string("empty key"));
    auto keys = m.get_keys();
    ASSERT_EQ(keys.size(), 3u);
    auto it = keys.begin();
    EXPECT_EQ(it->first, "");
    EXPECT_EQ(it->second, std::type_index(typeid(std::string)));
    EXPECT_EQ((++it)->first, "B");
    EXPECT_EQ((++it)->first, "a");
    EXPECT_EQ(m.get_value<std::string>(""), "empty key");
}

TEST(MapWrapperTest, RemoveAndClear) {
    MapWrapper m;
    m.insert<int>("a", 1);
    m.insert<int>("b", 2);
    m.remove("a");
    EXPECT_FALSE(m.exists("a"));
    EXPECT_EQ(what_of([&] { m.remove("a"); }), "Key 'a' not found.");
    EXPECT_THROW(m.remove("a"), std::out_of_range);
    m.clear();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.size(), 0u);
    m.insert<int>("c", 3);
    EXPECT_EQ(m.size(), 1u);
}

TEST(MapWrapperTest, CopiesAreDeepAndMovesLeaveAUsableEmptySource) {
    MapWrapper a;
    a.insert("s", std::string("text"));
    MapWrapper copy(a);
    copy.insert("s", std::string("changed"));
    EXPECT_EQ(a.get_value<std::string>("s"), "text");

    MapWrapper assigned;
    assigned.insert<int>("old", 1);
    assigned = a;
    EXPECT_FALSE(assigned.exists("old"));
    EXPECT_EQ(assigned.get_value<std::string>("s"), "text");
    assigned = assigned;  // self-assignment keeps content
    EXPECT_EQ(assigned.get_value<std::string>("s"), "text");

    MapWrapper moved(std::move(a));
    EXPECT_EQ(moved.get_value<std::string>("s"), "text");
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.size(), 0u);
    EXPECT_FALSE(a.exists("s"));
    EXPECT_TRUE(a.get_keys().empty());
    a.insert<int>("new", 1);
    EXPECT_EQ(a.get_value<int>("new"), 1);

    MapWrapper target;
    target.insert<int>("gone", 1);
    target = std::move(moved);
    EXPECT_FALSE(target.exists("gone"));
    EXPECT_TRUE(moved.empty());
    moved.insert<bool>("b", true);
    EXPECT_EQ(moved.get_as_string("b"), "1");

    // Copying or assigning from a moved-from wrapper gives an empty map.
    MapWrapper from_empty(MapWrapper{});
    MapWrapper empty_source;
    MapWrapper drained(std::move(empty_source));
    MapWrapper copy_of_drained(empty_source);
    EXPECT_TRUE(copy_of_drained.empty());
    target = empty_source;
    EXPECT_TRUE(target.empty());
}

template <typename T, typename = void>
struct can_insert : std::false_type {};
template <typename T>
struct can_insert<T, std::void_t<decltype(std::declval<MapWrapper&>().insert(
                         std::string(), std::declval<const T&>()))>> : std::true_type {};

template <typename T, typename = void>
struct can_emplace : std::false_type {};
template <typename T>
struct can_emplace<T, std::void_t<decltype(std::declval<MapWrapper&>().emplace(
                          std::string(), std::declval<T&&>()))>> : std::true_type {};

TEST(MapWrapperTest, OnlyTheTwelveTypesCanBeStored) {
    static_assert(can_insert<long long>::value && can_insert<unsigned long long>::value);
    static_assert(can_insert<signed char>::value && can_insert<std::string>::value);
    static_assert(can_emplace<float>::value && can_emplace<std::string>::value);
    // int64_t and uint64_t are long and unsigned long here: storing through
    // them would make the value unreachable for readers asking for long long.
    static_assert(!can_insert<long>::value && !can_insert<unsigned long>::value);
    static_assert(!can_emplace<long>::value && !can_emplace<unsigned long>::value);
    static_assert(!can_insert<char>::value && !can_insert<long double>::value);
    static_assert(!can_emplace<const char*>::value);
    // A string literal goes to the string overload.
    MapWrapper m;
    m.insert("k", "literal");
    EXPECT_EQ(m.check_type("k"), std::type_index(typeid(std::string)));
}

TEST(MapWrapperTest, MovesDoNotThrow) {
    static_assert(std::is_nothrow_move_constructible_v<MapWrapper>);
    static_assert(std::is_nothrow_move_assignable_v<MapWrapper>);
    static_assert(sizeof(MapWrapper) == sizeof(void*));
}

TEST(MapWrapperTest, MergeLetsTheOtherMapWin) {
    MapWrapper m;
    m.insert<int>("a", 1);
    m.insert<int>("b", 2);
    MapWrapper other;
    other.insert("b", std::string("x"));
    other.insert<double>("c", 3);
    m.merge(other);
    EXPECT_EQ(m.size(), 3u);
    EXPECT_EQ(m.get_value<int>("a"), 1);
    EXPECT_EQ(m.get_value<std::string>("b"), "x");
    EXPECT_EQ(m.get_value<double>("c"), 3.0);
    EXPECT_EQ(other.size(), 2u);
    m.merge(m);
    EXPECT_EQ(m.size(), 3u);
}

TEST(MapWrapperTest, MergeByMoveMovesTheEntriesOverAndLetsTheOtherMapWin) {
    MapWrapper m;
    m.insert<int>("a", 1);
    m.insert<int>("b", 2);
    int* kept = nullptr;
    ASSERT_TRUE(m.extract("a", kept));
    MapWrapper other;
    other.insert("b", std::string("x"));
    other.insert<double>("c", 3);
    m.merge(std::move(other));
    EXPECT_EQ(m.size(), 3u);
    EXPECT_EQ(m.get_value<int>("a"), 1);
    EXPECT_EQ(m.get_value<std::string>("b"), "x");
    EXPECT_EQ(m.get_value<double>("c"), 3.0);
    EXPECT_TRUE(other.empty());
    other.insert<int>("d", 4);
    EXPECT_EQ(other.size(), 1u) << "the emptied map is usable";
    // The entries this map held stay where they were.
    int* a = nullptr;
    ASSERT_TRUE(m.extract("a", a));
    EXPECT_EQ(a, kept);

    // Interleaved, leading, trailing and shared keys: the same map as a
    // merge by copy.
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> layouts = {
            {{"b", "d", "f"}, {"a", "c", "e", "g"}},
            {{"a", "b"}, {"c", "d"}},
            {{"c", "d"}, {"a", "b"}},
            {{"a", "c", "e"}, {"a", "b", "c", "d", "e", "f"}},
            {{"m"}, {"m"}},
            {{"alignment_genome", "duration", "read_id"}, {"duration", "duration_x", "mean_qscore", "a"}},
    };
    for (const auto& [own, others] : layouts) {
        MapWrapper target;
        for (const auto& key : own) {
            target.insert(key, std::string("own ") + key);
        }
        MapWrapper source;
        int n = 0;
        for (const auto& key : others) {
            source.insert<int>(key, ++n);
        }
        MapWrapper by_copy = target;
        by_copy.merge(source);
        target.merge(std::move(source));
        EXPECT_TRUE(target == by_copy) << own.size() << " keys and " << others.size() << " keys";
        std::vector<std::string> keys;
        for (const auto& entry : target.get_keys()) {
            keys.push_back(entry.first);
        }
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        EXPECT_TRUE(source.empty());
    }

    MapWrapper empty;
    empty.merge(std::move(m));
    EXPECT_EQ(empty.size(), 3u);
    EXPECT_TRUE(m.empty()) << "merge leaves the other map empty";
    empty.merge(std::move(empty));
    EXPECT_EQ(empty.size(), 3u);
}

// A run stored through AscendingStore leaves the map as one insert per key
// would: keys ascending, out of order, already held (replaced, whatever type
// they held, in place), before, between and after the map's own keys.
TEST(MapWrapperTest, AnAscendingStoreLeavesTheMapAsOneInsertPerKey) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> layouts = {
            {{}, {"a", "b", "c"}},
            {{"b", "d", "f"}, {"a", "c", "e", "g"}},
            {{"a", "b"}, {"c", "d"}},
            {{"c", "d"}, {"a", "b"}},
            {{"a", "c", "e"}, {"a", "b", "c", "d", "e", "f"}},
            {{"m"}, {"m"}},
            {{"b", "d"}, {"c", "a", "e", "b", "b", "f"}},  // out of order, and a key twice
            {{"daq_offset", "read_id", "start_time"},
             {"barcode_kit", "duration", "med_abs_dev", "median", "model_stride", "start_time", "strand_id"}},
    };
    for (const auto& [own, run] : layouts) {
        MapWrapper by_insert;
        for (const auto& key : own) {
            by_insert.insert(key, std::string("own ") + key);
        }
        MapWrapper stored = by_insert;
        const std::string* held_value = nullptr;
        std::string* value = nullptr;
        if (!own.empty() && stored.extract(own.front(), value)) {
            held_value = value;
        }
        int n = 0;
        {
            MapWrapper::AscendingStore store(stored, run.size());
            for (const auto& key : run) {
                ++n;
                by_insert.insert<int>(key, n);
                store.emplace(key, n);
            }
        }
        EXPECT_TRUE(stored == by_insert) << own.size() << " keys and a run of " << run.size();
        EXPECT_EQ(stored.size(), by_insert.size());
        std::vector<std::string> keys;
        for (const auto& entry : stored.get_keys()) {
            keys.push_back(entry.first);
        }
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        if (held_value != nullptr && std::find(run.begin(), run.end(), own.front()) == run.end()) {
            std::string* after = nullptr;
            ASSERT_TRUE(stored.extract(own.front(), after));
            EXPECT_EQ(after, held_value) << "an entry the run does not touch stays where it was";
        }
    }

    // Text moves in, as emplace moves it.
    MapWrapper m;
    std::string text(100, 'x');
    const char* data = text.data();
    {
        MapWrapper::AscendingStore store(m, 1);
        store.emplace("k", std::move(text));
    }
    std::string* stored_text = nullptr;
    ASSERT_TRUE(m.extract("k", stored_text));
    EXPECT_EQ(stored_text->data(), data);
}

// Each map keeps its entries in memory of its own: what it frees it uses
// again, and copies, moves and swaps leave every map with its own.
TEST(MapWrapperTest, EachMapReusesWhatItFreesAndCopiesAreIndependent) {
    const auto addresses = [](const MapWrapper& m, const std::vector<std::string>& keys) {
        std::set<const void*> found;
        for (const auto& key : keys) {
            int* value = nullptr;
            EXPECT_TRUE(m.extract(key, value)) << key;
            found.insert(value);
        }
        return found;
    };
    std::vector<std::string> first;
    std::vector<std::string> second;
    for (int i = 0; i < 100; ++i) {
        first.push_back("a key long enough to live on the heap " + std::to_string(i));
        second.push_back("another key, also on the heap " + std::to_string(i));
    }
    MapWrapper m;
    for (const auto& key : first) {
        m.insert<int>(key, 1);
    }
    const auto before = addresses(m, first);
    for (const auto& key : first) {
        m.remove(key);
    }
    for (const auto& key : second) {
        m.insert<int>(key, 2);
    }
    EXPECT_EQ(addresses(m, second), before) << "the entries freed are the ones used again";
    m.clear();
    for (const auto& key : first) {
        m.insert<int>(key, 3);
    }
    EXPECT_EQ(addresses(m, first), before);

    auto copy = std::make_unique<MapWrapper>(m);
    MapWrapper assigned;
    assigned.insert<int>("old", 0);
    assigned = *copy;
    copy->insert<int>(first[0], 4);
    EXPECT_EQ(m.get_value<int>(first[0]), 3);
    copy.reset();
    MapWrapper moved(std::move(assigned));
    MapWrapper swapped;
    swapped.swap(moved);
    m.clear();
    m = MapWrapper();
    EXPECT_EQ(swapped.size(), 100u);
    EXPECT_EQ(swapped.get_value<int>(first[99]), 3);
    EXPECT_FALSE(swapped.exists("old"));
    swapped.insert<int>("new", 5);
    MapWrapper merged;
    merged.insert<int>(first[0], 6);
    merged.insert<int>("zzz", 7);
    merged.merge(std::move(swapped));
    EXPECT_EQ(merged.size(), 102u);
    EXPECT_EQ(merged.get_value<int>(first[0]), 3);
    EXPECT_EQ(merged.get_value<int>("zzz"), 7);
}

TEST(MapWrapperTest, Validate) {
    MapWrapper m;
    m.insert<unsigned int>("a", 1);
    m.insert("b", std::string("x"));
    m.insert<int>("ok", 1);
    const MapWrapper::Schema schema{{"a", typeid(int)}, {"ok", typeid(int)}, {"z", typeid(int)}};
    auto invalid = m.validate(schema, false);
    EXPECT_EQ(invalid, (MapWrapper::Schema{{"a", typeid(unsigned int)}, {"b", typeid(std::string)}}));
    EXPECT_EQ(m.size(), 3u);

    invalid = m.validate(schema, true);
    EXPECT_EQ(invalid.size(), 2u);
    EXPECT_EQ(m.size(), 1u);
    EXPECT_TRUE(m.exists("ok"));
    EXPECT_FALSE(m.exists("z"));

    EXPECT_EQ(m.validate({}, true).size(), 1u);  // an empty schema admits nothing
    EXPECT_TRUE(m.empty());
}

TEST(MapWrapperTest, WriteToStream) {
    struct Case {
        std::function<void(MapWrapper&)> fill;
        std::string expected;
    };
    const Case cases[] = {
        {[](MapWrapper&) {}, "{}"},
        {[](MapWrapper& m) { m.insert<bool>("a", false); }, "{ (a=0) }"},
        {[](MapWrapper& m) {
             m.insert<int>("a", 1);
             m.insert("b", std::string("x"));
         },
         "{ (a=1), (b=x) }"},
        {[](MapWrapper& m) { m.insert("k(=,)", std::string("v,=)")); }, "{ (k(=,)=v,=)) }"},
    };
    for (const auto& c : cases) {
        MapWrapper m;
        c.fill(m);
        std::ostringstream out;
        EXPECT_EQ(&m.write_to_stream(out), &out);
        EXPECT_EQ(out.str(), c.expected);
    }
    MapWrapper cleared;
    cleared.insert<int>("a", 1);
    cleared.clear();
    std::ostringstream out;
    cleared.write_to_stream(out);
    EXPECT_EQ(out.str(), "{}");
}

TEST(MapWrapperTest, EqualityRules) {
    const float nan_f = std::numeric_limits<float>::quiet_NaN();
    const double nan_d = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::function<void(MapWrapper&)> left;
        std::function<void(MapWrapper&)> right;
        bool equal;
    };
    const Case cases[] = {
        {"both empty", [](MapWrapper&) {}, [](MapWrapper&) {}, true},
        {"float within tolerance", [](MapWrapper& m) { m.insert<float>("k", 0.0f); },
         [](MapWrapper& m) { m.insert<float>("k", 0.0000005f); }, true},
        {"float at tolerance", [](MapWrapper& m) { m.insert<float>("k", 0.0f); },
         [](MapWrapper& m) { m.insert<float>("k", 0.000001f); }, false},
        {"double at tolerance", [](MapWrapper& m) { m.insert<double>("k", 0.0); },
         [](MapWrapper& m) { m.insert<double>("k", 0.000001); }, false},
        {"double within tolerance", [](MapWrapper& m) { m.insert<double>("k", 1.0); },
         [](MapWrapper& m) { m.insert<double>("k", 1.0000005); }, true},
        {"float NaN", [&](MapWrapper& m) { m.insert<float>("k", nan_f); },
         [&](MapWrapper& m) { m.insert<float>("k", nan_f); }, false},
        {"double NaN", [&](MapWrapper& m) { m.insert<double>("k", nan_d); },
         [&](MapWrapper& m) { m.insert<double>("k", nan_d); }, false},
        {"int vs unsigned", [](MapWrapper& m) { m.insert<int>("k", 1); },
         [](MapWrapper& m) { m.insert<unsigned int>("k", 1); }, false},
        {"same strings", [](MapWrapper& m) { m.insert("k", std::string("a")); },
         [](MapWrapper& m) { m.insert("k", std::string("a")); }, true},
        {"different strings", [](MapWrapper& m) { m.insert("k", std::string("a")); },
         [](MapWrapper& m) { m.insert("k", std::string("b")); }, false},
        {"different keys", [](MapWrapper& m) { m.insert<int>("a", 1); },
         [](MapWrapper& m) { m.insert<int>("b", 1); }, false},
        {"subset", [](MapWrapper& m) { m.insert<int>("a", 1); },
         [](MapWrapper& m) {
             m.insert<int>("a", 1);
             m.insert<int>("b", 1);
         },
         false},
        {"all integer types",
         [](MapWrapper& m) {
             m.insert<bool>("b", true);
             m.insert<signed char>("c", -1);
             m.insert<unsigned char>("uc", 1);
             m.insert<short>("s", -1);
             m.insert<unsigned short>("us", 1);
             m.insert<long long>("ll", -1);
             m.insert<unsigned long long>("ull", 1);
         },
         [](MapWrapper& m) {
             m.insert<bool>("b", true);
             m.insert<signed char>("c", -1);
             m.insert<unsigned char>("uc", 1);
             m.insert<short>("s", -1);
             m.insert<unsigned short>("us", 1);
             m.insert<long long>("ll", -1);
             m.insert<unsigned long long>("ull", 1);
         },
         true},
        {"bool differs", [](MapWrapper& m) { m.insert<bool>("b", true); },
         [](MapWrapper& m) { m.insert<bool>("b", false); }, false},
    };
    for (const auto& c : cases) {
        MapWrapper left, right;
        c.left(left);
        c.right(right);
        EXPECT_EQ(left == right, c.equal) << c.name;
        EXPECT_EQ(right == left, c.equal) << c.name;
        EXPECT_EQ(left != right, !c.equal) << c.name;
    }
    MapWrapper with_nan;
    with_nan.insert<float>("k", nan_f);
    EXPECT_FALSE(with_nan == MapWrapper(with_nan));
}

}  // namespace

namespace {

// A moved-from wrapper holds no map until its first write; every operation
// must treat it exactly as an empty map, on either side of a binary one.
TEST(MapWrapperTest, AMovedFromWrapperBehavesAsAnEmptyOne) {
    const auto drained = [] {
        MapWrapper source;
        source.insert<int>("k", 1);
        MapWrapper taker(std::move(source));
        return source;  // moved-from, then moved out of this lambda
    };
    const auto filled = [] {
        MapWrapper m;
        m.insert<int>("k", 1);
        return m;
    };
    const auto cleared = [] {
        MapWrapper m;
        m.insert<int>("k", 1);
        m.clear();
        return m;
    };

    MapWrapper m = drained();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.size(), 0u);
    EXPECT_FALSE(m.exists("k"));
    EXPECT_EQ(m.check_type("k"), std::type_index(typeid(void)));
    int sentinel = 0;
    int* out = &sentinel;
    EXPECT_FALSE(m.extract<int>("k", out));
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(what_of([&] { m.get_value<int>("k"); }), "Could not find key 'k' in map.");
    EXPECT_EQ(what_of([&] { m.get_as_string("k"); }), "Key 'k' not found.");
    EXPECT_EQ(what_of([&] { m.remove("k"); }), "Key 'k' not found.");
    EXPECT_TRUE(m.get_keys().empty());
    EXPECT_TRUE(m.validate({{"k", typeid(int)}}, true).empty());
    m.clear();
    std::ostringstream text;
    m.write_to_stream(text);
    EXPECT_EQ(text.str(), "{}");

    struct EqualityCase {
        const char* name;
        MapWrapper left;
        MapWrapper right;
        bool equal;
    };
    EqualityCase cases[] = {
        {"drained vs drained", drained(), drained(), true},
        {"drained vs cleared", drained(), cleared(), true},
        {"drained vs new", drained(), MapWrapper(), true},
        {"drained vs filled", drained(), filled(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.left == c.right, c.equal) << c.name;
        EXPECT_EQ(c.right == c.left, c.equal) << c.name;
    }

    // Merging from a drained wrapper changes nothing; into one, copies all.
    MapWrapper target = filled();
    target.merge(drained());
    EXPECT_TRUE(target == filled());
    MapWrapper into = drained();
    into.merge(filled());
    EXPECT_TRUE(into == filled());

    // Swapping hands the absent map over like any other.
    MapWrapper a = drained();
    MapWrapper b = filled();
    a.swap(b);
    EXPECT_EQ(a.get_value<int>("k"), 1);
    EXPECT_TRUE(b.empty());
    b.insert<int>("n", 2);
    EXPECT_EQ(b.get_as_string("n"), "2");
}

}  // namespace
