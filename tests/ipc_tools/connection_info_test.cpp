#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using ipc_tools::ConnectedInfo;
using ipc_tools::ConnectionInfo;

const std::string PARSE_ERROR = "Failed to parse barcoding options in connection string: ";

TEST(ConnectionInfoTest, WritesRegisteredOptionsInRegistrationOrder) {
    ConnectionInfo info;
    info.config = "c";
    info.client_name = "n";
    info.connection_timeout_ms = 500;
    info.options.insert("move_enabled", true);
    info.options.insert("barcode_kits", std::string("k"));
    info.options.insert("not_an_option", std::string("ignored"));
    info.barcode_kits = "not written: only the option of that name is";
    info.priority = 0;
    EXPECT_EQ(info.build_connection_string(), "c:>timeout_interval=500>client_name=n>barcode_kits=k>move_enabled=1");

    ConnectionInfo bare;
    bare.config = "c";
    EXPECT_EQ(bare.build_connection_string(), "c:>timeout_interval=0>client_name=");
}

TEST(ConnectionInfoTest, RefusesValuesThatWouldInjectItems) {
    struct Case {
        const char* name;
        void (*edit)(ConnectionInfo&);
    };
    const Case cases[] = {
            {"client name", [](ConnectionInfo& i) { i.client_name = "me>align_ref=/x"; }},
            {"barcode kits", [](ConnectionInfo& i) { i.options.insert("barcode_kits", std::string("A>B")); }},
            {"aligner options",
             [](ConnectionInfo& i) { i.options.insert("minimap_opt_string", std::string("-k 5 >out")); }},
            {"BED path", [](ConnectionInfo& i) { i.options.insert("bed_file", std::string("/tmp/a>b.bed")); }},
            {"configuration", [](ConnectionInfo& i) { i.config = "cfg>x"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionInfo info;
        info.config = "cfg";
        c.edit(info);
        EXPECT_THROW(info.build_connection_string(), std::runtime_error);
    }
}

TEST(ConnectionInfoTest, PathsBecomeCanonical) {
    const std::string relative = "connection_info_test_reference.fa";
    { std::ofstream(relative) << ">r\nACGT\n"; }
    ConnectionInfo info;
    info.config = "c";
    info.align_ref = relative;
    info.bed_file = "/not/checked/when/absolute.bed";
    info.build_connection_string();
    EXPECT_EQ(info.align_ref, std::filesystem::canonical(relative).string());
    EXPECT_EQ(info.bed_file, "/not/checked/when/absolute.bed");
    std::remove(relative.c_str());

    ConnectionInfo missing;
    missing.bed_file = "no_such_file_for_connection_info_test.bed";
    try {
        missing.build_connection_string();
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Error while converting relative path "
                                                  "no_such_file_for_connection_info_test.bed",
                                                  0),
                  0u);
    }
}

TEST(ConnectionInfoTest, ParseReadsBackWhatWasWritten) {
    ConnectionInfo info;
    info.config = "signal_model_hac";
    info.client_name = "client 1";
    info.connection_timeout_ms = 4294967295u;
    info.priority = 0;
    info.barcode_kits = "writer field, not sent";
    // Absolute, so it stays as it is; only the option of that name is sent.
    info.bed_file = "/writer/field/not/sent.bed";
    info.options.insert("barcode_kits", std::string("KIT-A KIT-B"));
    info.options.insert("require_barcodes_both_ends", false);
    info.options.insert("align_ref", std::string("/refs/genome.mmi"));
    info.options.insert("minimap_opt_string", std::string("-k 15 -w=10"));
    info.options.insert("chunk_size", 18446744073709551615ull);
    info.options.insert("move_enabled", true);
    const std::string text = info.build_connection_string();

    std::string error = "stale";
    const auto parsed = ConnectionInfo::parse(text, error);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(error, "");
    EXPECT_EQ(parsed->config, info.config);
    EXPECT_EQ(parsed->client_name, "client 1");
    EXPECT_EQ(parsed->connection_timeout_ms, 4294967295u);
    EXPECT_EQ(parsed->priority, 2);
    EXPECT_EQ(parsed->options, info.options);
    EXPECT_EQ(parsed->options.get_value<unsigned long long>("chunk_size"), 18446744073709551615ull);
    EXPECT_EQ(parsed->options.get_value<bool>("move_enabled"), true);
    EXPECT_EQ(parsed->barcode_kits, "KIT-A KIT-B");
    EXPECT_EQ(parsed->align_ref, "/refs/genome.mmi");
    EXPECT_EQ(parsed->minimap_opt_string, "-k 15 -w=10");
    EXPECT_EQ(parsed->bed_file, "");
}

