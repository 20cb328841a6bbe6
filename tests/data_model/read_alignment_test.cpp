#include "data_model/interfaces/read_alignment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "data_model/key_tags.h"

namespace {

using interfaces::ReadAlignmentHelper;
using interfaces::ReadHolder;
using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;

template <typename T>
void set_cell(DataTable& table, const std::string& column, size_t row, T value) {
    table.view_field<T>(table.field_index.at(column))[row] = value;
}

void set_genome(DataTable& table, size_t row, const std::string& name) {
    std::memcpy(table.data.data() + row * table.row_size, name.data(), name.size());
}

void add_string(ReadHolder& read, dataset code, std::string text) {
    read.datasets[code].own(std::move(text));
}

void add_bytes(ReadHolder& read, dataset code, std::vector<unsigned char> bytes) {
    read.datasets[code].own(std::move(bytes));
}

// A read that the server aligned: one table row per SAM line.
void add_alignment(ReadHolder& read, const std::vector<std::string>& sam_lines,
                   const std::vector<int>& bed_hits, const std::string& bed_text) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(sam_lines.size());
    std::string sam_text;
    for (size_t row = 0; row < sam_lines.size(); ++row) {
        set_cell<int>(table, "BedHits", row, bed_hits.at(row));
        sam_text += (row ? "\n" : "") + sam_lines[row];
    }
    read.datasets[dataset::align_results].own(std::move(table));
    read.metadata.insert("alignment_sam_record", sam_text);
    read.metadata.insert("alignment_bed_lines", bed_text);
}

// The unmapped read "abc" of four bases, without other metadata.
ReadHolder basic_read() {
    ReadHolder read;
    read.metadata.insert("strand_id", std::string("abc"));
    read.metadata.insert("read_id", std::string("abc"));
    add_string(read, dataset::sequence, "ACGT");
    add_string(read, dataset::qstring, "+,-.");
    return read;
}

const std::string BASIC_FIELDS = "abc\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t+,-.";
const std::string MAPPED_0 = "r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT\t+,-.";
const std::string MAPPED_1 = "r1\t256\tchr2\t5\t10\t4M\t*\t0\t0\tACGT\t+,-.";

TEST(AlignmentTableTest, HasFixedColumnsAndRowLayout) {
    const DataTable table = ReadAlignmentHelper::create_alignment_table(3);
    const std::vector<std::tuple<std::string, DataSetType, size_t>> columns = {
        {"Genome", DataSetType::fixed_string, 0},   {"Direction", DataSetType::int8, 254},
        {"GenomeStart", DataSetType::int32, 256},   {"GenomeEnd", DataSetType::int32, 260},
        {"StrandStart", DataSetType::int32, 264},   {"StrandEnd", DataSetType::int32, 268},
        {"NumEvents", DataSetType::int32, 272},     {"NumInsertions", DataSetType::int32, 276},
        {"NumDeletions", DataSetType::int32, 280},  {"NumAligned", DataSetType::int32, 284},
        {"NumCorrect", DataSetType::int32, 288},    {"Coverage", DataSetType::float32, 292},
        {"Identity", DataSetType::float32, 296},    {"Accuracy", DataSetType::float32, 300},
        {"StrandScore", DataSetType::int32, 304},   {"BedHits", DataSetType::int32, 308},
        {"MappingQuality", DataSetType::int32, 312}, {"IsSecondary", DataSetType::uint8, 316},
        {"IsSupplementary", DataSetType::uint8, 317},
    };
    ASSERT_EQ(table.fields.size(), columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const auto& [name, type, offset] = columns[i];
        EXPECT_EQ(table.fields[i].name, name);
        EXPECT_EQ(table.fields[i].type, type) << name;
        EXPECT_EQ(table.fields[i].offset, offset) << name;
        EXPECT_EQ(table.field_index.at(name), i);
    }
    EXPECT_EQ(table.fields[0].size, 253u);
    EXPECT_EQ(table.row_size, 320u);
    EXPECT_EQ(table.num_rows, 3u);
    EXPECT_EQ(table.data, std::vector<char>(960, 0));
    EXPECT_EQ(ReadAlignmentHelper::create_alignment_table(0).fields.size(), 19u);
    EXPECT_EQ(ReadAlignmentHelper::create_alignment_table(0).num_rows, 0u);
}

