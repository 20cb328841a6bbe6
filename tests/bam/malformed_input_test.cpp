// Seeded random damage to valid inputs: every reader must answer with a
// result (false with a reason on refusal) and never crash, throw or read
// outside its input. Run under the sanitizers this catches over-reads that the
// tables of named cases miss.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "bam/bam_utils.h"
#include "bam/bgzf.h"
#include "tests/bam/bam_test_support.h"

namespace {

using kelp::bam::BamRecord;
using kelp::bam::RefSeq;
namespace util = kelp::bam::util;

const std::vector<RefSeq> REFS = {{"chr1", 0}, {"chr2", 0}};
const std::string LINE =
    "read1\t16\tchr1\t100\t60\t2S3M1I2M\tchr2\t50\t-30\tACGTACGT\tIIIIHHHH\tNM:i:1\tXf:f:2.5"
    "\tXZ:Z:text\tXA:A:c\tBs:B:s,-1,300\tBf:B:f,1.5";

std::string damaged(std::string bytes, std::mt19937& generator) {
    const int changes = 1 + static_cast<int>(generator() % 3);
    for (int i = 0; i < changes && !bytes.empty(); ++i) {
        const size_t at = generator() % bytes.size();
        switch (generator() % 3) {
            case 0: bytes[at] = static_cast<char>(generator() & 0xFF); break;
            case 1: bytes[at] = static_cast<char>(bytes[at] ^ (1 << (generator() % 8))); break;
            default: bytes.resize(at); break;
        }
    }
    return bytes;
}

std::string record_block() {
    BamRecord record;
    std::string error;
    EXPECT_TRUE(util::parse_sam_line_to_bam_record(LINE, record, REFS, error)) << error;
    std::vector<char> out;
    EXPECT_TRUE(record.serialise(out, error)) << error;
    return std::string(out.begin(), out.end());
}

void check_record(const std::string& bytes) {
    BamRecord record;
    kelp::bam::io::IOBuffer buffer{bytes.data(), bytes.size(), 0};
    std::string error;
    bool ok = false;
    ASSERT_NO_THROW(ok = record.deserialise(buffer, REFS, error));
    ASSERT_LE(buffer.position, bytes.size());
    if (ok) {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_NE(error, "");
        EXPECT_EQ(record.read_name, "");
    }
}

TEST(MalformedInputTest, RecordBlocksCutAtEveryLengthOrRandomlyDamaged) {
    const std::string good = record_block();
    for (size_t length = 0; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        check_record(good.substr(0, length));
    }
    std::mt19937 generator(1234);
    for (int i = 0; i < 5000; ++i) {
        check_record(damaged(good, generator));
    }
}

TEST(MalformedInputTest, BgzfBlocksRandomlyDamaged) {
    std::ostringstream out;
    uint64_t start = 0, end = 0, offset = 0;
    std::string error;
    ASSERT_TRUE(kelp::bgzf::write_BGZF_blocks(out, bam_test::bytes_of(LINE + LINE), start, end,
                                              offset, error));
    const std::string good = out.str();
    std::mt19937 generator(99);
    for (int i = 0; i < 5000; ++i) {
        std::istringstream in(damaged(good, generator));
        std::vector<char> data;
        std::string reason;
        bool ok = false;
        ASSERT_NO_THROW(ok = kelp::bgzf::read_BGZF_block(in, data, reason));
        if (ok) {
            // Only the unchecked header bytes (MTIME, XFL, OS) may change and
            // still read: the data then comes back whole.
            EXPECT_EQ(std::string(data.begin(), data.end()), LINE + LINE);
        } else {
            EXPECT_TRUE(data.empty());
        }
    }
}

TEST(MalformedInputTest, SamLinesRandomlyDamaged) {
    std::mt19937 generator(7);
    BamRecord record;
    for (int i = 0; i < 5000; ++i) {
        const std::string line = damaged(LINE, generator);
        std::string error;
        bool ok = false;
        ASSERT_NO_THROW(ok = util::parse_sam_line_to_bam_record(line, record, REFS, error));
        if (ok) {
            // What parses must also serialise and read back.
            std::vector<char> block;
            ASSERT_TRUE(record.serialise(block, error)) << error << "\n" << line;
            check_record(std::string(block.begin(), block.end()));
        } else {
            EXPECT_NE(error, "");
        }
    }
}

}  // namespace