TEST(ConnectionInfoTest, ParseTable) {
    struct Case {
        std::string text;
        bool ok;
        std::string config;
        std::string error;  // "untouched" keeps the caller's text
    };
    const std::string untouched = "untouched";
    const std::vector<Case> cases = {
            {"", true, "", untouched},
            {"cfg", true, "cfg", untouched},
            {"a:b", true, "a:b", untouched},
            {"cfg:", true, "cfg:", untouched},
            {"cfg:>client_name=x", true, "cfg", ""},
            {"cfg:>foo=1", true, "cfg", ""},
            {"cfg:>timeout_interval=abc", false, "", PARSE_ERROR + ">timeout_interval=abc"},
            {"cfg:>timeout_interval=-1", false, "", PARSE_ERROR + ">timeout_interval=-1"},
            {"cfg:>timeout_interval=4294967296", false, "", PARSE_ERROR + ">timeout_interval=4294967296"},
            {"cfg:>timeout_interval=12ms", false, "", PARSE_ERROR + ">timeout_interval=12ms"},
            {"cfg:>move_enabled=yes", false, "", PARSE_ERROR + ">move_enabled=yes"},
            {"cfg:>chunk_size=-5", false, "", PARSE_ERROR + ">chunk_size=-5"},
            {"cfg:>broken", false, "", PARSE_ERROR + ">broken"},
            {"cfg:>a=1>>b=2", false, "", PARSE_ERROR + ">a=1>>b=2"},
            // No ':' directly before '>': the whole text is the configuration,
            // and a text that begins with '>' is read as options as well.
            {">client_name=x", true, ">client_name=x", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: '" + c.text + "'");
        std::string error = untouched;
        const auto parsed = ConnectionInfo::parse(c.text, error);
        ASSERT_EQ(parsed.has_value(), c.ok);
        EXPECT_EQ(error, c.error);
        if (parsed) {
            EXPECT_EQ(parsed->config, c.config);
            EXPECT_EQ(parsed->priority, 2);
        }
    }
    std::string error;
    const auto named = ConnectionInfo::parse("cfg:>client_name=x>timeout_interval= 7", error);
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->client_name, "x");
    EXPECT_EQ(named->connection_timeout_ms, 7u);
}

TEST(ConnectedInfoTest, MessageStringRoundTrips) {
    ConnectedInfo info;
    info.client_uid = "b7d2c1e0-uid";
    info.server_version = "7.4.12+abc";
    info.minimap_version = "2.26-r1175";
    info.gpu_device_names = "GPU A|GPU B";
    const std::string text = info.create_message_string();
    EXPECT_EQ(text, ">client_uid=b7d2c1e0-uid>server_version=7.4.12+abc>minimap_version=2.26-r1175");
    const auto parsed = ConnectedInfo::parse(text + ">extra=ignored");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->client_uid, info.client_uid);
    EXPECT_EQ(parsed->server_version, info.server_version);
    EXPECT_EQ(parsed->minimap_version, info.minimap_version);
    EXPECT_EQ(parsed->gpu_device_names, "");

    info.server_version = "1>client_uid=evil";
    EXPECT_THROW(info.create_message_string(), std::runtime_error);
}

TEST(ConnectedInfoTest, IncompleteOrMalformedTextsAreAbsent) {
    const std::vector<std::string> texts = {
            "",
            ">server_version=1>minimap_version=2",
            ">client_uid=u>minimap_version=2",
            ">client_uid=u>server_version=1",
            "client_uid=u>server_version=1>minimap_version=2",
            ">client_uid=u>server_version=1>>minimap_version=2",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE("text: '" + text + "'");
        EXPECT_FALSE(ConnectedInfo::parse(text).has_value());
    }
    const auto empty_values = ConnectedInfo::parse(">client_uid=>server_version=>minimap_version=");
    ASSERT_TRUE(empty_values.has_value());
    EXPECT_EQ(empty_values->client_uid, "");
}

}  // namespace