TEST(AlignmentTableTest, RebuildsTableFromRead) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(2);
    set_genome(table, 1, "chr7");
    set_cell<int>(table, "GenomeEnd", 0, 77);
    set_cell<float>(table, "Accuracy", 1, 0.5f);
    const DataTable original = table;

    ReadHolder read;
    EXPECT_FALSE(ReadAlignmentHelper::read_holder_contains_alignment_data(read));
    add_string(read, dataset::sequence, "ACGT");
    EXPECT_FALSE(ReadAlignmentHelper::read_holder_contains_alignment_data(read));
    read.datasets[dataset::align_results].own(std::move(table));
    ASSERT_TRUE(ReadAlignmentHelper::read_holder_contains_alignment_data(read));

    const DataTable rebuilt = ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
    ASSERT_EQ(rebuilt.fields.size(), original.fields.size());
    for (size_t i = 0; i < rebuilt.fields.size(); ++i) {
        EXPECT_EQ(rebuilt.fields[i].name, original.fields[i].name);
        EXPECT_EQ(rebuilt.fields[i].offset, original.fields[i].offset);
        EXPECT_EQ(rebuilt.fields[i].size, original.fields[i].size);
    }
    EXPECT_EQ(rebuilt.row_size, 320u);
    EXPECT_EQ(rebuilt.num_rows, 2u);
    EXPECT_EQ(rebuilt.data, original.data);

    ReadHolder empty_table;
    empty_table.datasets[dataset::align_results].own(ReadAlignmentHelper::create_alignment_table(0));
    EXPECT_TRUE(ReadAlignmentHelper::read_holder_contains_alignment_data(empty_table));
}

TEST(AlignmentTableTest, RefusesMissingOrInconsistentDataset) {
    ReadHolder read;
    try {
        ReadAlignmentHelper::create_alignment_table_from_read_holder(read);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Could not find align results in read holder");
    }
    // A dataset claiming rows wider than it holds must not be read past its end.
    DataTable narrow;
    narrow.add_field("Genome", DataSetType::fixed_string, 253);
    narrow.allocate(2);
    DataSetData& results = read.datasets[dataset::align_results];
    results.own(std::move(narrow));
    results.info.fields = ReadAlignmentHelper::create_alignment_table(0).fields;
    EXPECT_THROW(ReadAlignmentHelper::create_alignment_table_from_read_holder(read),
                 std::runtime_error);
}

TEST(AlignmentMetadataTest, CopiesRowZeroAndCounts) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(3);
    set_genome(table, 0, "chr1");
    set_genome(table, 1, "chr2");
    set_cell<signed char>(table, "Direction", 0, '+');
    const std::vector<std::string> int_columns = {
        "GenomeStart", "GenomeEnd",  "StrandStart", "StrandEnd",   "NumEvents",      "NumInsertions",
        "NumDeletions", "NumAligned", "NumCorrect", "StrandScore", "MappingQuality", "BedHits"};
    for (size_t i = 0; i < int_columns.size(); ++i) {
        set_cell<int>(table, int_columns[i], 0, 100 + static_cast<int>(i));
    }
    set_cell<float>(table, "Coverage", 0, 0.25f);
    set_cell<float>(table, "Identity", 0, 0.5f);
    set_cell<float>(table, "Accuracy", 0, 0.75f);
    // row 1: GenomeStart 0 is no alignment, yet its flags count
    set_cell<unsigned char>(table, "IsSecondary", 1, 1);
    set_cell<unsigned char>(table, "IsSupplementary", 1, 7);
    set_cell<int>(table, "GenomeStart", 2, 1234);
    set_cell<unsigned char>(table, "IsSecondary", 2, 1);

    ReadHolder read;
    read.metadata.insert("alignment_score", std::string("stale"));
    read.datasets[dataset::align_results].own(std::move(table));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);

    const auto& md = read.metadata;
    EXPECT_EQ(md.get_value<std::string>("alignment_genome"), "chr1");
    EXPECT_EQ(md.get_value<std::string>("alignment_direction"), "+");
    const std::vector<std::pair<std::string, int>> ints = {
        {"alignment_genome_start", 100},  {"alignment_genome_end", 101},
        {"alignment_strand_start", 102},  {"alignment_strand_end", 103},
        {"alignment_num_events", 104},    {"alignment_num_insertions", 105},
        {"alignment_num_deletions", 106}, {"alignment_num_aligned", 107},
        {"alignment_num_correct", 108},   {"alignment_score", 109},
        {"alignment_mapping_quality", 110}, {"alignment_bed_hits", 111},
        {"alignment_num_alignments", 2},  {"alignment_num_secondary_alignments", 2},
        {"alignment_num_supplementary_alignments", 1},
    };
    for (const auto& [key, value] : ints) {
        EXPECT_EQ(md.get_value<int>(key), value) << key;
    }
    EXPECT_EQ(md.get_value<float>("alignment_coverage"), 0.25f);
    EXPECT_EQ(md.get_value<float>("alignment_identity"), 0.5f);
    EXPECT_EQ(md.get_value<float>("alignment_accuracy"), 0.75f);
    EXPECT_EQ(md.size(), 20u);
}

