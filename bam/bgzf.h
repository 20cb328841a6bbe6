#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "common/export.h"

// BGZF: blocked gzip, the container of BAM files. Every block is a complete
// gzip member whose "BC" extra field holds the block size; a block carries at
// most 64 KiB of data and is at most 64 KiB long. No function here writes the
// end-of-file marker block: whoever finishes a file appends it.
//
// Every function returns a success flag and, on failure, puts the reason into
// `error`; `error` is never cleared on success, so pass an empty one.
// Thread-safe: each thread keeps its own zlib streams.
namespace kelp::bgzf {

// The first 16 bytes of every block written here (gzip magic, deflate, FEXTRA,
// MTIME 0, XFL 0, OS 0xFF, XLEN 6, "BC", SLEN 2); BSIZE follows.
extern STRANDLINK_EXPORT const std::string HEADER_BYTES;

// Largest input chunk of one block, and largest deflate payload that still
// leaves room for the 26 header and trailer bytes in a 64 KiB block.
constexpr uint32_t MAX_BLOCK_DATA = 0x10000;
constexpr uint32_t MAX_COMPRESSED_DATA = 0x10000 - 26;

// The standard CRC-32 of gzip and zlib.
STRANDLINK_EXPORT uint32_t crc32(const char* data, uint64_t length);

// Reads one block from `in` and appends its data to `out`. At the clean end of
// the input (no byte left before the block) returns false and leaves `error`
// untouched; any damage, including a block cut short, returns false with a
// reason. A block of no data (such as the end-of-file marker) appends nothing.
STRANDLINK_EXPORT bool read_BGZF_block(std::istream& in, std::vector<char>& out,
                                       std::string& error);

// Compresses `data` into blocks written to `out`. `file_offset` is the offset
// in the file of the first byte written and is advanced past the blocks;
// `start_offset` and `end_offset` receive the virtual offsets (offset << 16) of
// the first block and of the byte after the last. An empty `data` writes
// nothing. A failed write returns false; `file_offset` then counts only the
// blocks fully written before it.
STRANDLINK_EXPORT bool write_BGZF_blocks(std::ostream& out, const std::vector<char>& data,
                                         uint64_t& start_offset, uint64_t& end_offset,
                                         uint64_t& file_offset, std::string& error);

// As write_BGZF_blocks, but appends the blocks to `out` so they can be
// prepared ahead and written later with write_packed_BGZF_blocks.
STRANDLINK_EXPORT bool pack_BGZF_blocks(std::vector<char>& out, const std::vector<char>& data,
                                        std::string& error);

// Writes blocks made by pack_BGZF_blocks as they are and reports their
// virtual offsets as write_BGZF_blocks does. A failed write returns false and
// leaves `file_offset` where it was.
STRANDLINK_EXPORT bool write_packed_BGZF_blocks(std::ostream& out,
                                                const std::vector<char>& packed_blocks,
                                                uint64_t& start_offset, uint64_t& end_offset,
                                                uint64_t& file_offset, std::string& error);

}  // namespace kelp::bgzf
