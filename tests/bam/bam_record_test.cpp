#include "bam/bam_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/bam/bam_test_support.h"

namespace {

using bam_test::array_of;

using kelp::bam::AuxData;
using kelp::bam::AuxNumericalArray;
using kelp::bam::BamRecord;
using kelp::bam::RefSeq;
using kelp::bam::io::IOBuffer;
namespace util = kelp::bam::util;

const std::string END_OF_BUFFER =
    "Reached end of uncompressed BAM buffer unexpectedly while extracting data: "
    "Hit end of buffer while extracting data";
const std::string MISMATCH = "BAM file block length mismatch in file";

// A record with one optional field of each letter, B arrays of every subtype
// at their bounds and one empty.
BamRecord full_record() {
    BamRecord r;
    r.ref_id = 1;
    r.pos = 16383;
    r.read_name = "read/1";
    r.mapq = 60;
    r.bin = 4681;
    r.flag = 0x10 | 0x1;
    r.l_seq = 5;
    r.next_ref_id = 0;
    r.next_pos = 99;
    r.tlen = -250;
    r.cigar = {(3u << 4) | 0, (1u << 4) | 1, (1u << 4) | 4, (7u << 4) | 3};  // 3M1I1S7N
    r.ref_length = 10;
    r.seq = {0x12, 0x48, 0xF0};  // ACGTN
    r.qual = {0, 10, 20, 30, 40};
    using L8 = std::numeric_limits<int8_t>;
    using L16 = std::numeric_limits<int16_t>;
    using L32 = std::numeric_limits<int32_t>;
    r.aux_data = {
        {"XA", 'A', 'q'},
        {"Xc", 'c', static_cast<signed char>(-128)},
        {"XC", 'C', static_cast<unsigned char>(255)},
        {"Xs", 's', static_cast<int16_t>(-32768)},
        {"XS", 'S', static_cast<uint16_t>(65535)},
        {"Xi", 'i', static_cast<int32_t>(L32::min())},
        {"XI", 'I', static_cast<uint32_t>(4294967295u)},
        {"Xf", 'f', 2.5f},
        {"XZ", 'Z', std::string("text with spaces")},
        {"XH", 'H', std::string("1AE301")},
        {"Bc", 'B', array_of<int8_t>('c', {L8::min(), 0, L8::max()})},
        {"BC", 'B', array_of<uint8_t>('C', {0, 255})},
        {"Bs", 'B', array_of<int16_t>('s', {L16::min(), L16::max()})},
        {"BS", 'B', array_of<uint16_t>('S', {0, 65535})},
        {"Bi", 'B', array_of<int32_t>('i', {L32::min(), L32::max()})},
        {"BI", 'B', array_of<uint32_t>('I', {0, 4294967295u})},
        {"Bf", 'B', array_of<float>('f', {-1.5f, 0.25f})},
        {"BE", 'B', array_of<uint8_t>('C', {})},
    };
    return r;
}

const std::vector<RefSeq> REFS = {{"chr1", 1000}, {"chr2", 2000}};

std::string serialised(const BamRecord& r) {
    std::vector<char> out;
    std::string error;
    EXPECT_TRUE(r.serialise(out, error)) << error;
    return std::string(out.begin(), out.end());
}

void expect_same_aux(const AuxData& a, const AuxData& b) {
    SCOPED_TRACE(a.tag);
    ASSERT_EQ(a.tag, b.tag);
    ASSERT_EQ(a.type, b.type);
    ASSERT_EQ(a.value.type(), b.value.type());
    switch (a.type) {
        case 'A': EXPECT_EQ(std::any_cast<char>(a.value), std::any_cast<char>(b.value)); break;
        case 'c': EXPECT_EQ(std::any_cast<signed char>(a.value), std::any_cast<signed char>(b.value)); break;
        case 'C': EXPECT_EQ(std::any_cast<unsigned char>(a.value), std::any_cast<unsigned char>(b.value)); break;
        case 's': EXPECT_EQ(std::any_cast<int16_t>(a.value), std::any_cast<int16_t>(b.value)); break;
        case 'S': EXPECT_EQ(std::any_cast<uint16_t>(a.value), std::any_cast<uint16_t>(b.value)); break;
        case 'i': EXPECT_EQ(std::any_cast<int32_t>(a.value), std::any_cast<int32_t>(b.value)); break;
        case 'I': EXPECT_EQ(std::any_cast<uint32_t>(a.value), std::any_cast<uint32_t>(b.value)); break;
        case 'f': EXPECT_EQ(std::any_cast<float>(a.value), std::any_cast<float>(b.value)); break;
        case 'Z':
        case 'H': EXPECT_EQ(std::any_cast<std::string>(a.value), std::any_cast<std::string>(b.value)); break;
        default: {
            const auto& x = std::any_cast<const AuxNumericalArray&>(a.value);
            const auto& y = std::any_cast<const AuxNumericalArray&>(b.value);
            EXPECT_EQ(x.subtype, y.subtype);
            EXPECT_EQ(x.count, y.count);
            EXPECT_EQ(x.data, y.data);
        }
    }
}

TEST(BamRecordOrderTest, SortingKeyPutsReferenceAboveSignExtendedPosition) {
    EXPECT_EQ(util::calculate_sorting_key(-1, -1), ~uint64_t{0});
    EXPECT_EQ(util::calculate_sorting_key(2, 100), (uint64_t{2} << 32) | 100);
    EXPECT_EQ(util::calculate_sorting_key(5, -1), ~uint64_t{0});
    BamRecord r;
    r.ref_id = 3;
    r.pos = 7;
    EXPECT_EQ(r.sorting_key(), (uint64_t{3} << 32) | 7);
}

TEST(BamRecordOrderTest, ReferenceThenPositionThenForwardStrandFirst) {
    auto make = [](int32_t ref, int32_t pos, uint16_t flag) {
        BamRecord r;
        r.ref_id = ref;
        r.pos = pos;
        r.flag = flag;
        return r;
    };
    struct Case {
        BamRecord a, b;
        bool a_less, b_less;
    };
    const std::vector<Case> cases = {
        {make(0, 100, 0), make(1, 0, 0), true, false},
        {make(5, 0, 0), make(-1, 0, 0), true, false},  // no reference sorts last
        {make(0, 9, 0x10), make(0, 10, 0), true, false},
        {make(0, -1, 0), make(0, 0, 0), true, false},  // positions compare signed
        {make(0, 10, 0), make(0, 10, 0x10), true, false},
        {make(0, 10, 0x10 | 0x4), make(0, 10, 0x10), false, false},
        {make(0, 10, 0), make(0, 10, 0x400), false, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].a < cases[i].b, cases[i].a_less);
        EXPECT_EQ(cases[i].b < cases[i].a, cases[i].b_less);
    }
    auto info_a = kelp::bam::extract_index_file_info(make(-1, -1, 0));
    auto info_b = kelp::bam::extract_index_file_info(make(7, 3, 0));
    EXPECT_TRUE(info_b < info_a);
    EXPECT_FALSE(info_a < info_b);
}