TEST(AlignmentMetadataTest, EdgeCellsStayInBounds) {
    DataTable table = ReadAlignmentHelper::create_alignment_table(1);
    // a writer that filled the whole genome cell without a terminator
    std::memset(table.data.data(), 'g', 254);
    set_cell<signed char>(table, "Direction", 0, 'x');
    ReadHolder read;
    read.datasets[dataset::align_results].own(std::move(table));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    EXPECT_EQ(read.metadata.get_value<std::string>("alignment_genome"), std::string(254, 'g'));

    ReadHolder zero_direction;
    zero_direction.datasets[dataset::align_results].own(
        ReadAlignmentHelper::create_alignment_table(1));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(zero_direction);
    EXPECT_EQ(zero_direction.metadata.get_value<std::string>("alignment_direction"),
              std::string(1, '\0'));

    ReadHolder no_rows;
    no_rows.datasets[dataset::align_results].own(ReadAlignmentHelper::create_alignment_table(0));
    ReadAlignmentHelper::copy_alignment_results_to_metadata(no_rows);
    EXPECT_TRUE(no_rows.metadata.empty());

    ReadHolder no_table;
    no_table.metadata.insert<int>("keep", 1);
    EXPECT_THROW(ReadAlignmentHelper::copy_alignment_results_to_metadata(no_table),
                 std::runtime_error);
    EXPECT_EQ(no_table.metadata.size(), 1u);
}

TEST(SamExtractionTest, ServerLinesCarryTheirBedLines) {
    ReadHolder read = basic_read();
    add_alignment(read, {MAPPED_0, MAPPED_1}, {2, 0}, "b1\nb2\nb3");
    const auto lines = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].sam_line, MAPPED_0);
    EXPECT_EQ(lines[0].bed_lines, (std::vector<std::string>{"b1", "b2"}));
    EXPECT_EQ(lines[1].sam_line, MAPPED_1);
    EXPECT_TRUE(lines[1].bed_lines.empty());

    // an exhausted SAM text gives an empty line; negative hit counts read
    // nothing; hit counts beyond the BED text take only the lines it has, so a
    // huge count from the server cannot make up lines without end
    ReadHolder short_text = basic_read();
    add_alignment(short_text, {MAPPED_0, "", ""}, {-1, 2, 1000}, "b1\n\nb3");
    short_text.metadata.insert("alignment_sam_record", MAPPED_0);
    const auto partial =
        ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(short_text);
    ASSERT_EQ(partial.size(), 3u);
    EXPECT_TRUE(partial[0].bed_lines.empty());
    EXPECT_EQ(partial[1].sam_line, "");
    EXPECT_EQ(partial[1].bed_lines, (std::vector<std::string>{"b1", ""}));
    EXPECT_EQ(partial[2].sam_line, "");
    EXPECT_EQ(partial[2].bed_lines, std::vector<std::string>{"b3"});

    EXPECT_TRUE(
        ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(basic_read())
            .empty());
}

// Each case changes the basic read and gives the expected line 0.
struct ExtractCase {
    std::string name;
    std::function<void(ReadHolder&)> change;
    std::string line;
};

