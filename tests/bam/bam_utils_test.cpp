#include "bam/bam_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bam/bgzf.h"

namespace {

using kelp::bam::AlignmentFileHeader;
using kelp::bam::AuxNumericalArray;
using kelp::bam::BamRecord;
using kelp::bam::RefSeq;
namespace util = kelp::bam::util;

const std::vector<RefSeq> REFS = {{"chr1", 0}, {"chr2", 0}};
const std::string MALFORMED = "Malformed SAM line detected";

// The eleven mandatory columns, each replaceable, then optional fields.
struct Line {
    std::string qname = "r1", flag = "0", rname = "chr1", pos = "100", mapq = "60",
                cigar = "10M", rnext = "*", pnext = "0", tlen = "0", seq = "ACGTACGTAC",
                qual = "IIIIIIIIII";
    std::string tail;  // appended as is after QUAL
    std::string text() const {
        return qname + "\t" + flag + "\t" + rname + "\t" + pos + "\t" + mapq + "\t" + cigar + "\t" +
               rnext + "\t" + pnext + "\t" + tlen + "\t" + seq + "\t" + qual + tail;
    }
};

BamRecord parsed(const std::string& line) {
    BamRecord r;
    std::string error;
    EXPECT_TRUE(util::parse_sam_line_to_bam_record(line, r, REFS, error)) << error;
    EXPECT_EQ(error, "");
    return r;
}

template <typename T>
std::vector<T> elements(const AuxNumericalArray& a) {
    std::vector<T> out(a.count);
    std::memcpy(out.data(), a.data.data(), a.data.size());
    return out;
}

TEST(SamParseTest, MandatoryColumnsFillTheRecord) {
    const Line line;
    const BamRecord r = parsed(line.text());
    EXPECT_EQ(r.read_name, "r1");
    EXPECT_EQ(r.ref_id, 0);
    EXPECT_EQ(r.pos, 99);
    EXPECT_EQ(r.mapq, 60);
    EXPECT_EQ(r.ref_length, 10u);
    EXPECT_EQ(r.bin, 4681);
    EXPECT_EQ(r.next_ref_id, -1);
    EXPECT_EQ(r.next_pos, -1);
    EXPECT_EQ(r.l_seq, 10);
    EXPECT_EQ(r.seq, (std::vector<uint8_t>{0x12, 0x48, 0x12, 0x48, 0x12}));
    EXPECT_EQ(r.qual, std::vector<char>(10, 40));
    EXPECT_EQ(r.cigar, std::vector<uint32_t>{(10u << 4) | 0});
    EXPECT_TRUE(r.aux_data.empty());
    EXPECT_EQ(r.sam_line, line.text());
}

TEST(SamParseTest, ColumnVariants) {
    Line l;
    l.cigar = "*";
    l.pos = "0";
    BamRecord r = parsed(l.text());
    EXPECT_TRUE(r.cigar.empty());
    EXPECT_EQ(r.ref_length, 1u);
    EXPECT_EQ(r.pos, -1);
    EXPECT_EQ(r.bin, 4680);

    l = Line{};
    l.rnext = "=";
    l.pnext = "2147483647";
    l.rname = "chr2";
    l.tlen = "-2147483648";
    r = parsed(l.text());
    EXPECT_EQ(r.ref_id, 1);
    EXPECT_EQ(r.next_ref_id, 1);
    EXPECT_EQ(r.next_pos, 2147483646);
    EXPECT_EQ(r.tlen, -2147483647 - 1);

    l.rname = "chrUn";  // not in the list: no error
    r = parsed(l.text());
    EXPECT_EQ(r.ref_id, -1);

    l = Line{};
    l.cigar = "1M1I1D1N1S1H1P1=1X";
    l.seq = "ACGTA";  // one base for each of M I S = X
    l.qual = "*";
    l.mapq = "255";
    l.flag = "65535";
    r = parsed(l.text());
    EXPECT_EQ(r.cigar.size(), 9u);
    for (uint32_t op = 0; op < 9; ++op) {
        EXPECT_EQ(r.cigar[op], (1u << 4) | op);
    }
    EXPECT_EQ(r.ref_length, 5u);  // M D N = X
    EXPECT_EQ(r.qual, std::vector<char>(5, static_cast<char>(0xFF)));
    EXPECT_EQ(r.mapq, 255);
    EXPECT_EQ(r.flag, 65535);

    // Positions at bin boundaries.
    struct BinCase {
        std::string pos, cigar;
        uint16_t bin;
    };
    for (const BinCase& c : std::vector<BinCase>{{"16384", "1M", 4681},
                                                 {"16385", "1M", 4682},
                                                 {"16384", "2M", 585},
                                                 {"131072", "2M", 73},
                                                 {"1", "16384M", 4681},
                                                 {"1", "16385M", 585},
                                                 {"536870912", "1M", 4681 + 32767}}) {
        SCOPED_TRACE(c.pos + " " + c.cigar);
        Line b;
        b.pos = c.pos;
        b.cigar = c.cigar;
        b.seq = "*";
        b.qual = "*";
        EXPECT_EQ(parsed(b.text()).bin, c.bin);
    }
}

TEST(SamParseTest, SequencePacking) {
    struct Case {
        std::string seq;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c : std::vector<Case>{{"ACG", {0x12, 0x40}},
                                           {"UUU", {0x88, 0x80}},
                                           {"TTT", {0x88, 0x80}},
                                           {"=ACMGRSVTWYHKDBN", {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
                                           {"*", {}}}) {
        SCOPED_TRACE(c.seq);
        Line l;
        l.cigar = "*";
        l.seq = c.seq;
        l.qual = "*";
        const BamRecord r = parsed(l.text());
        EXPECT_EQ(r.seq, c.bytes);
        EXPECT_EQ(r.l_seq, c.seq == "*" ? 0 : static_cast<int32_t>(c.seq.size()));
        EXPECT_EQ(r.qual.size(), static_cast<size_t>(r.l_seq));
    }
}

TEST(SamParseTest, OptionalFields) {
    Line l;
    l.tail = "\tNM:i:3\tXS:f:1.5\tRG:Z:group one\tZB:B:c,1,-2\tXA:A:!\tXE:Z:\tXH:H:1AE3"
             "\tBc:B:c,-128,127\tBC:B:C,0,255\tBs:B:s,-32768,32767\tBS:B:S,0,65535"
             "\tBi:B:i,-2147483648,2147483647\tBI:B:I,0,4294967295\tBf:B:f,-1.5,+2e3\tBE:B:S"
             "\tXi:i:-2147483648\tXj:i:+2147483647";
    const BamRecord r = parsed(l.text());
    ASSERT_EQ(r.aux_data.size(), 17u);
    EXPECT_EQ(r.aux_data[0].tag, "NM");
    EXPECT_EQ(r.aux_data[0].type, 'i');
    EXPECT_EQ(std::any_cast<int32_t>(r.aux_data[0].value), 3);
    EXPECT_EQ(std::any_cast<float>(r.aux_data[1].value), 1.5f);
    EXPECT_EQ(std::any_cast<std::string>(r.aux_data[2].value), "group one");
    const auto& zb = std::any_cast<const AuxNumericalArray&>(r.aux_data[3].value);
    EXPECT_EQ(zb.subtype, 'c');
    EXPECT_EQ(zb.count, 2u);
    EXPECT_EQ(zb.data, (std::vector<char>{0x01, static_cast<char>(0xFE)}));
    EXPECT_EQ(std::any_cast<char>(r.aux_data[4].value), '!');
    EXPECT_EQ(std::any_cast<std::string>(r.aux_data[5].value), "");
    EXPECT_EQ(r.aux_data[6].type, 'H');
    auto array = [&](size_t i) { return std::any_cast<const AuxNumericalArray&>(r.aux_data[i].value); };
    EXPECT_EQ(elements<int8_t>(array(7)), (std::vector<int8_t>{-128, 127}));
    EXPECT_EQ(elements<uint8_t>(array(8)), (std::vector<uint8_t>{0, 255}));
    EXPECT_EQ(elements<int16_t>(array(9)), (std::vector<int16_t>{-32768, 32767}));
    EXPECT_EQ(elements<uint16_t>(array(10)), (std::vector<uint16_t>{0, 65535}));
    EXPECT_EQ(elements<int32_t>(array(11)), (std::vector<int32_t>{-2147483647 - 1, 2147483647}));
    EXPECT_EQ(elements<uint32_t>(array(12)), (std::vector<uint32_t>{0, 4294967295u}));
    EXPECT_EQ(elements<float>(array(13)), (std::vector<float>{-1.5f, 2000.0f}));
    EXPECT_EQ(array(14).subtype, 'S');
    EXPECT_EQ(array(14).count, 0u);
    EXPECT_EQ(std::any_cast<int32_t>(r.aux_data[15].value), -2147483647 - 1);
    EXPECT_EQ(std::any_cast<int32_t>(r.aux_data[16].value), 2147483647);
}

TEST(SamParseTest, MalformedLinesAreRefusedWithTheirReason) {
    struct Case {
        std::string name;
        std::function<void(Line&)> change;
        std::string error;
    };
    const std::string aux = "Invalid aux data detected: ";
    const std::string value = "Invalid aux data value detected: ";
    auto tail = [](const std::string& t) { return [t](Line& l) { l.tail = t; }; };
    const std::vector<Case> cases = {
        {"ten columns", [](Line& l) { l.qual.clear(); l.seq += "\t"; }, MALFORMED},
        {"FLAG not a number", [](Line& l) { l.flag = "0x4"; }, MALFORMED},
        {"FLAG above 16 bits", [](Line& l) { l.flag = "65536"; }, MALFORMED + ": FLAG out of range"},
        {"FLAG negative", [](Line& l) { l.flag = "-1"; }, MALFORMED + ": FLAG out of range"},
        {"POS negative", [](Line& l) { l.pos = "-1"; }, MALFORMED + ": POS out of range"},
        {"POS above 2^31-1", [](Line& l) { l.pos = "2147483648"; }, MALFORMED + ": POS out of range"},
        {"POS beyond 64 bits", [](Line& l) { l.pos = "99999999999999999999"; },
         MALFORMED + ": POS out of range"},
        {"POS with text after", [](Line& l) { l.pos = "100x"; }, MALFORMED},
        {"MAPQ 256", [](Line& l) { l.mapq = "256"; }, MALFORMED + ": MAPQ out of range"},
        {"MAPQ -1", [](Line& l) { l.mapq = "-1"; }, MALFORMED + ": MAPQ out of range"},
        {"PNEXT negative", [](Line& l) { l.pnext = "-5"; }, MALFORMED + ": PNEXT out of range"},
        {"TLEN beyond 32 bits", [](Line& l) { l.tlen = "2147483648"; }, MALFORMED + ": TLEN out of range"},
        {"QNAME of 255 characters", [](Line& l) { l.qname.assign(255, 'q'); },
         MALFORMED + ": QNAME longer than 254 characters"},
        {"QUAL shorter than SEQ", [](Line& l) { l.qual = "III"; }, MALFORMED},
        {"QUAL without SEQ", [](Line& l) { l.seq = "*"; l.qual = "I"; }, MALFORMED},
        {"QUAL control character", [](Line& l) { l.qual[3] = '\x01'; },
         MALFORMED + ": QUAL character outside '!' to '~'"},
        {"CIGAR unknown op", [](Line& l) { l.cigar = "5M2Q3M"; }, "Invalid cigar op detected: 'Q'"},
        {"CIGAR op without count", [](Line& l) { l.cigar = "5MM"; }, "Invalid cigar op count detected: 'M'"},
        {"CIGAR negative count", [](Line& l) { l.cigar = "-5M"; }, "Invalid cigar op count detected: '-'"},
        {"CIGAR count above 2^28-1", [](Line& l) { l.cigar = "268435456M"; },
         "Invalid cigar op count detected: '268435456M'"},
        {"CIGAR count beyond 64 bits", [](Line& l) { l.cigar = "99999999999999999999999M"; },
         "Invalid cigar op count detected: '99999999999999999999999M'"},
        {"CIGAR count without op", [](Line& l) { l.cigar = "10"; }, "Invalid cigar op detected: ''"},
        {"CIGAR consumes more bases than SEQ holds", [](Line& l) { l.cigar = "12M"; },
         MALFORMED + ": CIGAR and SEQ lengths differ (CIGAR query length 12, SEQ length 10)"},
        {"CIGAR consumes fewer bases than SEQ holds", [](Line& l) { l.seq += "GT"; l.qual = "*"; l.cigar = "5S5M"; },
         MALFORMED + ": CIGAR and SEQ lengths differ (CIGAR query length 10, SEQ length 12)"},
        {"lower-case base", [](Line& l) { l.seq = "acg"; l.qual = "*"; }, "Invalid sequence code detected"},
        {"lower-case last base", [](Line& l) { l.seq = "ACg"; l.qual = "*"; }, "Invalid sequence code detected"},
        {"unknown type", tail("\tXQ:Q:1"), "Invalid auxiliary data type) 'Q' found in alignment record"},
        {"two-character field", tail("\tNM"), aux + "NM"},
        {"no colons", tail("\tNM-i-3"), aux + "NM-i-3"},
        {"still ends with a newline", tail("\n"), aux + "\n"},
        {"trailing tab", tail("\tNM:i:1\t"), aux},
        {"empty integer", tail("\tNM:i:"), value + "NM:i:"},
        {"integer with text", tail("\tNM:i:3x"), value + "NM:i:3x"},
        {"integer above 32 bits", tail("\tNM:i:2147483648"), value + "NM:i:2147483648"},
        {"empty float", tail("\tXS:f:"), value + "XS:f:"},
        {"float out of range", tail("\tXS:f:1e50"), value + "XS:f:1e50"},
        {"float not a number", tail("\tXS:f:one"), value + "XS:f:one"},
        {"empty character", tail("\tXA:A:"), value + "XA:A:"},
        {"two characters", tail("\tXA:A:ab"), value + "XA:A:ab"},
        {"array without subtype", tail("\tZB:B:"), value + "ZB:B:"},
        {"CG word whose op code has no letter", tail("\tCG:B:I,960,62"), value + "CG:B:I,960,62"},
        {"array of unknown subtype", tail("\tZB:B:x,1"), value + "ZB:B:x,1"},
        {"array subtype not followed by a comma", tail("\tZB:B:c1"), value + "ZB:B:c1"},
        {"array with an empty element", tail("\tZB:B:c,1,,2"), value + "ZB:B:c,1,,2"},
        {"array ending with a comma", tail("\tZB:B:c,"), value + "ZB:B:c,"},
        {"c element 128", tail("\tZB:B:c,128"), value + "ZB:B:c,128"},
        {"C element -1", tail("\tZB:B:C,-1"), value + "ZB:B:C,-1"},
        {"s element 32768", tail("\tZB:B:s,32768"), value + "ZB:B:s,32768"},
        {"S element 65536", tail("\tZB:B:S,65536"), value + "ZB:B:S,65536"},
        {"i element 2^31", tail("\tZB:B:i,2147483648"), value + "ZB:B:i,2147483648"},
        {"I element 2^32", tail("\tZB:B:I,4294967296"), value + "ZB:B:I,4294967296"},
        {"f element not a number", tail("\tZB:B:f,1.5,x"), value + "ZB:B:f,1.5,x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Line l;
        c.change(l);
        BamRecord r;
        std::string error;
        bool ok = true;
        EXPECT_NO_THROW(ok = util::parse_sam_line_to_bam_record(l.text(), r, REFS, error));
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
    }
}

// The bases a CIGAR consumes (M, I, S, = and X) are the bases of SEQ; either
// given as "*" is not checked.
TEST(SamParseTest, CigarQueryLengthMatchesSeq) {
    for (const auto& [cigar, seq] : std::vector<std::pair<std::string, std::string>>{
                 {"10M", "ACGTACGTAC"}, {"5S5M", "ACGTACGTAC"}, {"3H10M2H", "ACGTACGTAC"},
                 {"4M2D6M", "ACGTACGTAC"}, {"2M3N1I7X", "ACGTACGTAC"}, {"*", "ACGTACGTAC"}, {"12M", "*"}}) {
        SCOPED_TRACE(cigar + " " + seq);
        Line l;
        l.cigar = cigar;
        l.seq = seq;
        l.qual = "*";
        parsed(l.text());
    }
}

// An array of a subtype without an element size is kept as it stands when it
// has no elements; serialising refuses it.
TEST(SamParseTest, EmptyArrayOfUnknownSubtypeIsKept) {
    Line l;
    l.tail = "\tZB:B:x\tNM:i:1";
    const BamRecord r = parsed(l.text());
    ASSERT_EQ(r.aux_data.size(), 2u);
    EXPECT_EQ(r.aux_data[0].tag, "ZB");
    EXPECT_EQ(r.aux_data[0].type, 'B');
    const auto& array = std::any_cast<const AuxNumericalArray&>(r.aux_data[0].value);
    EXPECT_EQ(array.subtype, 'x');
    EXPECT_EQ(array.count, 0u);
    EXPECT_TRUE(array.data.empty());
    std::vector<char> out;
    std::string error;
    EXPECT_FALSE(r.serialise(out, error));
    EXPECT_EQ(error, "Invalid auxiliary array subtype encountered: x");
}

TEST(SamParseTest, AReusedRecordKeepsNothingOfThePreviousLine) {
    BamRecord r;
    Line first;
    first.tail = "\tNM:i:1";
    std::string error;
    ASSERT_TRUE(util::parse_sam_line_to_bam_record(first.text(), r, REFS, error));
    Line second;
    second.cigar = "*";
    second.seq = "*";
    second.qual = "*";
    ASSERT_TRUE(util::parse_sam_line_to_bam_record(second.text(), r, REFS, error)) << error;
    EXPECT_TRUE(r.cigar.empty());
    EXPECT_TRUE(r.seq.empty());
    EXPECT_TRUE(r.qual.empty());
    EXPECT_TRUE(r.aux_data.empty());
    EXPECT_EQ(r.l_seq, 0);
}

std::string long_cigar(size_t operations) {
    std::string cigar;
    for (size_t i = 0; i < operations; ++i) {
        cigar += (i % 2 == 0) ? "2M" : "1I";
    }
    return cigar;
}

TEST(SamParseTest, CigarsOfMoreThan65535OperationsGoToTheCgField) {
    Line l;
    l.qual = "*";
    l.seq = std::string(65535 / 2 * 3 + 2, 'A');  // 2 per M, 1 per I
    l.cigar = long_cigar(65535);
    BamRecord r = parsed(l.text());
    EXPECT_EQ(r.cigar.size(), 65535u);
    EXPECT_EQ(r.ref_length, 65536u);
    EXPECT_TRUE(r.aux_data.empty());

    l.cigar = long_cigar(65536);
    l.seq = std::string(65536 / 2 * 3, 'A');
    l.tail = "\tNM:i:0";
    r = parsed(l.text());
    EXPECT_EQ(r.ref_length, 65536u);
    EXPECT_EQ(r.cigar, (std::vector<uint32_t>{(98304u << 4) | 4, (65536u << 4) | 3}));
    ASSERT_EQ(r.aux_data.size(), 2u);
    EXPECT_EQ(r.aux_data[0].tag, "CG");
    EXPECT_EQ(r.aux_data[0].type, 'B');
    const auto& cg = std::any_cast<const AuxNumericalArray&>(r.aux_data[0].value);
    EXPECT_EQ(cg.subtype, 'I');
    ASSERT_EQ(cg.count, 65536u);
    const auto words = elements<uint32_t>(cg);
    EXPECT_EQ(words[0], (2u << 4) | 0);
    EXPECT_EQ(words[65535], (1u << 4) | 1);
    EXPECT_EQ(r.aux_data[1].tag, "NM");

    // Without a sequence the placeholder's clip is 0, as readers expect.
    l.seq = "*";
    r = parsed(l.text());
    EXPECT_EQ(r.cigar[0], 4u);

    // A span the placeholder's 28 bits cannot hold is refused.
    l.cigar = "268435455N" + long_cigar(65535);
    BamRecord big;
    std::string error;
    EXPECT_FALSE(util::parse_sam_line_to_bam_record(l.text(), big, REFS, error));
    EXPECT_EQ(error, "Long CIGAR cannot be stored: sequence length or reference span above 268435455");
}

TEST(SamParseTest, SortingKeyOfALine) {
    struct Case {
        std::string line;
        uint64_t key;
    };
    // FLAG is not read; a POS missing or not a position reads as 0, which
    // gives every bit set.
    for (const Case& c : std::vector<Case>{{"r\t4\t*\t0\t0\t*", ~uint64_t{0}},
                                           {"r\t0\tchr2\t100\t0", (uint64_t{1} << 32) | 99},
                                           {"r\t0\tchrUn\t1", (uint64_t{0xFFFFFFFF} << 32)},
                                           {"r\tnot-a-flag\tchr2\t100", (uint64_t{1} << 32) | 99},
                                           {"r\t70000\tchr2\t7", (uint64_t{1} << 32) | 6},
                                           {"r\t0\tchr2", ~uint64_t{0}},
                                           {"r\t0\tchr1\tx", ~uint64_t{0}},
                                           {"r\t0\tchr1\t-4", ~uint64_t{0}},
                                           {"r\t0\tchr1\t2147483648", ~uint64_t{0}}}) {
        SCOPED_TRACE(c.line);
        uint64_t key = 0;
        std::string error;
        EXPECT_TRUE(util::parse_sam_line_get_sorting_key(c.line, key, REFS, error));
        EXPECT_EQ(key, c.key);
    }
    for (const std::string& bad : {std::string("r\t0"), std::string(""), std::string("r")}) {
        SCOPED_TRACE(bad);
        uint64_t key = 7;
        std::string error;
        EXPECT_FALSE(util::parse_sam_line_get_sorting_key(bad, key, REFS, error));
        EXPECT_EQ(error.substr(0, MALFORMED.size()), MALFORMED);
        EXPECT_EQ(key, 7u);
    }
}

TEST(SamParseTest, PackedLineIsOneRecordInBlocksOfItsOwn) {
    Line l;
    l.rname = "chr2";
    l.pos = "5000";
    AlignmentFileHeader header{REFS};
    std::vector<char> blocks = {'x'};
    kelp::bam::BamRecordIndexFileInfo info;
    uint64_t key = 0;
    std::string error;
    ASSERT_TRUE(util::pack_sam_line_to_BGZF_blocks(blocks, info, key, l.text(), header, error));
    EXPECT_EQ(key, (uint64_t{1} << 32) | 4999);
    EXPECT_EQ(info.ref_id, 1);
    EXPECT_EQ(info.pos, 4999);
    EXPECT_EQ(info.ref_length, 10u);
    EXPECT_EQ(info.bin, 4681);

    std::istringstream in(std::string(blocks.begin() + 1, blocks.end()));
    std::vector<char> data;
    ASSERT_TRUE(kelp::bgzf::read_BGZF_block(in, data, error)) << error;
    std::vector<char> expected;
    ASSERT_TRUE(parsed(l.text()).serialise(expected, error));
    EXPECT_EQ(data, expected);
    EXPECT_FALSE(kelp::bgzf::read_BGZF_block(in, data, error));

    // The same through an already built record.
    std::vector<char> again;
    ASSERT_TRUE(util::pack_bam_record_to_BGZF_blocks(again, info, key, parsed(l.text()), error));
    EXPECT_EQ(again, std::vector<char>(blocks.begin() + 1, blocks.end()));

    // A caller's error text left from before counts as a failed parse.
    std::string stale = "earlier failure";
    EXPECT_FALSE(util::pack_sam_line_to_BGZF_blocks(blocks, info, key, l.text(), header, stale));

    Line bad;
    bad.mapq = "300";
    error.clear();
    EXPECT_FALSE(util::pack_sam_line_to_BGZF_blocks(blocks, info, key, bad.text(), header, error));
    EXPECT_EQ(error, MALFORMED + ": MAPQ out of range");
}

}  // namespace
