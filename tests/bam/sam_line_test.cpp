#include "bam/sam_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/bam/bam_test_support.h"

namespace {

using bam_test::array_of;

using kelp::bam::AuxData;
using kelp::bam::AuxNumericalArray;
using kelp::bam::BamRecord;
using kelp::bam::RefSeq;
namespace util = kelp::bam::util;

const std::vector<RefSeq> REFS = {{"chr1", 0}, {"chr2", 0}};

BamRecord unmapped(const std::string& name = "r1") {
    BamRecord r;
    r.read_name = name;
    r.flag = 4;
    r.ref_id = -1;
    r.pos = -1;
    r.next_ref_id = -1;
    r.next_pos = -1;
    return r;
}

std::string line_of(BamRecord r) {
    std::string error;
    EXPECT_TRUE(util::update_sam_line(REFS, r, error)) << error;
    return r.sam_line;
}

TEST(SamLineTest, UnmappedRecordWithoutDataGivesStarsAndNoTrailingTab) {
    EXPECT_EQ(line_of(unmapped()), "r1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*");
}

TEST(SamLineTest, ReferenceColumnsTemplateLengthAndQualities) {
    BamRecord r = unmapped();
    r.flag = 0;
    r.ref_id = 0;
    r.pos = 99;
    r.mapq = 255;
    r.next_ref_id = 0;
    r.next_pos = 199;
    r.tlen = 350;  // not shown: this line always writes 0
    r.cigar = {(2u << 4) | 0, (1u << 4) | 8, (1u << 4) | 7};
    r.l_seq = 4;
    r.seq = {0x12, 0x4F};
    r.qual = {0, 1, 2, 93};
    EXPECT_EQ(line_of(r), "r1\t0\tchr1\t100\t255\t2M1X1=\t=\t200\t0\tACGN\t!\"#~");

    r.next_ref_id = 1;
    EXPECT_EQ(line_of(r), "r1\t0\tchr1\t100\t255\t2M1X1=\tchr2\t200\t0\tACGN\t!\"#~");
    r.next_ref_id = -1;
    r.qual = {static_cast<char>(0xFF), 1, 2, 3};  // absent qualities, whatever follows
    EXPECT_EQ(line_of(r), "r1\t0\tchr1\t100\t255\t2M1X1=\t*\t200\t0\tACGN\t*");
    r.qual.clear();
    EXPECT_EQ(line_of(r), "r1\t0\tchr1\t100\t255\t2M1X1=\t*\t200\t0\tACGN\t*");
}

TEST(SamLineTest, OptionalFieldsByType) {
    struct Case {
        AuxData field;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{"XA", 'A', 'z'}, "XA:A:z"},
        {{"Xc", 'c', static_cast<signed char>(-3)}, "Xc:i:-3"},
        {{"XC", 'C', static_cast<unsigned char>(200)}, "XC:i:200"},
        {{"Xs", 's', static_cast<int16_t>(-32768)}, "Xs:i:-32768"},
        {{"XS", 'S', static_cast<uint16_t>(65535)}, "XS:i:65535"},
        {{"Xi", 'i', static_cast<int32_t>(-2147483647 - 1)}, "Xi:i:-2147483648"},
        {{"XI", 'I', static_cast<uint32_t>(4294967295u)}, "XI:i:4294967295"},
        {{"Xf", 'f', 0.25f}, "Xf:f:0.25"},
        {{"Xf", 'f', 1.0f}, "Xf:f:1."},
        {{"Xf", 'f', -2.5f}, "Xf:f:-2.5"},
        {{"XZ", 'Z', std::string("a b")}, "XZ:Z:a b"},
        {{"XH", 'H', std::string("1AE3")}, "XH:H:1AE3"},
        {{"BC", 'B', array_of<uint8_t>('C', {1, 2})}, "BC:B:C,1,2"},
        {{"Bc", 'B', array_of<int8_t>('c', {-128, 127})}, "Bc:B:c,-128,127"},
        {{"Bs", 'B', array_of<int16_t>('s', {-32768, 32767})}, "Bs:B:s,-32768,32767"},
        {{"BS", 'B', array_of<uint16_t>('S', {65535})}, "BS:B:S,65535"},
        {{"Bi", 'B', array_of<int32_t>('i', {-1})}, "Bi:B:i,-1"},
        {{"BI", 'B', array_of<uint32_t>('I', {4294967295u})}, "BI:B:I,4294967295"},
        {{"Bf", 'B', array_of<float>('f', {0.5f, 3.0f})}, "Bf:B:f,0.5,3."},
        {{"BE", 'B', array_of<float>('f', {})}, "BE:B:f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BamRecord r = unmapped();
        r.aux_data = {c.field, {"NM", 'i', int32_t{0}}};
        EXPECT_EQ(line_of(r), "r1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\t" + c.text + "\tNM:i:0");
    }
}

TEST(SamLineTest, LongCigarPlaceholderTakesTheWordsOfTheCgField) {
    BamRecord r = unmapped();
    r.l_seq = 100;
    r.seq.assign(50, 0x11);
    r.qual.assign(100, static_cast<char>(0xFF));
    r.cigar = {(100u << 4) | 4, (5000u << 4) | 3};
    const std::string seq(100, 'A');
    const std::string columns = "r1\t4\t*\t0\t0\t";
    const std::string rest = "\t*\t0\t0\t" + seq + "\t*";

    EXPECT_EQ(line_of(r), columns + "100S5000N" + rest);

    r.aux_data = {{"NM", 'i', int32_t{1}},
                  {"CG", 'B', array_of<uint32_t>('I', {(60u << 4) | 0, (40u << 4) | 1, (4940u << 4) | 2})}};
    EXPECT_EQ(line_of(r), columns + "60M40I4940D" + rest + "\tNM:i:1");

    // A CG field that cannot hold CIGAR words is an ordinary field.
    r.aux_data = {{"CG", 'B', array_of<uint16_t>('S', {7})}};
    EXPECT_EQ(line_of(r), columns + "100S5000N" + rest + "\tCG:B:S,7");

    // Not a placeholder: the soft clip is shorter than the sequence.
    r.cigar = {(99u << 4) | 4, (1u << 4) | 0};
    r.aux_data = {{"CG", 'B', array_of<uint32_t>('I', {(100u << 4) | 0})}};
    EXPECT_EQ(line_of(r), columns + "99S1M" + rest + "\tCG:B:I,1600");
}

TEST(SamLineTest, RecordsThatCannotBeWrittenAreRefused) {
    struct Case {
        std::string name;
        std::function<void(BamRecord&)> change;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"reference index past the list", [](BamRecord& r) { r.ref_id = 2; }, "before"},
        {"mate reference index below -1", [](BamRecord& r) { r.next_ref_id = -2; }, "before"},
        {"CIGAR op code 9", [](BamRecord& r) { r.cigar = {(5u << 4) | 9}; },
         "Invalid CIGAR operation code encountered: 9"},
        {"CG word with op code 12",
         [](BamRecord& r) {
             r.cigar = {(0u << 4) | 4, (3u << 4) | 3};
             r.aux_data = {{"CG", 'B', array_of<uint32_t>('I', {(3u << 4) | 12})}};
         },
         "Invalid CIGAR operation code encountered: 12"},
        {"negative l_seq", [](BamRecord& r) { r.l_seq = -1; }, "Invalid sequence length -1"},
        {"sequence bytes short",
         [](BamRecord& r) {
             r.l_seq = 3;
             r.seq = {0x11};
         },
         "Sequence holds fewer bytes than its length 3 needs"},
        {"quality bytes short",
         [](BamRecord& r) {
             r.l_seq = 3;
             r.seq = {0x11, 0x10};
             r.qual = {1, 2};
         },
         "Quality holds fewer bytes than the sequence length 3"},
        {"unknown type letter", [](BamRecord& r) { r.aux_data = {{"XX", 'Q', 1}}; },
         "Invalid auxiliary data type encountered: Q"},
        {"unknown array subtype",
         [](BamRecord& r) { r.aux_data = {{"XX", 'B', array_of<int8_t>('q', {1})}}; },
         "Invalid auxiliary array subtype encountered: q"},
        {"array data short",
         [](BamRecord& r) {
             auto a = array_of<int32_t>('i', {1});
             a.count = 2;
             r.aux_data = {{"XX", 'B', a}};
         },
         "Auxiliary array XX holds fewer bytes than its 2 elements"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BamRecord r = unmapped();
        c.change(r);
        std::string error = "before";
        EXPECT_FALSE(util::update_sam_line(REFS, r, error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