TEST(SamExtractionTest, BuildsLineZeroWithTags) {
    const auto md = [](ReadHolder& r) -> kelp::data_wrappers::v2::Metadata& { return r.metadata; };
    const std::vector<ExtractCase> cases = {
        {"unmapped", [](ReadHolder&) {}, BASIC_FIELDS + "\tdx:i:0"},
        {"duplex",
         [&](ReadHolder& r) {
             md(r).insert("duplex_strand_1", std::string("p"));
             md(r).insert("duplex_strand_2", std::string("q"));
         },
         "p;q" + BASIC_FIELDS.substr(3) + "\tdx:i:1"},
        {"duplex parent", [&](ReadHolder& r) { md(r).insert<bool>("is_duplex_parent", true); },
         BASIC_FIELDS + "\tdx:i:-1"},
        {"first duplex strand only",
         [&](ReadHolder& r) { md(r).insert("duplex_strand_1", std::string("p")); },
         BASIC_FIELDS + "\tdx:i:1"},
        {"server says unmapped",
         [](ReadHolder& r) {
             add_alignment(r, {"r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t+,-.", MAPPED_1}, {1, 0}, "b");
         },
         BASIC_FIELDS + "\tdx:i:0"},
        {"mapped", [](ReadHolder& r) { add_alignment(r, {MAPPED_0}, {0}, ""); },
         MAPPED_0 + "\tdx:i:0"},
        {"read tags in order",
         [&](ReadHolder& r) {
             md(r).insert<float>("mean_qscore", 12.345678f);
             md(r).insert<unsigned int>("mux", 3);
             md(r).insert<int>("channel", 42);
             md(r).insert<unsigned int>("read_number", 7);
             md(r).insert("time_stamp", std::string("2024-01-01T00:00:00Z"));
             md(r).insert("filename", std::string("/data/run/x.bin"));
             md(r).insert<unsigned long long>("duration", 4000);
             md(r).insert<unsigned long long>("trimmed_samples", 10);
             md(r).insert<float>("scaling_median", 2.0f);
             md(r).insert<float>("scaling_med_abs_dev", 0.5f);
             md(r).insert<float>("sampling_rate", 4000.0f);
             md(r).insert<int>("poly_tail_length", 0);
         },
         BASIC_FIELDS +
             "\tqs:f:12.3457\tmx:i:3\tch:i:42\trn:i:7\tst:Z:2024-01-01T00:00:00Z\tyk:Z:x.bin"
             "\tns:i:4000\tts:i:10\tsm:f:2\tsd:f:0.5\tsv:Z:med_mad\tdu:f:1\tpt:i:0\tdx:i:0"},
        {"scaling version",
         [&](ReadHolder& r) {
             md(r).insert<float>("scaling_median", 1.5f);
             md(r).insert<float>("scaling_med_abs_dev", 0.25f);
             md(r).insert("scaling_version", std::string("v2"));
         },
         BASIC_FIELDS + "\tsm:f:1.5\tsd:f:0.25\tsv:Z:v2\tdx:i:0"},
        {"scaling median alone", [&](ReadHolder& r) { md(r).insert<float>("scaling_median", 1.5f); },
         BASIC_FIELDS + "\tdx:i:0"},
        {"negative poly tail", [&](ReadHolder& r) { md(r).insert<int>("poly_tail_length", -1); },
         BASIC_FIELDS + "\tdx:i:0"},
        {"empty filename", [&](ReadHolder& r) { md(r).insert("filename", std::string()); },
         BASIC_FIELDS + "\tdx:i:0"},
        {"filename ending in slash", [&](ReadHolder& r) { md(r).insert("filename", std::string("/d/")); },
         BASIC_FIELDS + "\tyk:Z:.\tdx:i:0"},
        {"parent read id",
         [&](ReadHolder& r) { md(r).insert("read_id", std::string("parent")); },
         BASIC_FIELDS + "\tpi:Z:parent\tdx:i:0"},
        {"parent read id missing",
         [&](ReadHolder& r) { md(r).remove("read_id"); },
         BASIC_FIELDS + "\tpi:Z:\tdx:i:0"},
        // a mapped read needs no strand id of its own
        {"mapped, strand id missing",
         [&](ReadHolder& r) {
             add_alignment(r, {MAPPED_0}, {0}, "");
             md(r).remove("strand_id");
         },
         MAPPED_0 + "\tpi:Z:abc\tdx:i:0"},
        {"mapped, both ids missing",
         [&](ReadHolder& r) {
             add_alignment(r, {MAPPED_0}, {0}, "");
             md(r).remove("strand_id");
             md(r).remove("read_id");
         },
         MAPPED_0 + "\tdx:i:0"},
        {"ids of other types count as empty",
         [&](ReadHolder& r) {
             add_alignment(r, {MAPPED_0}, {0}, "");
             md(r).insert<int>("strand_id", 1);
             md(r).insert<int>("read_id", 2);
         },
         MAPPED_0 + "\tdx:i:0"},
        {"modified bases",
         [&](ReadHolder& r) {
             md(r).insert("base_mod_alphabet", std::string("C m"));
             add_bytes(r, dataset::base_mod_probs, {0, 0, 0, 200, 0, 0, 0, 0});
         },
         BASIC_FIELDS + "\tMM:Z:C+m.,0;\tML:B:C,200\tMN:i:4\tdx:i:0"},
        {"modified bases with context",
         [&](ReadHolder& r) {
             md(r).insert("base_mod_alphabet", std::string("C m"));
             md(r).insert("base_mod_context", std::string("_:XG:_:_"));
             add_bytes(r, dataset::base_mod_probs, {0, 0, 0, 3, 0, 0, 0, 0});
         },
         BASIC_FIELDS + "\tMM:Z:C+m?,0;\tML:B:C,3\tMN:i:4\tdx:i:0"},
        {"moves not asked for",
         [&](ReadHolder& r) {
             md(r).insert<unsigned long long>("model_stride", 5);
             add_bytes(r, dataset::movement, {1, 0, 200});
         },
         BASIC_FIELDS + "\tdx:i:0"},
    };
    for (const auto& c : cases) {
        ReadHolder read = basic_read();
        c.change(read);
        const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, false);
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_EQ(lines[0].sam_line, c.line) << c.name;
    }
}

