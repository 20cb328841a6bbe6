#include "apps/server_query.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/api/api_support.h"

namespace {

using api_support::RunningServer;
using apps::Result;
using apps::server_query::BarcodeKitDefinition;
namespace sq = apps::server_query;

const std::string NOBODY = "tcp://127.0.0.1:9";

TEST(ServerQueryTest, KitsAreAppendedBehindThoseAlreadyThere) {
    RunningServer server;
    std::vector<BarcodeKitDefinition> kits = {BarcodeKitDefinition("A", 1, 2, false, false, "a%02i"),
                                              BarcodeKitDefinition("B", 1, 2, false, false, "b%02i")};
    ASSERT_EQ(sq::get_barcode_kits(kits, server.address(), api_support::QUERY_TIMEOUT_MS), Result::success);
    ASSERT_EQ(kits.size(), 4u);
    EXPECT_EQ(kits[0].kit_name(), "A");
    EXPECT_EQ(kits[1].kit_name(), "B");
    EXPECT_EQ(kits[2].kit_name(), "KIT-BC24");
    EXPECT_EQ(kits[2].first_index(), 1);
    EXPECT_EQ(kits[2].last_index(), 24);
    EXPECT_TRUE(kits[2].is_both_ends());
    EXPECT_EQ(kits[2].generate_barcode_name(7, 0), "barcode07");
    EXPECT_EQ(kits[3].kit_name(), "KIT-RB96");
    EXPECT_FALSE(kits[3].is_both_ends());
}

TEST(ServerQueryTest, StatisticsOverwriteCountersAndAppendClients) {
    RunningServer server;
    apps::Strandlink client(server.address(), api_support::HAC, "", false);
    ASSERT_EQ(client.set_params(api_support::quick_params()), Result::success);
    ASSERT_EQ(client.connect(), Result::success);
    sq::ServerStatistics statistics;
    statistics.lifetime_reads_in = 99;
    ASSERT_EQ(sq::get_server_statistics(statistics, server.address(), api_support::QUERY_TIMEOUT_MS), Result::success);
    EXPECT_EQ(statistics.lifetime_reads_in, 0u);
    const std::size_t first = statistics.clients.size();
    EXPECT_EQ(first, 1u);
    ASSERT_EQ(sq::get_server_statistics(statistics, server.address(), api_support::QUERY_TIMEOUT_MS), Result::success);
    EXPECT_EQ(statistics.clients.size(), 2 * first);
}

TEST(ServerQueryTest, InformationIsTheServerInformationMemberAsCompactJson) {
    RunningServer server;
    std::string information;
    ASSERT_EQ(sq::get_server_information(information, server.address(), api_support::QUERY_TIMEOUT_MS), Result::success);
    EXPECT_EQ(information.rfind("{\"tessel_version\":\"7.4.0+test\"", 0), 0u) << information;
    EXPECT_EQ(information.find('\n'), std::string::npos);

    std::string state;
    ASSERT_EQ(sq::get_server_internal_state(state, server.address(), api_support::QUERY_TIMEOUT_MS), Result::success);
    EXPECT_NE(state.find("\"ServerInformation\""), std::string::npos);
}

TEST(ServerQueryTest, FailuresAreCodesAndLeaveTheOutputAlone) {
    struct Case {
        std::string rule;  // "" for no server at all
        std::function<Result(const std::string&, std::uint32_t, std::string&)> query;
        Result expected;
    };
    const auto state = [](const std::string& address, std::uint32_t timeout_ms, std::string& out) {
        return sq::get_server_internal_state(out, address, timeout_ms);
    };
    const auto information = [](const std::string& address, std::uint32_t timeout_ms, std::string& out) {
        return sq::get_server_information(out, address, timeout_ms);
    };
    const auto kits = [](const std::string& address, std::uint32_t timeout_ms, std::string& out) {
        std::vector<BarcodeKitDefinition> found;
        const Result result = sq::get_barcode_kits(found, address, timeout_ms);
        out = found.empty() ? out : "changed";
        return result;
    };
    const auto statistics = [](const std::string& address, std::uint32_t timeout_ms, std::string& out) {
        sq::ServerStatistics found;
        found.period_reads_in = 5;
        const Result result = sq::get_server_statistics(found, address, timeout_ms);
        out = found.period_reads_in == 5 ? out : "changed";
        return result;
    };
    const std::vector<Case> cases = {
            {"", state, Result::timed_out},
            {"", information, Result::timed_out},
            {"", kits, Result::timed_out},
            {"", statistics, Result::timed_out},
            {"QUERY=CONNECTED", state, Result::invalid_response},
            {"QUERY=RESPONSE:{\"Other\":1}", information, Result::failed},
            {"QUERY=RESPONSE:not json", information, Result::failed},
            {"QUERY=RESPONSE:[1,2]", information, Result::failed},
            {"QUERY=RESPONSE:{\"ServerInformation\":1} x", information, Result::failed},
            {"GET_BARCODE_KITS=BAD_REQUEST", kits, Result::bad_request},
            {"GET_STATISTICS=raw:xyz", statistics, Result::bad_reply},
            {"QUERY=silence", state, Result::timed_out},
            // Nested far deeper than any server state: refused, the stack
            // intact.
            {"QUERY=RESPONSE:{\"ServerInformation\":" + std::string(300000, '[') + std::string(300000, ']') + "}",
             information, Result::failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule.empty() ? "no server" : c.rule.substr(0, 60));
        std::string out = "untouched";
        if (c.rule.empty()) {
            // Nobody listens: the time-out races no reply.
            EXPECT_EQ(c.query(NOBODY, 300, out), c.expected);
        } else {
            RunningServer server;
            server.server.apply_rule(c.rule);
            // A reply is awaited generously; a silence is scripted, so a short
            // time-out ends it whatever the machine's speed.
            const bool silent = c.rule.find("=silence") != std::string::npos;
            EXPECT_EQ(c.query(server.address(), silent ? 300 : api_support::QUERY_TIMEOUT_MS, out), c.expected);
        }
        EXPECT_EQ(out, "untouched");
    }
}

TEST(BarcodeKitDefinitionTest, NamesFromThePatternWithinTheRange) {
    const BarcodeKitDefinition kit("KIT-RB96", 1, 96, false, false, "barcode%02i");
    EXPECT_EQ(kit.generate_barcode_name(1, 0), "barcode01");
    EXPECT_EQ(kit.generate_barcode_name(96, 77), "barcode96");
    EXPECT_EQ(kit.generate_barcode_name(12, 0), "barcode12");
    for (const int outside : {0, 97}) {
        try {
            kit.generate_barcode_name(outside, 0);
            ADD_FAILURE() << outside;
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()),
                      "get_outer_barcode index " + std::to_string(outside) + " out of range [1 .. 96]");
        }
    }
    const BarcodeKitDefinition a_variant("KIT-BC24", 1, 24, true, true, "barcode%02i");
    EXPECT_EQ(a_variant.generate_barcode_name(12, 0), "barcode12a");
    EXPECT_EQ(a_variant.generate_barcode_name(11, 0), "barcode11");

    for (const auto& no_range : {BarcodeKitDefinition("ONE", -1, 5, false, false, "single"),
                                 BarcodeKitDefinition("ONE", 5, 4, false, false, "single")}) {
        EXPECT_EQ(no_range.generate_barcode_name(-100, 0), "single");
        EXPECT_EQ(no_range.generate_barcode_name(3, 9), "single");
    }
    const BarcodeKitDefinition bad("BAD", 1, 2, false, false, "barcode%s");
    EXPECT_THROW(bad.generate_barcode_name(1, 0), std::runtime_error);

    const BarcodeKitDefinition copy = kit;
    EXPECT_EQ(copy.kit_name(), "KIT-RB96");
    EXPECT_EQ(copy.generate_barcode_name(5, 0), kit.generate_barcode_name(5, 0));
}

}  // namespace
