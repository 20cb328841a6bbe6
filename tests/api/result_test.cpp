#include "apps/result.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/src/result_internal.h"
#include "apps/read.h"
#include "apps/strandlink.h"
#include "ipc_tools/request_broker.h"

namespace {

using apps::ConnectionStatus;
using apps::PassReadResult;
using apps::Result;

template <typename Enum>
std::string streamed(Enum value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

TEST(ResultTextTest, EveryValueHasItsName) {
    const std::vector<std::string> names = {
            "success", "no_connection", "already_connected", "not_ready", "timed_out", "invalid_response",
            "basecall_config_unavailable", "barcode_kit_unavailable", "align_index_unavailable",
            "bed_file_unavailable", "file_load_timeout", "failed", "bad_request", "bad_reply",
            "invalid_aligner_options"};
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        EXPECT_EQ(apps::to_string(static_cast<Result>(i)), names[i]);
        EXPECT_EQ(streamed(static_cast<Result>(i)), names[i]);
    }
    const std::vector<std::string> statuses = {"disconnected", "preparing_connection", "loading_config",
                                               "loading_alignment_index", "loading_bed_file", "connecting",
                                               "connected", "error"};
    for (int i = 0; i < static_cast<int>(statuses.size()); ++i) {
        EXPECT_EQ(apps::to_string(static_cast<ConnectionStatus>(i)), statuses[i]);
        EXPECT_EQ(streamed(static_cast<ConnectionStatus>(i)), statuses[i]);
    }
    const std::vector<std::string> pass = {"success", "not_accepting_reads", "queue_full", "bad_read"};
    for (int i = 0; i < static_cast<int>(pass.size()); ++i) {
        EXPECT_EQ(apps::to_string(static_cast<PassReadResult>(i)), pass[i]);
        EXPECT_EQ(streamed(static_cast<PassReadResult>(i)), pass[i]);
    }
}

TEST(ResultTextTest, ValuesOutsideTheEnumerationsThrowTheirTexts) {
    struct Case {
        std::function<void()> convert;
        std::string text;
    };
    const std::vector<Case> cases = {
            {[] { apps::to_string(static_cast<Result>(15)); }, "unrecognised Result value"},
            {[] { apps::to_string(static_cast<Result>(-1)); }, "unrecognised Result value"},
            {[] { streamed(static_cast<Result>(15)); }, "unrecognised Result value"},
            {[] { apps::to_string(static_cast<ConnectionStatus>(8)); }, "unrecognised connection status"},
            {[] { streamed(static_cast<ConnectionStatus>(-1)); }, "unrecognised connection status"},
            {[] { apps::to_string(static_cast<PassReadResult>(4)); }, "unrecognised PassReadResult"},
            {[] { streamed(static_cast<PassReadResult>(4)); }, "unrecognised PassReadResult"},
            {[] { apps::to_result(static_cast<strandlink::ConnectionError>(12)); },
             "unrecognised ConnectionError value"},
            {[] { apps::to_result(static_cast<strandlink::ConnectionError>(-1)); },
             "unrecognised ConnectionError value"},
            {[] { apps::to_connection_status(static_cast<strandlink::ClientStatus>(8)); },
             "unrecognised strandlink::ClientStatus value"},
    };
    for (const auto& c : cases) {
        try {
            c.convert();
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
}

TEST(ResultTextTest, PrioritiesOutsideTheEnumerationHaveOneText) {
    using P = apps::Read::Priority;
    EXPECT_EQ(apps::to_string(P::HIGH_PRIORITY), "HIGH_PRIORITY");
    EXPECT_EQ(apps::to_string(P::MEDIUM_PRIORITY), "MEDIUM_PRIORITY");
    EXPECT_EQ(apps::to_string(P::LOW_PRIORITY), "LOW_PRIORITY");
    EXPECT_EQ(apps::to_string(P::INVALID_PRIORITY), "invalid_priority_value");
    EXPECT_EQ(apps::to_string(static_cast<P>(3)), "invalid_priority_value");
}

TEST(ConnectionErrorResultTest, EachErrorMapsToTheResultOfItsName) {
    using E = strandlink::ConnectionError;
    const std::vector<std::pair<E, Result>> table = {
            {E::no_error, Result::success},
            {E::bad_request, Result::bad_request},
            {E::bad_reply, Result::bad_reply},
            {E::timed_out, Result::timed_out},
            {E::invalid_response, Result::invalid_response},
            {E::basecall_config_unavailable, Result::basecall_config_unavailable},
            {E::barcode_kit_unavailable, Result::barcode_kit_unavailable},
            {E::align_index_unavailable, Result::align_index_unavailable},
            {E::bed_file_unavailable, Result::bed_file_unavailable},
            {E::invalid_aligner_options, Result::invalid_aligner_options},
            {E::file_load_timeout, Result::file_load_timeout},
            {E::failed, Result::failed},
    };
    for (const auto& [error, result] : table) {
        EXPECT_EQ(apps::to_result(error), result) << strandlink::to_string(error);
        if (error != E::no_error) {
            EXPECT_EQ(apps::to_string(apps::to_result(error)), strandlink::to_string(error));
        }
    }
    EXPECT_EQ(static_cast<int>(apps::to_result(E::timed_out)), 4);
    EXPECT_EQ(static_cast<int>(apps::to_result(E::invalid_aligner_options)), 14);
}

TEST(GetResultTest, EachExceptionBecomesItsCodeAndHandsOnItsText) {
    struct Case {
        std::function<Result()> operation;
        Result expected;
    };
    const std::vector<Case> cases = {
            {[]() -> Result { throw ipc_tools::TimeoutError("x"); }, Result::timed_out},
            {[]() -> Result { throw ipc_tools::BadRequest("x"); }, Result::bad_request},
            {[]() -> Result { throw ipc_tools::BadReply("x"); }, Result::bad_reply},
            {[]() -> Result { throw ipc_tools::InvalidResponse("x"); }, Result::invalid_response},
            {[]() -> Result { throw std::runtime_error("x"); }, Result::failed},
            {[]() -> Result { throw std::out_of_range("x"); }, Result::failed},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        EXPECT_EQ(apps::get_result(c.operation, [&](std::string text) { texts.push_back(text); }), c.expected);
        EXPECT_EQ(texts, std::vector<std::string>{"x"});
    }
    int calls = 0;
    EXPECT_EQ(apps::get_result([] { return Result::bed_file_unavailable; }, [&](std::string) { ++calls; }),
              Result::bed_file_unavailable);
    EXPECT_EQ(calls, 0);
}

TEST(GetResultTest, EmptyErrorFunctionThrowsOnlyWhenCalled) {
    const std::function<void(std::string)> none;
    EXPECT_THROW(apps::get_result([]() -> Result { throw std::runtime_error("x"); }, none), std::bad_function_call);
    EXPECT_EQ(apps::get_result([] { return Result::success; }, none), Result::success);
}

TEST(VersionTest, VersionsOfTheInterfaceProtocolAndBuild) {
    const apps::VersionTag protocol = apps::Strandlink::get_protocol_version();
    EXPECT_EQ(protocol.text, "21.0.0");
    const apps::VersionTag api = apps::Strandlink::get_api_version();
    EXPECT_EQ(api.major, 9);
    EXPECT_EQ(api.minor, 1);
    EXPECT_EQ(api.patch, 0);
    EXPECT_EQ(apps::Strandlink::get_data_wrappers_version().text, "2.0.0");
    const apps::VersionTag software = apps::Strandlink::get_software_version();
    const std::string numbers = std::to_string(software.major) + "." + std::to_string(software.minor) + "." +
                                std::to_string(software.patch);
    EXPECT_EQ(software.text.rfind(numbers, 0), 0u) << software.text;
    EXPECT_EQ(software.text, apps::application_version_string(true));
    EXPECT_EQ(apps::VersionTag(-1, 2, 3).text, "-1.2.3");
}

}  // namespace