TEST(SamExtractionTest, AddsMoveTableAndTagsOnlyToLineZero) {
    ReadHolder read = basic_read();
    add_alignment(read, {MAPPED_0, MAPPED_1}, {1, 1}, "b1\nb2");
    read.metadata.insert<unsigned long long>("model_stride", 5 + 256);  // low 8 bits count
    add_bytes(read, dataset::movement, {1, 0, 200});
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].sam_line, MAPPED_0 + "\tmv:B:c,5,1,0,127,73\tdx:i:0");
    EXPECT_EQ(lines[0].bed_lines, std::vector<std::string>{"b1"});
    EXPECT_EQ(lines[1].sam_line, MAPPED_1);
    EXPECT_EQ(lines[1].bed_lines, std::vector<std::string>{"b2"});

    read.datasets[dataset::movement].own(std::vector<unsigned char>());
    EXPECT_EQ(ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true)[0].sam_line,
              MAPPED_0 + "\tdx:i:0");
}

TEST(SamExtractionTest, EmptyAlignmentTableGivesUnmappedLine) {
    ReadHolder read = basic_read();
    read.datasets[dataset::align_results].own(ReadAlignmentHelper::create_alignment_table(0));
    const auto lines = ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, BASIC_FIELDS + "\tdx:i:0");
}

// Each case breaks the basic read; extraction must throw this type and text.
struct FailureCase {
    std::string name;
    std::function<void(ReadHolder&)> change;
    bool out_of_range;
    std::string message;  // empty: only the type is checked
};

