#include "bam/bgzf.h"

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>
#include <thread>
#include <string>
#include <vector>

#include "tests/bam/bam_test_support.h"

namespace {

namespace bgzf = kelp::bgzf;
using bam_test::bytes_of;
using bam_test::random_bytes;

struct Written {
    std::string bytes;
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t file_offset = 0;
    bool ok = false;
    std::string error;
};

Written write_blocks(const std::vector<char>& data, uint64_t file_offset = 0) {
    Written w;
    std::ostringstream out;
    w.file_offset = file_offset;
    w.ok = bgzf::write_BGZF_blocks(out, data, w.start, w.end, w.file_offset, w.error);
    w.bytes = out.str();
    return w;
}

// Reads every block of `bytes`: the data of each, in order. Fails the test on
// damage.
std::vector<std::vector<char>> read_blocks(const std::string& bytes) {
    std::istringstream in(bytes);
    std::vector<std::vector<char>> blocks;
    for (;;) {
        std::vector<char> data;
        std::string error;
        if (!bgzf::read_BGZF_block(in, data, error)) {
            EXPECT_EQ(error, "");
            break;
        }
        blocks.push_back(data);
    }
    return blocks;
}

std::string one_block(const std::string& text) {
    Written w = write_blocks(bytes_of(text));
    EXPECT_TRUE(w.ok);
    return w.bytes;
}

TEST(BgzfCrcTest, IsTheStandardCrc32) {
    EXPECT_EQ(bgzf::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(bgzf::crc32("", 0), 0u);
}

TEST(BgzfWriteTest, EmptyDataWritesNothingAndBothOffsetsAreTheFileOffset) {
    Written w = write_blocks({}, 7);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.bytes, "");
    EXPECT_EQ(w.start, 7u << 16);
    EXPECT_EQ(w.end, 7u << 16);
    EXPECT_EQ(w.file_offset, 7u);
}

TEST(BgzfWriteTest, ChunksIntoBlocksThatReadBack) {
    struct Case {
        std::string name;
        std::vector<char> data;
        std::vector<size_t> block_sizes;
    };
    std::vector<char> mixed = random_bytes(70000, 3);
    mixed.insert(mixed.end(), 200000, 'A');
    const std::vector<Case> cases = {
        {"small text", bytes_of("hello, world"), {12}},
        {"highly compressible zeros", std::vector<char>(100000, 0), {65536, 34464}},
        {"exactly one full block", std::vector<char>(65536, 'x'), {65536}},
        // Incompressible chunks do not fit one block and are halved.
        {"incompressible", random_bytes(65536, 1), {32768, 32768}},
        {"incompressible then compressible", mixed, {32768, 65536, 65536, 65536, 40624}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Written w = write_blocks(c.data, 10);
        ASSERT_TRUE(w.ok);
        // A halved chunk leaves no text of its failed first attempt behind.
        EXPECT_EQ(w.error, "");
        EXPECT_EQ(w.start, 10u << 16);
        EXPECT_EQ(w.file_offset, 10 + w.bytes.size());
        EXPECT_EQ(w.end, w.file_offset << 16);

        std::vector<size_t> sizes;
        std::vector<char> joined;
        for (const auto& block : read_blocks(w.bytes)) {
            sizes.push_back(block.size());
            joined.insert(joined.end(), block.begin(), block.end());
        }
        EXPECT_EQ(sizes, c.block_sizes);
        EXPECT_TRUE(joined == c.data);
    }
}

TEST(BgzfWriteTest, BlocksStartWithTheFixedHeaderAndCarryTheirSize) {
    const std::string block = one_block("abc");
    ASSERT_GE(block.size(), 26u);
    EXPECT_EQ(block.substr(0, 16), bgzf::HEADER_BYTES);
    const size_t bsize = static_cast<unsigned char>(block[16]) |
                         (static_cast<unsigned char>(block[17]) << 8);
    EXPECT_EQ(bsize + 1, block.size());
}

TEST(BgzfWriteTest, PackedBlocksWriteTheSameBytesAndOffsets) {
    std::vector<char> data = random_bytes(40000, 5);
    data.insert(data.end(), 90000, 'q');
    const Written direct = write_blocks(data, 123);

    std::vector<char> packed = bytes_of("kept");
    std::string error;
    ASSERT_TRUE(bgzf::pack_BGZF_blocks(packed, data, error));
    EXPECT_EQ(error, "");
    ASSERT_EQ(std::string(packed.begin(), packed.begin() + 4), "kept");  // appended, not cleared
    packed.erase(packed.begin(), packed.begin() + 4);

    std::ostringstream out;
    uint64_t start = 0, end = 0, file_offset = 123;
    ASSERT_TRUE(bgzf::write_packed_BGZF_blocks(out, packed, start, end, file_offset, error));
    EXPECT_EQ(out.str(), direct.bytes);
    EXPECT_EQ(start, direct.start);
    EXPECT_EQ(end, direct.end);
    EXPECT_EQ(file_offset, direct.file_offset);
}

// Accepts `room` bytes, then fails every write.
class LimitedBuffer : public std::streambuf {
  public:
    explicit LimitedBuffer(size_t room) : m_room(room) {}
    std::string written;

  protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto take = std::min<std::streamsize>(n, static_cast<std::streamsize>(m_room));
        written.append(s, static_cast<size_t>(take));
        m_room -= static_cast<size_t>(take);
        return take;
    }
    int_type overflow(int_type) override { return traits_type::eof(); }

  private:
    size_t m_room;
};

TEST(BgzfWriteTest, AFailedStreamWriteIsReportedAndOnlyWholeBlocksAreCounted) {
    const std::vector<char> data(100000, 0);
    const Written whole = write_blocks(data);
    const size_t first_block_size = 1 + (static_cast<unsigned char>(whole.bytes[16]) |
                                         (static_cast<unsigned char>(whole.bytes[17]) << 8));

    LimitedBuffer buffer(first_block_size + 5);  // the second block fails part-way
    std::ostream out(&buffer);
    uint64_t start = 0, end = 0, file_offset = 2;
    std::string error;
    EXPECT_FALSE(bgzf::write_BGZF_blocks(out, data, start, end, file_offset, error));
    EXPECT_EQ(error, "Failed to write BGZF blocks to the output stream");
    EXPECT_EQ(file_offset, 2 + first_block_size);

    std::vector<char> packed;
    ASSERT_TRUE(bgzf::pack_BGZF_blocks(packed, data, error));
    LimitedBuffer none(0);
    std::ostream refused(&none);
    file_offset = 2;
    error.clear();
    EXPECT_FALSE(bgzf::write_packed_BGZF_blocks(refused, packed, start, end, file_offset, error));
    EXPECT_EQ(error, "Failed to write BGZF blocks to the output stream");
    EXPECT_EQ(file_offset, 2u);
}

TEST(BgzfReadTest, EndOfFileBlockGivesNoDataAndTheEndOfInputLeavesTheErrorAlone) {
    std::istringstream in(one_block("xyz") + bam_test::BGZF_EOF);
    std::vector<char> out;
    std::string error = "untouched";
    ASSERT_TRUE(bgzf::read_BGZF_block(in, out, error));
    ASSERT_TRUE(bgzf::read_BGZF_block(in, out, error));
    EXPECT_EQ(std::string(out.begin(), out.end()), "xyz");
    EXPECT_FALSE(bgzf::read_BGZF_block(in, out, error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(out.size(), 3u);
}

TEST(BgzfReadTest, DamagedBlocksAreRefusedWithTheirReason) {
    const std::string good = one_block("The quick brown fox jumps over the lazy dog");
    const size_t n = good.size();
    const size_t compressed = n - 26;
    const std::string unzip = "BGZF block did not unzip correctly in file: ";
    struct Case {
        std::string name;
        std::string bytes;
        std::string error;
    };
    auto with = [&](size_t at, const std::string& replacement) {
        std::string b = good;
        b.replace(at, replacement.size(), replacement);
        return b;
    };
    auto isize = [&](uint32_t value) {
        std::string b = good;
        bam_test::set_le<uint32_t>(b, n - 4, value);
        return b;
    };
    // A valid deflate stream of no data, then bytes the stream never reads.
    std::string trailing = good.substr(0, 18) + std::string("\x03\x00zz", 4) + std::string(8, '\0');
    bam_test::set_le<uint16_t>(trailing, 16, static_cast<uint16_t>(trailing.size() - 1));
    std::string empty_payload = good.substr(0, 16) + std::string("\x19\x00", 2) + std::string(8, '\0');
    std::string garbage = good;
    for (size_t i = 18; i < 18 + compressed; ++i) {
        garbage[i] = '\xff';
    }

    const std::vector<Case> cases = {
        {"not deflate", with(3, std::string(1, '\0')), "Encountered malformed BGZF header in file"},
        {"bad magic", with(0, "\x1e"), "Encountered malformed BGZF header in file"},
        {"XLEN 8", with(10, "\x08"), "Encountered unknown sub fields in BGZF header in file"},
        {"subfield id", with(12, "BD"), "Encountered malformed BGZF subfield in file"},
        {"SLEN 3", with(14, "\x03"), "Encountered malformed BGZF subfield in file"},
        {"BSIZE 20", with(16, std::string("\x14\x00", 2)), "Encountered over-sized BGZF block in file"},
        {"CRC changed", with(n - 8, std::string(1, static_cast<char>(good[n - 8] ^ 1))),
         "CRC mismatch after decompressing BGZF block!"},
        {"ISIZE one more", isize(44), unzip + "Inflate did not produce expected amount of data"},
        {"ISIZE one less", isize(42), unzip + "Inflate failed with error code -5"},
        // A block claiming no data must not swallow the data it holds.
        {"ISIZE 0 over data", isize(0), unzip + "Inflate failed with error code -5"},
        {"ISIZE above 64 KiB", isize(65537), unzip + "Arguments to decompress_data incorrect"},
        {"no deflate stream", empty_payload, unzip + "Inflate failed with error code -5"},
        {"bytes after the stream", trailing, unzip + "Inflate left compressed data unused"},
        {"garbage payload", garbage, unzip + "Inflate failed with error code -3"},
        // The input ending inside a block is damage, not the end of the input.
        {"header cut short", good.substr(0, 10), "Encountered truncated BGZF block header in file"},
        {"one byte", good.substr(0, 1), "Encountered truncated BGZF block header in file"},
        {"payload cut short", good.substr(0, 30), "Encountered truncated BGZF block in file"},
        {"trailer cut short", good.substr(0, n - 1), "Encountered truncated BGZF block in file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.bytes);
        std::vector<char> out = bytes_of("before");
        std::string error;
        EXPECT_FALSE(bgzf::read_BGZF_block(in, out, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(std::string(out.begin(), out.end()), "before");
    }
}

TEST(BgzfWriteTest, ThreadsEachUseTheirOwnStreams) {
    std::vector<std::vector<char>> inputs;
    std::vector<std::string> expected;
    for (uint32_t i = 0; i < 4; ++i) {
        inputs.push_back(random_bytes(30000, i));
        inputs.back().insert(inputs.back().end(), 100000, static_cast<char>('a' + i));
        expected.push_back(write_blocks(inputs.back()).bytes);
    }
    std::vector<std::string> results(inputs.size());
    std::vector<int> read_back(inputs.size(), 0);  // not vector<bool>: threads write neighbours
    std::vector<std::thread> threads;
    for (size_t i = 0; i < inputs.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) {
                std::vector<char> packed;
                std::string error;
                bgzf::pack_BGZF_blocks(packed, inputs[i], error);
                results[i] = std::string(packed.begin(), packed.end());
                std::istringstream in(results[i]);
                std::vector<char> data;
                while (bgzf::read_BGZF_block(in, data, error)) {
                }
                read_back[i] = error.empty() && data == inputs[i];
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(results[i], expected[i]);
        EXPECT_TRUE(read_back[i]);
    }
}

TEST(BgzfOracleTest, BgzipAcceptsWhatWeWriteAndWeReadWhatBgzipWrites) {
    REQUIRE_TOOL("bgzip");
    bam_test::TempDir dir;
    std::vector<char> mixed = random_bytes(100000, 9);
    mixed.insert(mixed.end(), 300000, 'G');
    const std::string text = [] {
        std::string t;
        for (int i = 0; i < 20000; ++i) t += "line " + std::to_string(i) + "\n";
        return t;
    }();
    const std::vector<std::pair<std::string, std::vector<char>>> inputs = {
        {"empty", {}},
        {"zeros", std::vector<char>(1000000, 0)},
        {"incompressible", random_bytes(200000, 4)},
        {"mixed", mixed},
        {"text", bytes_of(text)},
    };
    for (const auto& [name, data] : inputs) {
        SCOPED_TRACE(name);
        const std::string ours = dir.file(name + ".ours.gz");
        const Written w = write_blocks(data);
        ASSERT_TRUE(w.ok);
        bam_test::write_file(ours, w.bytes + bam_test::BGZF_EOF);
        EXPECT_EQ(bam_test::run("bgzip -t " + ours + " 2>&1").status, 0);
        const auto unpacked = bam_test::run("bgzip -dc " + ours);
        EXPECT_EQ(unpacked.status, 0);
        EXPECT_TRUE(unpacked.out == std::string(data.begin(), data.end()));

        const std::string plain = dir.file(name);
        bam_test::write_file(plain, std::string(data.begin(), data.end()));
        ASSERT_EQ(bam_test::run("bgzip -c " + plain + " > " + plain + ".gz").status, 0);
        std::vector<char> joined;
        for (const auto& block : read_blocks(bam_test::read_file(plain + ".gz"))) {
            joined.insert(joined.end(), block.begin(), block.end());
        }
        EXPECT_TRUE(joined == data);
    }
}

}  // namespace
