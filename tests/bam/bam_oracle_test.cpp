// Round trips through the reference tools: BAM files written here must read
// back the same in samtools and pysam, and BAM files written by samtools must
// read the same here.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bam_index.h"
#include "bam/bam_record.h"
#include "bam/bam_utils.h"
#include "bam/bgzf.h"
#include "tests/bam/bam_test_support.h"

namespace {

using bam_test::put_le;
using bam_test::run;
using bam_test::split;
using kelp::bam::RefSeq;
namespace util = kelp::bam::util;
namespace bgzf = kelp::bgzf;

const std::vector<RefSeq> REFS = {{"chr1", 300000}, {"chr2", 100000}, {"chrEmpty", 5000}};

std::string random_bases(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string out(count, 'A');
    for (char& c : out) c = "ACGT"[generator() % 4];
    return out;
}

std::string sam_lines_text() {
    std::vector<std::string> lines = {
        "allops\t0\tchr1\t100\t60\t1H1S3M1I2D1N1P1=1X\t*\t0\t0\tACGTACG\tIIIIIII",
        "noseq\t0\tchr1\t16384\t0\t5M\t*\t0\t0\t*\t*",
        "noqual\t16\tchr1\t16384\t3\t4M\t*\t0\t0\tACGT\t*",
        "binedge\t0\tchr1\t16383\t30\t2M\t*\t0\t0\tAC\t!~",
        "placed_unmapped\t4\tchr1\t16385\t0\t*\t=\t16385\t0\tAC\tII",
        "mate\t99\tchr1\t131072\t60\t4M\t=\t131200\t132\tGGCC\tABCD",
        "mate_other\t97\tchr1\t131073\t60\t4M\tchr2\t1\t0\tTTAA\tABCD",
        "aux\t16\tchr2\t131\t255\t4M\tchr1\t100\t-50\tACGT\tABCD\tXA:A:x\tXi:i:-2147483648"
        "\tXj:i:2147483647\tXf:f:1.5\tXZ:Z:hello world\tXH:H:1AE301\tBc:B:c,-128,0,127"
        "\tBC:B:C,0,255\tBs:B:s,-32768,32767\tBS:B:S,0,65535\tBi:B:i,-2147483648,2147483647"
        "\tBI:B:I,0,4294967295\tBf:B:f,-1.5,0.25\tBE:B:c",
        "unmapped1\t4\t*\t0\t0\t*\t*\t0\t0\tACGTN\t#####",
        "unmapped2\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*",
        std::string(254, 'q') + "\t0\tchr2\t99999\t1\t2M\t*\t0\t0\tAC\tII",
    };
    for (int i = 0; i < 20; ++i) {
        lines.push_back("many" + std::to_string(i) + "\t0\tchr2\t" + std::to_string(1000 + 97 * i) +
                        "\t40\t3M\t*\t0\t0\tCAT\tIII\tNM:i:" + std::to_string(i));
    }
    // A long read whose CIGAR needs the CG form: 70000 operations.
    std::string cigar;
    for (int i = 0; i < 35000; ++i) cigar += "2M1I";
    const std::string seq = random_bases(105000, 7);
    lines.push_back("long\t0\tchr1\t1000\t60\t" + cigar + "\t*\t0\t0\t" + seq + "\t" +
                    std::string(seq.size(), 'F') + "\tNM:i:35000");
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

std::string sam_header_text() {
    std::string text = "@HD\tVN:1.6\tSO:coordinate\n";
    for (const RefSeq& ref : REFS) {
        text += "@SQ\tSN:" + ref.name + "\tLN:" + std::to_string(ref.length) + "\n";
    }
    return text;
}

// The lines in the order the file holds them: stable by sorting key.
std::vector<std::string> sorted_lines() {
    std::vector<std::pair<uint64_t, std::string>> keyed;
    for (const std::string& line : split(sam_lines_text(), '\n')) {
        uint64_t key = 0;
        std::string error;
        EXPECT_TRUE(util::parse_sam_line_get_sorting_key(line, key, REFS, error)) << error;
        keyed.emplace_back(key, line);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (auto& entry : keyed) out.push_back(entry.second);
    return out;
}

// A BAM file: header block, then each line packed into blocks of its own and
// written in key order, then the end-of-file block.
void write_bam(const std::string& path) {
    std::string header("BAM\x01", 4);
    const std::string text = sam_header_text();
    put_le<int32_t>(header, static_cast<int32_t>(text.size()));
    header += text;
    put_le<int32_t>(header, static_cast<int32_t>(REFS.size()));
    for (const RefSeq& ref : REFS) {
        put_le<int32_t>(header, static_cast<int32_t>(ref.name.size() + 1));
        header += ref.name + '\0';
        put_le<int32_t>(header, static_cast<int32_t>(ref.length));
    }
    std::ofstream out(path, std::ios::binary);
    uint64_t start = 0, end = 0, file_offset = 0;
    std::string error;
    ASSERT_TRUE(bgzf::write_BGZF_blocks(out, bam_test::bytes_of(header), start, end, file_offset,
                                        error));

    kelp::bam::AlignmentFileHeader alignment_header{REFS};
    std::vector<std::pair<uint64_t, std::vector<char>>> packed;
    for (const std::string& line : split(sam_lines_text(), '\n')) {
        std::vector<char> blocks;
        kelp::bam::BamRecordIndexFileInfo info;
        uint64_t key = 0;
        ASSERT_TRUE(util::pack_sam_line_to_BGZF_blocks(blocks, info, key, line, alignment_header,
                                                       error))
            << error << "\n" << line.substr(0, 200);
        packed.emplace_back(key, std::move(blocks));
    }
    std::stable_sort(packed.begin(), packed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : packed) {
        ASSERT_TRUE(bgzf::write_packed_BGZF_blocks(out, entry.second, start, end, file_offset, error));
    }
    out << bam_test::BGZF_EOF;
    ASSERT_TRUE(out.good());
}

// Reads a whole BAM file with this library: the SAM line of every record.
std::vector<std::string> read_bam(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> data;
    std::string error;
    while (bgzf::read_BGZF_block(in, data, error)) {
    }
    EXPECT_EQ(error, "");
    std::string bytes(data.begin(), data.end());
    auto le32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
        return v;
    };
    EXPECT_EQ(bytes.substr(0, 4), util::BAM_MAGIC_WORD);
    size_t at = 8 + le32(4);
    std::vector<RefSeq> refs(le32(at));
    at += 4;
    for (RefSeq& ref : refs) {
        const uint32_t l_name = le32(at);
        ref.name = bytes.substr(at + 4, l_name - 1);
        ref.length = le32(at + 4 + l_name);
        at += 8 + l_name;
    }
    kelp::bam::io::IOBuffer buffer{bytes.data(), bytes.size(), at};
    std::vector<std::string> lines;
    kelp::bam::BamRecord record;
    while (buffer.position < buffer.size) {
        if (!record.deserialise(buffer, refs, error)) {
            ADD_FAILURE() << error;
            break;
        }
        lines.push_back(record.sam_line);
    }
    return lines;
}

// This library writes 0 in the TLEN column.
std::string with_zero_tlen(const std::string& line) {
    auto fields = split(line, '\t');
    if (fields.size() > 8) fields[8] = "0";
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) out += (i ? "\t" : "") + fields[i];
    return out;
}

void expect_same_records(const std::vector<std::string>& actual,
                         const std::vector<std::string>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].substr(0, 120));
        EXPECT_EQ(split(actual[i], '\t'), split(expected[i], '\t'));
    }
}

class BamOracleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TOOL("samtools");
        REQUIRE_TOOL("bgzip");
        bam = dir.file("ours.bam");
        write_bam(bam);
    }
    bam_test::TempDir dir;
    std::string bam;
};

TEST_F(BamOracleTest, SamtoolsAndBgzipAcceptOurFileAndSeeTheSameRecords) {
    EXPECT_EQ(run("samtools quickcheck -v " + bam + " 2>&1").status, 0);
    EXPECT_EQ(run("bgzip -t " + bam + " 2>&1").status, 0);
    const auto view = run("samtools view " + bam + " 2>&1");
    ASSERT_EQ(view.status, 0) << view.out;
    expect_same_records(split(view.out, '\n'), sorted_lines());
    const auto header = run("samtools view -H --no-PG " + bam);
    EXPECT_EQ(header.out, sam_header_text());
}

TEST_F(BamOracleTest, WeReadOurFileBack) {
    std::vector<std::string> expected;
    for (const auto& line : sorted_lines()) expected.push_back(with_zero_tlen(line));
    expect_same_records(read_bam(bam), expected);
}

TEST_F(BamOracleTest, PysamSeesTheStoredTypesOfOptionalFields) {
    ASSERT_EQ(run("/usr/bin/python3 -c 'import pysam' 2>&1").status, 0)
        << "pysam is missing; run scripts/setup.sh";
    const std::string script =
        "import pysam\n"
        "with pysam.AlignmentFile('" + bam + "', check_sq=False) as f:\n"
        "    for r in f:\n"
        "        if r.query_name != 'aux': continue\n"
        "        for tag, value, kind in r.get_tags(with_value_type=True):\n"
        "            code = value.typecode if kind == 'B' else ''\n"
        "            shown = list(value) if kind == 'B' else value\n"
        "            print(tag, kind, code, shown)\n";
    bam_test::write_file(dir.file("tags.py"), script);
    const auto out = run("/usr/bin/python3 " + dir.file("tags.py"));
    ASSERT_EQ(out.status, 0) << out.out;
    EXPECT_EQ(out.out,
              "XA A  x\n"
              "Xi i  -2147483648\n"
              "Xj i  2147483647\n"
              "Xf f  1.5\n"
              "XZ Z  hello world\n"
              "XH H  1AE301\n"
              "Bc B b [-128, 0, 127]\n"
              "BC B B [0, 255]\n"
              "Bs B h [-32768, 32767]\n"
              "BS B H [0, 65535]\n"
              "Bi B i [-2147483648, 2147483647]\n"
              "BI B I [0, 4294967295]\n"
              "Bf B f [-1.5, 0.25]\n"
              "BE B b []\n");
}

