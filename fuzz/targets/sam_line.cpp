// SAM lines into BAM records. Whatever the parser accepts must serialise,
// read back as the same record with the same SAM text, pack into BGZF blocks
// that inflate to the serialised bytes, and have the sorting key the
// key-only parser gives the same line.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "bam/bam_utils.h"
#include "bam/bgzf.h"
#include "bam/sam_line.h"
#include "fuzz_support.h"

namespace {

using namespace kelp::bam;

const AlignmentFileHeader HEADER{{{"chr1", 248956422}, {"chr2", 242193529}, {"*x", 10}}};

// The fields a BAM block carries. The reference span is not among them: the
// parser gives a CIGAR of "*" a span of 1, a decoded record without CIGAR
// words has 0.
bool same_record(const BamRecord& a, const BamRecord& b) {
    if (a.aux_data.size() != b.aux_data.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.aux_data.size(); ++i) {
        if (a.aux_data[i].tag != b.aux_data[i].tag || a.aux_data[i].type != b.aux_data[i].type) {
            return false;
        }
    }
    return a.ref_id == b.ref_id && a.pos == b.pos && a.read_name == b.read_name &&
           a.mapq == b.mapq && a.bin == b.bin && a.flag == b.flag && a.l_seq == b.l_seq &&
           a.next_ref_id == b.next_ref_id && a.next_pos == b.next_pos && a.tlen == b.tlen &&
           a.cigar == b.cigar && a.seq == b.seq &&
           a.qual == b.qual;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(bytes), size);

    std::string key_error;
    std::uint64_t key = 0;
    const bool has_key = util::parse_sam_line_get_sorting_key(line, key, HEADER.ref_seqs, key_error);
    FUZZ_CHECK(has_key || !key_error.empty());

    BamRecord record;
    std::string error;
    if (!util::parse_sam_line_to_bam_record(line, record, HEADER.ref_seqs, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(has_key && key == record.sorting_key());
    FUZZ_CHECK(record.sam_line == line);

    // The record's own SAM text.
    BamRecord rendered = record;
    std::string render_error;
    if (util::update_sam_line(HEADER.ref_seqs, rendered, render_error)) {
        FUZZ_CHECK(!rendered.sam_line.empty());
    }

    std::vector<char> block;
    std::string serialise_error;
    if (!record.serialise(block, serialise_error)) {
        // Only what the format cannot carry is refused, with a reason.
        FUZZ_CHECK(!serialise_error.empty() && block.empty());
        return 0;
    }

    // Reads back as the same record.
    io::IOBuffer buffer{block.data(), block.size(), 0};
    BamRecord back;
    std::string back_error;
    const bool read_back = back.deserialise(buffer, HEADER.ref_seqs, back_error);
    FUZZ_CHECK(read_back);
    FUZZ_CHECK(buffer.position == block.size());
    FUZZ_CHECK(same_record(record, back));

    // And through BGZF: blocks of its own that inflate to the same bytes.
    std::vector<char> packed;
    BamRecordIndexFileInfo info;
    std::uint64_t packed_key = 0;
    std::string pack_error;
    FUZZ_CHECK(util::pack_bam_record_to_BGZF_blocks(packed, info, packed_key, record, pack_error));
    FUZZ_CHECK(packed_key == record.sorting_key() && info.ref_id == record.ref_id &&
               info.pos == record.pos);
    std::istringstream in(std::string(packed.begin(), packed.end()));
    std::vector<char> inflated;
    std::string read_error;
    while (kelp::bgzf::read_BGZF_block(in, inflated, read_error)) {
    }
    FUZZ_CHECK(read_error.empty());
    FUZZ_CHECK(inflated == block);
    return 0;
}
