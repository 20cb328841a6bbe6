#include "testing/called_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <sstream>

#include "data_model/base_mod_context.h"
#include "data_model/sam_tags.h"
#include "traffic_support.h"

namespace {

using namespace test_server;
using traffic_support::joined;
using traffic_support::make_samples;

RawRead make_raw(std::size_t num_samples, unsigned seed = 1) {
    RawRead read;
    read.read_tag = 7;
    read.read_id = "read-" + std::to_string(seed);
    read.strand_id = read.read_id + "_strand";
    read.start_time = 5000;
    read.num_sequor_events = 12;
    read.samples = make_samples(num_samples, seed);
    return read;
}

CallOptions all_options() {
    CallOptions options;
    options.moves = true;
    options.model_version_id = "model_v1";
    options.modbase_model_version_id = "model_v1_modbases";
    options.barcode_kit = "KIT-001";
    options.trim_barcodes = true;
    options.references = {Reference{"chr1", 100000}, Reference{"chr2", 500}};
    options.bed = true;
    options.poly_tail = true;
    return options;
}

TEST(CalledReadTest, TheSameReadIsCalledTheSameAndTheReadTagDoesNotCount) {
    const RawRead read = make_raw(4000);
    RawRead other_tag = read;
    other_tag.read_tag = 99;
    const CalledRead call = expected_call(read, all_options());
    EXPECT_TRUE(differences(call, expected_call(read, all_options())).empty());
    CalledRead retagged = expected_call(other_tag, all_options());
    EXPECT_EQ(retagged.read_tag, 99u);
    retagged.read_tag = call.read_tag;
    EXPECT_EQ(joined(differences(call, retagged)), "");
}

// A lost, changed, swapped or cut sample, or another read id or sub tag, must
// change what is called, everywhere a test might look.
TEST(CalledReadTest, EverySampleAndTheReadIdentityChangeTheCall) {
    const RawRead base = make_raw(2000);
    struct Case {
        const char* name;
        void (*change)(RawRead&);
    };
    const Case cases[] = {
            {"first sample", [](RawRead& r) { r.samples.front() += 1; }},
            {"last sample", [](RawRead& r) { r.samples.back() -= 1; }},
            {"middle sample", [](RawRead& r) { r.samples[1000] ^= 0x100; }},
            {"two samples swapped",
             [](RawRead& r) {
                 std::size_t i = 10;
                 while (r.samples[i] == r.samples[i + 1]) {
                     ++i;
                 }
                 std::swap(r.samples[i], r.samples[i + 1]);
             }},
            {"last sample lost", [](RawRead& r) { r.samples.pop_back(); }},
            {"one sample too many", [](RawRead& r) { r.samples.push_back(0); }},
            {"read id", [](RawRead& r) { r.read_id += "x"; }},
            {"sub tag", [](RawRead& r) { r.sub_tag = 1; }},
    };
    const CalledRead original = expected_call(base, all_options());
    for (const Case& c : cases) {
        RawRead changed = base;
        c.change(changed);
        const CalledRead call = expected_call(changed, all_options());
        const std::vector<std::string> names = differences(original, call);
        const std::set<std::string> found(names.begin(), names.end());
        for (const char* field : {"sequence", "qstring", "moves", "base_mod_probs"}) {
            EXPECT_EQ(found.count(field), 1u) << c.name << ": " << field << " unchanged";
        }
    }
}

TEST(CalledReadTest, TheCallIsConsistentWithItself) {
    for (std::size_t samples : {100u, 101u, 999u, 4000u, 256001u}) {
        SCOPED_TRACE(samples);
        const CalledRead call = expected_call(make_raw(samples), all_options());
        EXPECT_EQ(call.duration, samples);
        EXPECT_EQ(call.model_stride, MODEL_STRIDE);
        EXPECT_LT(call.trimmed_samples, call.duration);
        EXPECT_EQ(call.trimmed_samples % MODEL_STRIDE, 0u);
        ASSERT_EQ(call.moves.size(), call.num_moves);
        EXPECT_EQ(call.num_moves, (samples - call.trimmed_samples) / MODEL_STRIDE);
        EXPECT_EQ(call.moves.front(), 1);
        EXPECT_EQ(std::accumulate(call.moves.begin(), call.moves.end(), std::size_t{0}), call.sequence.size());
        EXPECT_EQ(call.qstring.size(), call.sequence.size());
        EXPECT_EQ(call.sequence.find_first_not_of("ACGT"), std::string::npos);
        for (char q : call.qstring) {
            ASSERT_GE(q, '!' + 5);
            ASSERT_LE(q, '!' + 40);
        }
        // The one channel-count rule of the data model sizes the matrix.
        EXPECT_EQ(kelp::bam::modbase_channels(call.base_mod_alphabet).size(), MODBASE_CHANNELS);
        EXPECT_EQ(call.base_mod_probs.size(), call.sequence.size() * MODBASE_CHANNELS);
        for (std::size_t p = 0; p < call.sequence.size(); ++p) {
            const std::uint8_t* row = &call.base_mod_probs[p * MODBASE_CHANNELS];
            const unsigned sum = row[0] + row[1] + row[2];
            ASSERT_EQ(sum, call.sequence[p] == 'C' ? 255u : 0u) << p;
        }
    }
}

TEST(CalledReadTest, OptionsAddTheirResultsWithoutChangingTheBases) {
    const RawRead read = make_raw(3000);
    const CallOptions full = all_options();
    CallOptions bare;
    bare.model_version_id = full.model_version_id;
    const CalledRead with = expected_call(read, full);
    const CalledRead without = expected_call(read, bare);
    EXPECT_EQ(with.sequence, without.sequence);
    EXPECT_EQ(with.qstring, without.qstring);
    EXPECT_EQ(with.num_moves, without.num_moves);
    EXPECT_TRUE(without.moves.empty());
    EXPECT_FALSE(without.has_base_mod);
    EXPECT_TRUE(without.base_mod_probs.empty());
    EXPECT_EQ(without.modbase_model_version_id, "");
    EXPECT_FALSE(without.has_barcoding);
    EXPECT_TRUE(without.alignments.empty());
    EXPECT_EQ(without.poly_tail_length, 0);
    EXPECT_GE(with.poly_tail_length, 5);
    EXPECT_EQ(with.basecall_type, BASECALL_TYPE);
    EXPECT_EQ(with.model_version_id, "model_v1");
    EXPECT_EQ(with.scaling_version, SCALING_VERSION);
    EXPECT_EQ(with.barcoding.kit, "KIT-001");
}

TEST(CalledReadTest, ModifiedBaseTagsCanBeWrittenFromTheCall) {
    const CalledRead call = expected_call(make_raw(5000), all_options());
    std::string tags;
    std::string error;
    std::vector<unsigned char> probs = call.base_mod_probs;
    kelp::data_wrappers::v2::VecView<unsigned char> view;
    view.view(probs.data(), probs.size(), 1);
    ASSERT_TRUE(kelp::bam::util::generate_modbase_string(tags, call.sequence, call.base_mod_alphabet,
                                                         call.base_mod_context, view, 128, error))
            << error;
    EXPECT_EQ(tags.rfind("MM:Z:C+m?", 0), 0u) << tags;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        fields.push_back(field);
    }
    return fields;
}

