#include "bam/bam_index.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "tests/bam/bam_test_support.h"

namespace {

using bam_test::put_le;
namespace util = kelp::bam::util;

struct Dump {
    bool ok = false;
    std::string out;
    std::string error;
};

Dump dump(const std::string& path) {
    Dump d;
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    d.ok = util::print_index_from_file(path, d.error);
    std::cout.rdbuf(old);
    d.out = captured.str();
    return d;
}

Dump dump_bytes(const std::string& bytes) {
    bam_test::TempDir dir;
    const std::string path = dir.file("index.bai");
    bam_test::write_file(path, bytes);
    return dump(path);
}

std::string header(int32_t n_ref) {
    std::string b("BAI\x01", 4);
    put_le<int32_t>(b, n_ref);
    return b;
}

// One reference: bin 4681 with one chunk, the pseudo-bin, two linear
// intervals; then n_no_coor 5.
std::string one_reference_index(bool with_no_coor = true) {
    std::string b = header(1);
    put_le<int32_t>(b, 2);  // bins
    put_le<uint32_t>(b, 4681);
    put_le<int32_t>(b, 1);
    put_le<uint64_t>(b, (uint64_t{100} << 16) | 3);
    put_le<uint64_t>(b, uint64_t{200} << 16);
    put_le<uint32_t>(b, 37450);
    put_le<int32_t>(b, 2);
    put_le<uint64_t>(b, (uint64_t{100} << 16) | 3);
    put_le<uint64_t>(b, (uint64_t{300} << 16) | 7);
    put_le<uint64_t>(b, 12);
    put_le<uint64_t>(b, 2);
    put_le<int32_t>(b, 2);  // linear intervals
    put_le<uint64_t>(b, (uint64_t{100} << 16) | 3);
    put_le<uint64_t>(b, uint64_t{150} << 16);
    if (with_no_coor) {
        put_le<uint64_t>(b, 5);
    }
    return b;
}

const std::string ONE_REFERENCE_TEXT =
    "n_ref is 1\n"
    "\n"
    "Ref 0 has 2 bins\n"
    "Ref 0 bin 4681 has 1 chunks\n"
    "Start is file offset 100 block offset 3\n"
    "End is file offset 200 block offset 0\n"
    "Ref 0 bin 37450 has 2 chunks\n"
    "Magic bin says placed unmapped begin 100,3 end 300,7, num mapped 12, unmapped 2\n"
    "Ref 0 has 1 total real chunks\n"
    "Ref 0 has 2 linear intervals\n"
    "Linear file offset 100 block offset 3 (0 - 16383)\n"
    "Linear file offset 150 block offset 0 (16384 - 32767)\n";

TEST(BamIndexDumpTest, PrintsEveryPartOfTheIndex) {
    struct Case {
        std::string name;
        std::string bytes;
        std::string text;
    };
    std::string no_coor_only = header(0);
    put_le<uint64_t>(no_coor_only, 5);
    const std::vector<Case> cases = {
        {"no references", header(0), "n_ref is 0\n"},
        {"no references, n_no_coor", no_coor_only, "n_ref is 0\nGot n_no_coor 5\n"},
        {"negative reference count", header(-3), "n_ref is -3\n"},
        {"one reference", one_reference_index(), ONE_REFERENCE_TEXT + "Got n_no_coor 5\n"},
        {"without n_no_coor", one_reference_index(false), ONE_REFERENCE_TEXT},
        {"trailing bytes", one_reference_index() + "x",
         ONE_REFERENCE_TEXT + "Got n_no_coor 5\nError: more bytes available in the index file!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dump d = dump_bytes(c.bytes);
        EXPECT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.error, "");
        EXPECT_EQ(d.out, c.text);
    }
}

TEST(BamIndexDumpTest, RefusesFilesThatAreNotIndexes) {
    bam_test::TempDir dir;
    const std::string missing = dir.file("missing.bai");
    Dump d = dump(missing);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, "Cannot open index file " + missing);
    EXPECT_EQ(d.out, "");

    const std::string bam = dir.file("file.bam");
    std::string bytes("BAM\x01", 4);
    put_le<int32_t>(bytes, 0);
    bam_test::write_file(bam, bytes);
    d = dump(bam);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, "Encountered malformed BAI header in file " + bam);

    const std::string bad_bin = dir.file("bad_bin.bai");
    bytes = header(1);
    put_le<int32_t>(bytes, 1);
    put_le<uint32_t>(bytes, 37450);
    put_le<int32_t>(bytes, 3);
    bytes += std::string(48, '\0');
    bam_test::write_file(bad_bin, bytes);
    d = dump(bad_bin);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, "Encountered malformed magic bin in index file " + bad_bin);
    EXPECT_EQ(d.out, "n_ref is 1\n\nRef 0 has 1 bins\nRef 0 bin 37450 has 3 chunks\n");
}

TEST(BamIndexDumpTest, AFileEndingPartWayIsDamageWhereverItEnds) {
    bam_test::TempDir dir;
    const std::string path = dir.file("cut.bai");
    const std::string full = one_reference_index();
    const size_t without_no_coor = one_reference_index(false).size();
    for (size_t length = 0; length < full.size(); ++length) {
        SCOPED_TRACE(length);
        bam_test::write_file(path, full.substr(0, length));
        const Dump d = dump(path);
        if (length == without_no_coor) {
            EXPECT_TRUE(d.ok);  // n_no_coor is optional
        } else if (length < 8) {
            EXPECT_FALSE(d.ok);
            EXPECT_EQ(d.error, "Encountered malformed BAI header in file " + path);
        } else {
            EXPECT_FALSE(d.ok);
            EXPECT_EQ(d.error, "Index file ends part-way through its content: " + path);
        }
    }

    // Huge counts over a short file stop at its end.
    std::string bytes = header(0x7FFFFFFF);
    put_le<int32_t>(bytes, 0x7FFFFFFF);
    bam_test::write_file(path, bytes);
    const Dump d = dump(path);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, "Index file ends part-way through its content: " + path);
}

}  // namespace
