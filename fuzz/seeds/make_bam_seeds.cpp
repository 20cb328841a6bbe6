// Writes the seed inputs of the BAM targets from the SAM lines of the
// sam_line seeds: each record's alignment block (bam_record_block), the BGZF
// blocks of those records and of larger data (bgzf_stream), a small sorted BAM
// file for the index tool to index (its index becomes a bai_index seed), and
// an index written by hand with every part the dump prints.
// Usage: make_bam_seeds <corpus folder> <BAM file to write>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "bam/bam_utils.h"
#include "bam/bgzf.h"

namespace {

using namespace kelp::bam;
namespace fs = std::filesystem;

const AlignmentFileHeader HEADER{{{"chr1", 248956422}, {"chr2", 242193529}}};

void write_file(const fs::path& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
void put(std::vector<char>& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF));
    }
}

std::vector<char> packed(const std::vector<char>& data) {
    std::vector<char> out;
    std::string error;
    kelp::bgzf::pack_BGZF_blocks(out, data, error);
    return out;
}

const std::vector<char> BGZF_EOF{'\x1f', '\x8b', '\x08', '\x04', 0, 0, 0, 0, 0, '\xff', 6, 0,
                                 'B', 'C', 2, 0, 0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_bam_seeds <corpus folder> <BAM file to write>\n";
        return 2;
    }
    const fs::path corpus = argv[1];
    fs::create_directories(corpus / "bam_record_block");
    fs::create_directories(corpus / "bgzf_stream");
    fs::create_directories(corpus / "bai_index");

    std::vector<fs::path> lines;
    for (const auto& entry : fs::directory_iterator(corpus / "sam_line")) {
        lines.push_back(entry.path());
    }
    std::sort(lines.begin(), lines.end());

    std::vector<BamRecord> records;
    std::vector<char> all_blocks;
    for (const auto& path : lines) {
        std::ifstream in(path, std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        BamRecord record;
        std::string error;
        std::vector<char> block;
        if (!util::parse_sam_line_to_bam_record(line, record, HEADER.ref_seqs, error) ||
            !record.serialise(block, error)) {
            continue;  // lines naming references outside this header
        }
        write_file(corpus / "bam_record_block" / path.filename(), block);
        all_blocks.insert(all_blocks.end(), block.begin(), block.end());
        records.push_back(std::move(record));
    }
    write_file(corpus / "bam_record_block" / "all_records", all_blocks);

    // BGZF: the records as blocks of their own with the end-of-file marker,
    // data that takes two blocks, and the marker alone.
    std::vector<char> stream;
    for (const auto& record : records) {
        std::vector<char> block;
        std::string error;
        record.serialise(block, error);
        const auto blocks = packed(block);
        stream.insert(stream.end(), blocks.begin(), blocks.end());
    }
    stream.insert(stream.end(), BGZF_EOF.begin(), BGZF_EOF.end());
    write_file(corpus / "bgzf_stream" / "records", stream);
    write_file(corpus / "bgzf_stream" / "two_blocks", packed(std::vector<char>(100000, 'A')));
    write_file(corpus / "bgzf_stream" / "eof_marker", BGZF_EOF);

    // A coordinate-sorted BAM file for the index tool.
    std::sort(records.begin(), records.end());
    std::vector<char> header;
    header.insert(header.end(), util::BAM_MAGIC_WORD.begin(), util::BAM_MAGIC_WORD.end());
    const std::string text = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:248956422\n@SQ\tSN:chr2\tLN:242193529\n";
    put<std::int32_t>(header, static_cast<std::int32_t>(text.size()));
    header.insert(header.end(), text.begin(), text.end());
    put<std::int32_t>(header, static_cast<std::int32_t>(HEADER.ref_seqs.size()));
    for (const auto& ref : HEADER.ref_seqs) {
        put<std::int32_t>(header, static_cast<std::int32_t>(ref.name.size() + 1));
        header.insert(header.end(), ref.name.begin(), ref.name.end());
        header.push_back('\0');
        put<std::int32_t>(header, static_cast<std::int32_t>(ref.length));
    }
    std::vector<char> bam = packed(header);
    for (const auto& record : records) {
        std::vector<char> blocks;
        BamRecordIndexFileInfo info;
        std::uint64_t key = 0;
        std::string error;
        util::pack_bam_record_to_BGZF_blocks(blocks, info, key, record, error);
        bam.insert(bam.end(), blocks.begin(), blocks.end());
    }
    bam.insert(bam.end(), BGZF_EOF.begin(), BGZF_EOF.end());
    write_file(argv[2], bam);

    // An index by hand: two references, a pseudo-bin, chunks, linear
    // intervals, the count of reads without coordinates and a trailing byte.
    std::vector<char> bai(util::BAI_MAGIC_WORD.begin(), util::BAI_MAGIC_WORD.end());
    put<std::int32_t>(bai, 2);
    put<std::int32_t>(bai, 2);                       // ref 0: two bins
    put<std::uint32_t>(bai, 4681);
    put<std::int32_t>(bai, 1);
    put<std::uint64_t>(bai, (std::uint64_t{100} << 16) | 3);
    put<std::uint64_t>(bai, std::uint64_t{200} << 16);
    put<std::uint32_t>(bai, 37450);
    put<std::int32_t>(bai, 2);
    put<std::uint64_t>(bai, std::uint64_t{100} << 16);
    put<std::uint64_t>(bai, std::uint64_t{200} << 16);
    put<std::uint64_t>(bai, 5);
    put<std::uint64_t>(bai, 1);
    put<std::int32_t>(bai, 2);                       // two linear intervals
    put<std::uint64_t>(bai, std::uint64_t{100} << 16);
    put<std::uint64_t>(bai, (std::uint64_t{150} << 16) | 9);
    put<std::int32_t>(bai, 0);                       // ref 1: no bins
    put<std::int32_t>(bai, 0);
    put<std::uint64_t>(bai, 7);                      // reads without coordinates
    write_file(corpus / "bai_index" / "every_part", bai);
    bai.push_back('\0');
    write_file(corpus / "bai_index" / "trailing_byte", bai);
    return 0;
}