TEST_F(BamOracleTest, WeReadWhatSamtoolsWrites) {
    const std::string sam = dir.file("input.sam");
    const std::string theirs = dir.file("theirs.bam");
    bam_test::write_file(sam, sam_header_text() + sam_lines_text());
    ASSERT_EQ(run("samtools sort -o " + theirs + " " + sam + " 2>&1").status, 0);
    const auto view = run("samtools view " + theirs);
    ASSERT_EQ(view.status, 0);
    std::vector<std::string> expected;
    for (const auto& line : split(view.out, '\n')) expected.push_back(with_zero_tlen(line));
    expect_same_records(read_bam(theirs), expected);
}

// Per reference: mapped and placed-unmapped counts; the last entry is the
// count of reads without coordinates.
std::vector<std::pair<uint64_t, uint64_t>> counts_from_dump(const std::string& text, size_t n_ref) {
    std::vector<std::pair<uint64_t, uint64_t>> counts(n_ref + 1);
    int ref = -1;
    for (const std::string& line : split(text, '\n')) {
        int bins = 0;
        unsigned long long a, b, c, d, mapped, unmapped;
        if (sscanf(line.c_str(), "Ref %d has %d bins", &ref, &bins) == 2) continue;
        if (sscanf(line.c_str(), "Magic bin says placed unmapped begin %llu,%llu end %llu,%llu, num mapped %llu, unmapped %llu",
                   &a, &b, &c, &d, &mapped, &unmapped) == 6) {
            counts.at(static_cast<size_t>(ref)) = {mapped, unmapped};
        }
        if (sscanf(line.c_str(), "Got n_no_coor %llu", &unmapped) == 1) {
            counts.back() = {0, unmapped};
        }
    }
    return counts;
}

TEST_F(BamOracleTest, IndexDumpAgreesWithSamtoolsIdxstats) {
    ASSERT_EQ(run("samtools index " + bam + " 2>&1").status, 0);
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    std::string error;
    const bool ok = util::print_index_from_file(bam + ".bai", error);
    std::cout.rdbuf(old);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(captured.str().find("Error:"), std::string::npos);

    const auto counts = counts_from_dump(captured.str(), REFS.size());
    const auto stats = run("samtools idxstats " + bam);
    ASSERT_EQ(stats.status, 0);
    const auto rows = split(stats.out, '\n');
    ASSERT_EQ(rows.size(), REFS.size() + 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i]);
        const auto columns = split(rows[i], '\t');
        ASSERT_EQ(columns.size(), 4u);
        EXPECT_EQ(std::to_string(counts[i].first), columns[2]);
        EXPECT_EQ(std::to_string(counts[i].second), columns[3]);
    }
    // Our expectations of the file, so a dump that found nothing cannot pass.
    EXPECT_EQ(counts[0], (std::pair<uint64_t, uint64_t>{7, 1}));
    EXPECT_EQ(counts[1], (std::pair<uint64_t, uint64_t>{22, 0}));
    EXPECT_EQ(counts[3], (std::pair<uint64_t, uint64_t>{0, 2}));
}

}  // namespace
