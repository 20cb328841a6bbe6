#pragma once

// A test server that registers clients and basecalls their reads, and the
// checks that hold a returned read against what the server's call function
// predicts for it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/connection_info.h"
#include "testing/basecaller.h"
#include "testing/called_read.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"
#include "tests/testing/traffic_support.h"

namespace engine_support {

using interfaces::ReadHolder;
using interfaces::ReadList;
using traffic_support::make_read;

inline const std::string HAC = "signal_model_hac";

// Poll time-out where every reply is expected: the broker waits four polls,
// so a reply has 20 s however busy the machine is.
inline constexpr std::uint32_t LIVE_TIMEOUT_MS = 5000;
// Where a scripted silence is waited out: replies still have 5 s, and each
// silence costs 5 s.
inline constexpr std::uint32_t SILENCE_TIMEOUT_MS = 1250;

// The test server with its registration side and simulated basecaller.
struct Server {
    explicit Server(test_server::BasecallerOptions options = {}, std::string endpoint = "tcp://127.0.0.1:*")
            : server(std::move(endpoint)),
              basecaller(std::make_shared<test_server::Basecaller>(options)),
              registration(test_server::ServerRegistration::install(server, test_server::example_setup(),
                                                                    basecaller)) {}
    void start() { server.start(); }