TEST(SamExtractionTest, FailsWholeReadWithClearErrors) {
    const std::string nine_tabs = "r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT";
    const std::vector<FailureCase> cases = {
        {"malformed line 0", [&](ReadHolder& r) { add_alignment(r, {nine_tabs}, {0}, ""); }, false,
         "Malformed alignment SAM line: \n" + nine_tabs},
        {"no strand id", [](ReadHolder& r) { r.metadata.remove("strand_id"); }, true,
         "Key 'strand_id' not found."},
        {"strand id not a string", [](ReadHolder& r) { r.metadata.insert<int>("strand_id", 1); },
         true, "Key 'strand_id' not found."},
        {"no sequence", [](ReadHolder& r) { r.datasets.erase(dataset::sequence); }, false,
         "Read abc does not contain a sequence! Cannot generate SAM line."},
        {"no qstring", [](ReadHolder& r) { r.datasets.erase(dataset::qstring); }, false,
         "Read abc does not contain a qstring! Cannot generate SAM line."},
        {"no qstring, no read id",
         [](ReadHolder& r) {
             r.datasets.erase(dataset::qstring);
             r.metadata.remove("read_id");
         },
         true, "Key 'read_id' not found."},
        {"sequence not a string",
         [](ReadHolder& r) { add_bytes(r, dataset::sequence, {65, 67, 71, 84}); }, false,
         "Data does not view string data."},
        {"lengths differ", [](ReadHolder& r) { add_string(r, dataset::qstring, "+++"); }, false,
         "make_unmapped_sam_line failed: sequence and qscore do not match size!"},
        {"empty read name", [](ReadHolder& r) { r.metadata.insert("strand_id", std::string()); },
         false, "make_unmapped_sam_line failed: Empty read_name string provided!"},
        {"probabilities not bytes",
         [](ReadHolder& r) { add_string(r, dataset::base_mod_probs, "xx"); }, false,
         "Invalid array type requested."},
        {"probabilities of wrong size",
         [](ReadHolder& r) {
             r.metadata.insert("base_mod_alphabet", std::string("C m"));
             add_bytes(r, dataset::base_mod_probs, {1, 2, 3});
         },
         false,
         "generate_modbase_string failed: Mismatch between modbase_probs size and sequence "
         "length * num channels in modbase_alphabet!"},
        {"bad context",
         [](ReadHolder& r) {
             r.metadata.insert("base_mod_alphabet", std::string("C m"));
             r.metadata.insert("base_mod_context", std::string("_:CG:_:_"));
             add_bytes(r, dataset::base_mod_probs, std::vector<unsigned char>(8, 0));
         },
         false, "Invalid base modification context string."},
        {"moves without stride", [](ReadHolder& r) { add_bytes(r, dataset::movement, {1}); }, true,
         "Key 'model_stride' not found."},
        {"moves not bytes",
         [](ReadHolder& r) {
             r.metadata.insert<unsigned long long>("model_stride", 5);
             add_string(r, dataset::movement, "x");
         },
         false, "Invalid array type requested."},
        {"tag of wrong type", [](ReadHolder& r) { r.metadata.insert<int>("mux", 3); }, true,
         "Key 'mux' not found."},
        {"tab in read name", [](ReadHolder& r) { r.metadata.insert("strand_id", std::string("a\tb")); },
         false, ""},
        {"line break in time stamp",
         [](ReadHolder& r) { r.metadata.insert("time_stamp", std::string("2024\n")); }, false, ""},
        {"tab in file name",
         [](ReadHolder& r) { r.metadata.insert("filename", std::string("/d/a\tb.bin")); }, false,
         ""},
        {"line break in read id",
         [](ReadHolder& r) { r.metadata.insert("read_id", std::string("p\r")); }, false, ""},
        {"line break in sequence",
         [](ReadHolder& r) { add_string(r, dataset::sequence, "AC\nT"); }, false,
         "Cannot write sequence into a SAM line: it contains a tab or line break: 'AC\nT'"},
        {"tab in quality string", [](ReadHolder& r) { add_string(r, dataset::qstring, "++\t+"); },
         false, ""},
        {"tab in duplex name",
         [](ReadHolder& r) {
             r.metadata.insert("duplex_strand_1", std::string("p"));
             r.metadata.insert("duplex_strand_2", std::string("q\t"));
         },
         false, ""},
    };
    for (const auto& c : cases) {
        ReadHolder read = basic_read();
        c.change(read);
        try {
            ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 0, true);
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.out_of_range) << c.name << ": " << e.what();
            if (!c.message.empty()) {
                EXPECT_EQ(std::string(e.what()), c.message) << c.name;
            }
        } catch (const std::runtime_error& e) {
            EXPECT_FALSE(c.out_of_range) << c.name << ": " << e.what();
            if (!c.message.empty()) {
                EXPECT_EQ(std::string(e.what()), c.message) << c.name;
            }
        }
    }
}

TEST(SamExtractionTest, ServerLinesOperationKeepsMalformedLine) {
    ReadHolder read = basic_read();
    add_alignment(read, {"only\tnine"}, {0}, "");
    const auto lines = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sam_line, "only\tnine");
}

TEST(SamTagConstantsTest, HoldTagTypeAndColons) {
    namespace t = interfaces::bam_file_tags;
    const std::vector<std::pair<std::string, std::string>> tags = {
        {t::QSCORE_TAG, "qs:f:"},           {t::MUX_TAG, "mx:i:"},
        {t::CHANNEL_TAG, "ch:i:"},          {t::READ_NUMBER_TAG, "rn:i:"},
        {t::READ_START_TIME_TAG, "st:Z:"},  {t::QUILL_FILE_TAG, "yk:Z:"},
        {t::NUM_SAMPLES_TAG, "ns:i:"},      {t::TRIMMED_SAMPLES_TAG, "ts:i:"},
        {t::SCALING_MEDIAN_TAG, "sm:f:"},   {t::SCALING_DISPERSION_TAG, "sd:f:"},
        {t::SCALING_VERSION_TAG, "sv:Z:"},  {t::DUPLEX_TAG, "dx:i:"},
        {t::PARENT_READ_TAG, "pi:Z:"},      {t::DURATION_SECONDS_TAG, "du:f:"},
        {t::POLY_TAIL_LENGTH_TAG, "pt:i:"},
    };
    for (const auto& [constant, text] : tags) {
        EXPECT_EQ(constant, text);
    }
}

}  // namespace