// Over many reads: unmapped reads, secondary hits and BED hits all occur,
// and every row is a SAM line that agrees with the table.
TEST(CalledReadTest, AlignmentsAgreeWithTheirSamAndBedLines) {
    int unmapped = 0, secondary = 0, bed_hits = 0, reverse = 0;
    for (unsigned seed = 1; seed <= 120; ++seed) {
        const RawRead read = make_raw(600 + seed, seed);
        const CalledRead call = expected_call(read, all_options());
        ASSERT_FALSE(call.alignments.empty());
        for (const AlignmentCall& row : call.alignments) {
            const std::vector<std::string> sam = fields_of(row.sam_record);
            ASSERT_GE(sam.size(), 11u) << row.sam_record;
            EXPECT_EQ(sam[0], read.strand_id);
            EXPECT_EQ(sam[2], row.genome);
            EXPECT_LT(row.genome.size(), 253u);
            if (row.genome == "*") {
                ++unmapped;
                EXPECT_EQ(sam[1], "4");
                EXPECT_EQ(sam[9], call.sequence);
                EXPECT_EQ(row.bed_hits, 0);
                continue;
            }
            const int flag = std::stoi(sam[1]);
            EXPECT_EQ((flag & 256) != 0, row.is_secondary);
            EXPECT_EQ((flag & 16) != 0, row.direction == '-');
            EXPECT_EQ(std::stoi(sam[3]), row.genome_start + 1);
            EXPECT_EQ(std::stoi(sam[4]), row.mapping_quality);
            EXPECT_LE(row.genome_end, row.genome == "chr2" ? 500 : 100000);
            secondary += row.is_secondary;
            reverse += row.direction == '-';
            if (!row.is_secondary) {
                EXPECT_EQ(sam[9].size(), call.sequence.size());
            }
            std::vector<std::string> bed;
            std::istringstream bed_text(row.bed_lines);
            for (std::string line; std::getline(bed_text, line);) {
                bed.push_back(line);
            }
            ASSERT_EQ(bed.size(), static_cast<std::size_t>(row.bed_hits));
            bed_hits += row.bed_hits;
            for (const std::string& line : bed) {
                const std::vector<std::string> f = fields_of(line);
                ASSERT_EQ(f.size(), 6u) << line;
                EXPECT_EQ(f[0], row.genome);
                EXPECT_GE(std::stoll(f[1]), row.genome_start);
                EXPECT_LE(std::stoll(f[2]), row.genome_end);
                EXPECT_LT(std::stoll(f[1]), std::stoll(f[2]));
            }
        }
    }
    EXPECT_GT(unmapped, 0);
    EXPECT_GT(secondary, 0);
    EXPECT_GT(bed_hits, 0);
    EXPECT_GT(reverse, 0);
}