    test_server::TestServer server;
    std::shared_ptr<test_server::Basecaller> basecaller;
    std::shared_ptr<test_server::ServerRegistration> registration;
};

inline ipc_tools::ConnectionInfo connection_info(const std::string& config = HAC) {
    ipc_tools::ConnectionInfo info;
    info.config = config;
    info.client_name = "engine_test";
    return info;
}

// What a returned read carries, in the form of the server's call.
inline test_server::CalledRead called_from(const ReadHolder& read, const test_server::CalledRead& expected) {
    using kelp::data_wrappers::v2::DataSetData;
    const auto& m = read.metadata;
    auto text = [&](const char* key) { return m.exists(key) ? m.get_as_string(key) : std::string(); };
    auto u64 = [&](const char* key) -> unsigned long long {
        unsigned long long* value = nullptr;
        return m.extract(key, value) ? *value : ~0ull;
    };
    auto f32 = [&](const char* key) -> float {
        float* value = nullptr;
        return m.extract(key, value) ? *value : -1.0f;
    };
    auto i32 = [&](const char* key) -> int {
        int* value = nullptr;
        return m.extract(key, value) ? *value : -1;
    };
    test_server::CalledRead actual;
    actual.read_tag = static_cast<std::uint32_t>(read.read_tag);
    actual.sub_tag = static_cast<std::uint32_t>(read.sub_tag);
    actual.strand_id = text("strand_id");
    actual.duration = u64("duration");
    actual.start_time = u64("start_time");
    actual.num_sequor_events = u64("num_sequor_events");
    actual.basecall_type = text("basecall_type");
    actual.model_version_id = text("model_version_id");
    actual.modbase_model_version_id = text("modbase_model_version_id");
    actual.mean_qscore = f32("mean_qscore");
    actual.model_stride = static_cast<std::uint32_t>(u64("model_stride"));
    actual.median = f32("median");
    actual.med_abs_dev = f32("med_abs_dev");
    actual.trimmed_samples = static_cast<std::uint32_t>(u64("trimmed_samples"));
    actual.poly_tail_length = i32("poly_tail_length");
    if (m.exists("scaling_median")) {
        actual.scaling_median = f32("scaling_median");
        actual.scaling_med_abs_dev = f32("scaling_med_abs_dev");
        actual.scaling_version = text("scaling_version");
    }
    auto dataset_text = [&](dataset id) {
        auto it = read.datasets.find(id);
        return it == read.datasets.end() ? std::string("<absent>") : it->second.get_string();
    };
    auto dataset_bytes = [&](dataset id) {
        auto it = read.datasets.find(id);
        std::vector<std::uint8_t> bytes;
        if (it != read.datasets.end()) {
            const auto* data = it->second.get_array<unsigned char>();
            bytes.assign(data, data + it->second.info.count);
        }
        return bytes;
    };
    actual.sequence = dataset_text(dataset::sequence);
    actual.qstring = dataset_text(dataset::qstring);
    actual.moves = dataset_bytes(dataset::movement);
    // The total number of moves travels only to size the joined moves.
    actual.num_moves = expected.num_moves;
    actual.base_mod_alphabet = text("base_mod_alphabet");
    actual.base_mod_long_names = text("base_mod_long_names");
    actual.has_base_mod = m.exists("base_mod_context");
    actual.base_mod_context = text("base_mod_context");
    actual.base_mod_probs = dataset_bytes(dataset::base_mod_probs);
    if (m.exists("barcode_kit")) {
        actual.has_barcoding = true;
        auto& b = actual.barcoding;
        b.kit = text("barcode_kit");
        b.arrangement = text("barcode_arrangement");
        b.variant = text("barcode_variant");
        b.score = f32("barcode_score");
        b.trim_front = i32("trim_front");
        b.trim_rear = i32("trim_rear");
        b.front_score = f32("barcode_front_score");
        b.front_begin_index = i32("barcode_front_begin_index");
        b.front_foundseq_length = i32("barcode_front_foundseq_length");
        b.rear_score = f32("barcode_rear_score");
        b.rear_end_index = i32("barcode_rear_end_index");
        b.rear_foundseq_length = i32("barcode_rear_foundseq_length");
    }
    // Alignments are checked apart (check_alignments): the read keeps them
    // as a table and two joined texts.
    actual.alignments = expected.alignments;
    return actual;
}

// The alignment table and texts of a returned read against the call.
inline void check_alignments(const ReadHolder& read, const test_server::CalledRead& expected) {
    const auto it = read.datasets.find(dataset::align_results);
    if (expected.alignments.empty()) {
        EXPECT_EQ(it, read.datasets.end());
        return;
    }
    ASSERT_NE(it, read.datasets.end());
    ASSERT_EQ(it->second.info.count, expected.alignments.size());
    std::string sam;
    std::string bed;
    const char* rows = static_cast<const char*>(it->second.data);
    for (std::size_t i = 0; i < expected.alignments.size(); ++i) {
        const auto& a = expected.alignments[i];
        EXPECT_STREQ(rows + i * it->second.info.element_size, a.genome.c_str());
        sam += (i > 0 ? "\n" : "") + a.sam_record;
        bed += (!bed.empty() && a.bed_hits != 0 ? "\n" : "") + a.bed_lines;
    }
    const auto& m = read.metadata;
    EXPECT_EQ(m.exists("alignment_sam_record") ? m.get_as_string("alignment_sam_record") : "", sam);
    EXPECT_EQ(m.exists("alignment_bed_lines") ? m.get_as_string("alignment_bed_lines") : "", bed);
    EXPECT_EQ(m.get_as_string("alignment_genome"), expected.alignments[0].genome);
}

// The read `tag` of `samples` samples as the application passed it, and the
// pieces the server makes of it (one unless split).
inline std::vector<test_server::CalledRead> expected_for(unsigned long long tag, std::size_t samples,
                                                         const test_server::CallOptions& options,
                                                         unsigned pieces = 1) {
    return test_server::expected_calls(test_server::raw_read_of(make_read(tag, samples)), options, pieces);
}

// Whether a returned read carries exactly what the server's call predicts.
inline void check_called(const ReadHolder& read, const test_server::CalledRead& expected) {
    SCOPED_TRACE("read " + std::to_string(read.read_tag) + "/" + std::to_string(read.sub_tag));
    const auto diffs = test_server::differences(expected, called_from(read, expected));
    std::string joined;
    for (const auto& d : diffs) {
        joined += d + " ";
    }
    EXPECT_TRUE(diffs.empty()) << "differs in: " << joined;
    check_alignments(read, expected);
}

inline bool is_unprocessed(const ReadHolder& read) { return read.datasets.count(dataset::sequence) == 0; }

// Collects completed reads until `count` have come or `timeout` passed.
template <class Engine>
ReadList collect(Engine& engine, std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    ReadList reads;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (reads.size() < count && std::chrono::steady_clock::now() < deadline) {
        engine.get_completed_reads(reads, interfaces::ReadPriority::medium);
        if (reads.size() < count) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return reads;
}

}  // namespace engine_support