TEST(BamRecordSerialiseTest, MinimalRecordLayout) {
    BamRecord r;
    r.read_name = "r1";
    const std::string block = serialised(r);
    ASSERT_EQ(block.size(), 39u);
    EXPECT_EQ(block.substr(0, 4), std::string("\x23\x00\x00\x00", 4));  // 35
    EXPECT_EQ(block[12], 3);
    EXPECT_EQ(block.substr(36), std::string("r1\0", 3));
}

TEST(BamRecordSerialiseTest, RoundTripKeepsEveryFieldAndStopsAfterTheBlock) {
    const BamRecord original = full_record();
    const std::string bytes = serialised(original) + "next record";
    const auto info = kelp::bam::extract_index_file_info(original);
    EXPECT_EQ(info.ref_length, 10u);
    EXPECT_EQ(info.bin, 4681);

    BamRecord decoded;
    decoded.aux_data.push_back({"OL", 'Z', std::string("old")});  // replaced, not appended to
    IOBuffer buffer{bytes.data(), bytes.size(), 0};
    std::string error;
    ASSERT_TRUE(decoded.deserialise(buffer, REFS, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(buffer.position, bytes.size() - std::string("next record").size());
    EXPECT_EQ(decoded.ref_id, original.ref_id);
    EXPECT_EQ(decoded.pos, original.pos);
    EXPECT_EQ(decoded.read_name, original.read_name);
    EXPECT_EQ(decoded.mapq, original.mapq);
    EXPECT_EQ(decoded.bin, original.bin);
    EXPECT_EQ(decoded.flag, original.flag);
    EXPECT_EQ(decoded.l_seq, original.l_seq);
    EXPECT_EQ(decoded.next_ref_id, original.next_ref_id);
    EXPECT_EQ(decoded.next_pos, original.next_pos);
    EXPECT_EQ(decoded.tlen, original.tlen);
    EXPECT_EQ(decoded.cigar, original.cigar);
    EXPECT_EQ(decoded.ref_length, 10u);  // M, N count; I, S do not
    EXPECT_EQ(decoded.seq, original.seq);
    EXPECT_EQ(decoded.qual, original.qual);
    ASSERT_EQ(decoded.aux_data.size(), original.aux_data.size());
    for (size_t i = 0; i < original.aux_data.size(); ++i) {
        expect_same_aux(decoded.aux_data[i], original.aux_data[i]);
    }
    const std::string columns = "read/1\t17\tchr2\t16384\t60\t3M1I1S7N\tchr1\t100\t0\tACGTN\t!+5?I\t";
    EXPECT_EQ(decoded.sam_line.substr(0, columns.size()), columns);

    // Serialising the decoded record gives the same bytes.
    EXPECT_EQ(serialised(decoded) + "next record", bytes);
}

TEST(BamRecordSerialiseTest, EmptyCigarAndNoReferencesDecode) {
    BamRecord r;
    r.ref_id = -1;
    r.pos = -1;
    r.next_ref_id = -1;
    r.next_pos = -1;
    r.read_name = "u";
    r.flag = 4;
    const std::string bytes = serialised(r);
    BamRecord decoded;
    decoded.ref_length = 99;
    IOBuffer buffer{bytes.data(), bytes.size(), 0};
    std::string error;
    ASSERT_TRUE(decoded.deserialise(buffer, {}, error)) << error;
    EXPECT_EQ(decoded.ref_length, 0u);
    EXPECT_TRUE(decoded.cigar.empty());
    EXPECT_EQ(decoded.sam_line, "u\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*");
}

TEST(BamRecordSerialiseTest, RecordsTheFormatCannotCarryAreRefused) {
    struct Case {
        std::string name;
        std::function<void(BamRecord&)> change;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"name of 255 characters", [](BamRecord& r) { r.read_name.assign(255, 'n'); },
         "Read name of 255 characters is too long for a BAM record (at most 254)"},
        {"name with a NUL", [](BamRecord& r) { r.read_name = std::string("r\0\0", 3); },
         "Read name holds a NUL character"},
        {"65536 CIGAR words", [](BamRecord& r) { r.cigar.assign(65536, (1u << 4)); },
         "CIGAR of 65536 operations does not fit a BAM record (at most 65535 without the CG form)"},
        {"sequence bytes short", [](BamRecord& r) { r.seq.pop_back(); },
         "Sequence or quality bytes do not match l_seq 5"},
        {"quality bytes long", [](BamRecord& r) { r.qual.push_back(1); },
         "Sequence or quality bytes do not match l_seq 5"},
        {"negative l_seq", [](BamRecord& r) { r.l_seq = -1; r.seq.clear(); r.qual.clear(); },
         "Sequence or quality bytes do not match l_seq -1"},
        {"unknown type letter", [](BamRecord& r) { r.aux_data.push_back({"XX", 'Q', 1}); },
         "Invalid auxiliary data type encountered: Q"},
        {"unknown array subtype",
         [](BamRecord& r) { r.aux_data.push_back({"XX", 'B', array_of<int8_t>('x', {1})}); },
         "Invalid auxiliary array subtype encountered: x"},
        {"array count beyond its data",
         [](BamRecord& r) {
             auto a = array_of<int16_t>('s', {1, 2});
             a.count = 3;
             r.aux_data.push_back({"XX", 'B', a});
         },
         "Auxiliary array XX holds 4 bytes for 3 elements"},
        {"text with a NUL",
         [](BamRecord& r) { r.aux_data.push_back({"XZ", 'Z', std::string("a\0b", 3)}); },
         "Auxiliary text field XZ holds a NUL character"},
        {"one-character tag", [](BamRecord& r) { r.aux_data.push_back({"X", 'i', int32_t{1}}); },
         "Invalid auxiliary data tag encountered: 'X'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BamRecord r = full_record();
        c.change(r);
        std::vector<char> out;
        std::string error;
        EXPECT_FALSE(r.serialise(out, error));
        EXPECT_EQ(error, c.error);
    }

    // The largest name and CIGAR that fit are written.
    BamRecord r = full_record();
    r.read_name.assign(254, 'n');
    r.cigar.assign(65535, (1u << 4));
    const std::string block = serialised(r);
    EXPECT_EQ(static_cast<unsigned char>(block[12]), 255);
    EXPECT_EQ(static_cast<unsigned char>(block[16]) | (static_cast<unsigned char>(block[17]) << 8),
              65535);
}

TEST(BamRecordSerialiseTest, AValueOfAnotherTypeThanItsLetterThrows) {
    BamRecord r;
    r.aux_data.push_back({"XI", 'i', std::string("not a number")});
    std::vector<char> out;
    std::string error;
    EXPECT_THROW(r.serialise(out, error), std::bad_any_cast);
}

// Offsets into the block of full_record(): l_read_name at 12, n_cigar_op at
// 16, l_seq at 20, name at 36.
struct Damage {
    std::string name;
    std::function<void(std::string&)> change;
    std::string error;
};

TEST(BamRecordDeserialiseTest, DamagedBlocksAreRefusedAndTheRecordIsKept) {
    const std::string good = serialised(full_record());
    const size_t name_end = 36 + 7;
    const size_t cigar_end = name_end + 16;
    const size_t aux_start = cigar_end + 3 + 5;
    auto set_block_size = [](std::string& b, int32_t size) { bam_test::set_le<int32_t>(b, 0, size); };
    const std::vector<Damage> cases = {
        {"empty buffer", [](std::string& b) { b.clear(); }, END_OF_BUFFER},
        {"cut inside the fixed fields", [](std::string& b) { b.resize(20); }, END_OF_BUFFER},
        {"cut inside the optional fields", [&](std::string& b) { b.resize(aux_start + 10); },
         END_OF_BUFFER},
        {"block size smaller than its content",
         [&](std::string& b) { set_block_size(b, static_cast<int32_t>(cigar_end - 4)); }, MISMATCH},
        {"block size below the fixed fields", [&](std::string& b) { set_block_size(b, 20); },
         MISMATCH},
        {"negative block size", [&](std::string& b) { set_block_size(b, -8); }, MISMATCH},
        {"block ends inside an optional field",
         [&](std::string& b) { set_block_size(b, static_cast<int32_t>(aux_start + 5 - 4)); },
         MISMATCH},
        {"name length 0", [](std::string& b) { b[12] = 0; },
         "Invalid read name length 0 in alignment record"},
        {"name without its NUL", [&](std::string& b) { b[name_end - 1] = 'x'; },
         "Read name in alignment record is not terminated by its only NUL"},
        {"name with an inner NUL", [](std::string& b) { b[38] = '\0'; },
         "Read name in alignment record is not terminated by its only NUL"},
        {"name length beyond the block", [](std::string& b) { b[12] = static_cast<char>(255); },
         MISMATCH},
        {"negative l_seq", [](std::string& b) { bam_test::set_le<int32_t>(b, 20, -2); },
         "Negative sequence length found in alignment record"},
        {"huge l_seq", [](std::string& b) { bam_test::set_le<int32_t>(b, 20, 0x7FFFFFFF); },
         MISMATCH},
        {"CIGAR count beyond the block", [](std::string& b) { bam_test::set_le<uint16_t>(b, 16, 65535); },
         MISMATCH},
        {"CIGAR op code 9", [&](std::string& b) { b[name_end] = static_cast<char>((3 << 4) | 9); },
         "Invalid CIGAR operation code 9 found in alignment record"},
        {"CIGAR op code 15", [&](std::string& b) { b[name_end] = static_cast<char>((3 << 4) | 15); },
         "Invalid CIGAR operation code 15 found in alignment record"},
        {"unknown optional type", [&](std::string& b) { b[aux_start + 2] = 'Q'; },
         "Invalid auxiliary data type found in alignment record"},
    };
    const std::string before_sam_line = "kept";
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good;
        c.change(bytes);
        BamRecord record;
        record.read_name = "kept";
        record.sam_line = before_sam_line;
        IOBuffer buffer{bytes.data(), bytes.size(), 0};
        std::string error;
        EXPECT_FALSE(record.deserialise(buffer, REFS, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(record.read_name, "kept");
        EXPECT_EQ(record.sam_line, before_sam_line);
        EXPECT_LE(buffer.position, bytes.size());
    }
}

// One record whose only optional field is `field` (tag, type and value bytes).
std::string block_with_field(const std::string& field) {
    BamRecord r;
    r.ref_id = -1;
    r.next_ref_id = -1;
    r.read_name = "r";
    std::string block = serialised(r) + field;
    bam_test::set_le<int32_t>(block, 0, static_cast<int32_t>(block.size() - 4));
    return block;
}

TEST(BamRecordDeserialiseTest, DamagedOptionalFieldsAreRefused) {
    std::string huge_count = "XBBi";
    bam_test::put_le<uint32_t>(huge_count, 0xFFFFFFFFu);
    huge_count += "1234";
    std::string unknown_subtype = "XBBx";
    bam_test::put_le<uint32_t>(unknown_subtype, 1);
    unknown_subtype += "1";
    struct Case {
        std::string name;
        std::string block;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"array count beyond the block", block_with_field(huge_count), MISMATCH},
        {"array count beyond the buffer",
         block_with_field(huge_count).substr(0, block_with_field(huge_count).size() - 2),
         END_OF_BUFFER},
        {"unknown array subtype", block_with_field(unknown_subtype),
         "Invalid auxiliary array subtype found in alignment record"},
        {"text without its NUL", block_with_field("XZZabc"), MISMATCH},
        {"integer cut short", block_with_field("XIi12"), MISMATCH},
        {"tag cut short", block_with_field("X"), MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BamRecord record;
        IOBuffer buffer{c.block.data(), c.block.size(), 0};
        std::string error;
        EXPECT_FALSE(record.deserialise(buffer, {}, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(BamRecordDeserialiseTest, TextWithoutNulAtTheEndOfTheBufferIsTheEndOfTheBuffer) {
    std::string block = block_with_field(std::string("XZZabc\0", 7));
    block.pop_back();  // block_size still counts the NUL the buffer lacks
    BamRecord record;
    IOBuffer buffer{block.data(), block.size(), 0};
    std::string error;
    EXPECT_FALSE(record.deserialise(buffer, {}, error));
    EXPECT_EQ(error, END_OF_BUFFER);
}

TEST(BamRecordDeserialiseTest, AReferenceOutsideTheListFailsTheSamLine) {
    BamRecord r = full_record();
    r.ref_id = 2;
    const std::string bytes = serialised(r);
    BamRecord record;
    IOBuffer buffer{bytes.data(), bytes.size(), 0};
    std::string error;
    EXPECT_FALSE(record.deserialise(buffer, REFS, error));
    EXPECT_EQ(error, "SAM line generation failed: ");
    EXPECT_TRUE(record.read_name.empty());
}

}  // namespace