TEST(CalledReadTest, NoBedHitsWithoutABedFile) {
    CallOptions options = all_options();
    options.bed = false;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        for (const AlignmentCall& row : expected_call(make_raw(700, seed), options).alignments) {
            EXPECT_EQ(row.bed_hits, 0);
            EXPECT_EQ(row.bed_lines, "");
        }
    }
}

TEST(CalledReadTest, SplitPiecesCoverTheReadWithTheParentLast) {
    const RawRead read = make_raw(1000);
    struct Case {
        std::size_t samples;
        unsigned pieces;
        std::size_t expected_pieces;
    };
    const Case cases[] = {{1000, 1, 1}, {1000, 3, 3}, {1000, 20, 20}, {1000, 21, 20}, {120, 5, 2}, {99, 4, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.samples) + " / " + std::to_string(c.pieces));
        RawRead whole = make_raw(c.samples);
        const std::vector<RawRead> pieces = split_read(whole, c.pieces);
        ASSERT_EQ(pieces.size(), c.expected_pieces);
        EXPECT_EQ(pieces.back().sub_tag, 0u);
        EXPECT_EQ(pieces.back().strand_id, whole.strand_id);
        std::vector<std::int16_t> rejoined = pieces.back().samples;
        std::set<std::string> strands;
        for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i].sub_tag, i + 1);
            EXPECT_EQ(pieces[i].read_id, whole.read_id);
            EXPECT_EQ(pieces[i].strand_id, derived_strand_id(whole.strand_id, pieces[i].sub_tag));
            EXPECT_EQ(pieces[i].start_time, whole.start_time + rejoined.size());
            EXPECT_GE(pieces[i].samples.size(), MIN_SPLIT_PIECE_SAMPLES);
            strands.insert(pieces[i].strand_id);
            rejoined.insert(rejoined.end(), pieces[i].samples.begin(), pieces[i].samples.end());
        }
        EXPECT_EQ(strands.size() + 1, pieces.size());
        EXPECT_EQ(rejoined, whole.samples);
    }
    EXPECT_EQ(derived_strand_id(read.strand_id, 1).size(), 36u);
    EXPECT_NE(derived_strand_id(read.strand_id, 1), derived_strand_id(read.strand_id, 2));

    const std::vector<CalledRead> calls = expected_calls(read, all_options(), 3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].sub_tag, 1u);
    EXPECT_EQ(calls[2].sub_tag, 0u);
    EXPECT_EQ(calls[2].duration, 333u);
    EXPECT_NE(calls[0].sequence, calls[2].sequence);
}

TEST(CalledReadTest, ReferencesComeFromTheHeader) {
    struct Case {
        std::string header;
        std::vector<std::pair<std::string, std::uint32_t>> references;
    };
    const Case cases[] = {
            {"", {}},
            {"@HD\tVN:1.6\n", {{"ref", 1000000}}},
            {"@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:2000\n@SQ\tSN:chrM\tLN:16569\n@PG\tID:x\n",
             {{"chr1", 2000}, {"chrM", 16569}}},
            {"@SQ\tLN:30\tSN:late\n@SQ\tSN:nolength\n", {{"late", 30}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::string, std::uint32_t>> found;
        for (const Reference& reference : references_from_header(c.header)) {
            found.emplace_back(reference.name, reference.length);
        }
        EXPECT_EQ(found, c.references) << c.header;
    }
}

TEST(CalledReadTest, TheReadAsPassedInIsTheReadAsReceived) {
    interfaces::ReadHolder read = traffic_support::make_read(42, 500);
    read.metadata.insert("duration", static_cast<unsigned long long>(480));
    const RawRead raw = raw_read_of(read);
    EXPECT_EQ(raw.read_tag, 42u);
    EXPECT_EQ(raw.read_id, "read-42");
    EXPECT_EQ(raw.strand_id, "read-42_strand");
    EXPECT_EQ(raw.start_time, 1042u);
    EXPECT_EQ(raw.num_sequor_events, 126u);
    const std::vector<std::int16_t> samples = make_samples(500, 42);
    EXPECT_EQ(raw.samples, std::vector<std::int16_t>(samples.begin(), samples.begin() + 480));
    read.metadata.insert("duration", static_cast<unsigned long long>(501));
    EXPECT_THROW(raw_read_of(read), std::out_of_range);
}

}  // namespace
