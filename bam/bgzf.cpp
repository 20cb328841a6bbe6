#include "bam/bgzf.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace kelp::bgzf {

const std::string HEADER_BYTES("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00",
                               16);

namespace {

constexpr size_t HEADER_SIZE = 18;   // HEADER_BYTES and BSIZE
constexpr size_t TRAILER_SIZE = 8;   // CRC32 and ISIZE
constexpr size_t MAX_BLOCK_SIZE = HEADER_SIZE + MAX_COMPRESSED_DATA + TRAILER_SIZE;

void put_u16(char* at, uint32_t value) {
    at[0] = static_cast<char>(value & 0xFF);
    at[1] = static_cast<char>((value >> 8) & 0xFF);
}

void put_u32(char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

uint32_t get_u16(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8);
}

uint32_t get_u32(const unsigned char* at) {
    return get_u16(at) | (get_u16(at + 2) << 16);
}

// One raw-deflate stream per thread, reset between chunks: setting up a
// stream costs far more than compressing one small BAM record, and a reset
// stream produces exactly the bytes of a fresh one.
class Deflater {
  public:
    Deflater() {
        std::memset(&m_stream, 0, sizeof(m_stream));
        m_ready = deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8,
                               Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (m_ready) {
            deflateEnd(&m_stream);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    enum class Result { done, no_room, failed };

    // Compresses `length` bytes into at most `capacity` bytes at `dest`.
    Result compress(const char* data, uint32_t length, char* dest, uint32_t capacity,
                    uint32_t& written, std::string& error) {
        if (!m_ready) {
            error = "Could not initialize stream deflate";
            return Result::failed;
        }
        deflateReset(&m_stream);
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        m_stream.avail_in = length;
        m_stream.next_out = reinterpret_cast<Bytef*>(dest);
        m_stream.avail_out = capacity;
        const int status = deflate(&m_stream, Z_FINISH);
        if (status == Z_STREAM_END) {
            written = static_cast<uint32_t>(m_stream.total_out);
            return Result::done;
        }
        // Z_OK or Z_BUF_ERROR with the output full: the chunk does not fit.
        if ((status == Z_OK || status == Z_BUF_ERROR) && m_stream.avail_out == 0) {
            return Result::no_room;
        }
        error = "Deflate failed with error code " + std::to_string(status);
        return Result::failed;
    }

  private:
    z_stream m_stream;
    bool m_ready = false;
};

class Inflater {
  public:
    Inflater() {
        std::memset(&m_stream, 0, sizeof(m_stream));
        m_ready = inflateInit2(&m_stream, -15) == Z_OK;
    }
    ~Inflater() {
        if (m_ready) {
            inflateEnd(&m_stream);
        }
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates `length` bytes into exactly `expected` bytes at `dest`. The
    // deflate stream must end, fill `dest` exactly and use all its input: a
    // block of no data may not hide data, and no data may follow the stream.
    bool decompress(const char* data, uint32_t length, char* dest, uint32_t expected,
                    std::string& error) {
        if (expected > MAX_BLOCK_DATA) {
            error = "Arguments to decompress_data incorrect";
            return false;
        }
        if (!m_ready) {
            error = "Could not initialize stream inflate";
            return false;
        }
        char no_room = 0;
        inflateReset(&m_stream);
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        m_stream.avail_in = length;
        m_stream.next_out = reinterpret_cast<Bytef*>(expected == 0 ? &no_room : dest);
        m_stream.avail_out = expected;
        const int status = inflate(&m_stream, Z_FINISH);
        if (status != Z_STREAM_END) {
            error = "Inflate failed with error code " + std::to_string(status);
            return false;
        }
        if (m_stream.avail_out != 0) {
            error = "Inflate did not produce expected amount of data";
            return false;
        }
        if (m_stream.avail_in != 0) {
            error = "Inflate left compressed data unused";
            return false;
        }
        return true;
    }

  private:
    z_stream m_stream;
    bool m_ready = false;
};

// Splits `data` into blocks and hands each finished block to `emit`
// (pointer, size; returns false to stop). A chunk whose deflate output does not
// fit one block is halved and compressed again from the same start.
template <typename Emit>
bool for_each_block(const std::vector<char>& data, std::string& error, Emit emit) {
    thread_local Deflater deflater;
    thread_local std::vector<char> block(MAX_BLOCK_SIZE);
    std::memcpy(block.data(), HEADER_BYTES.data(), HEADER_BYTES.size());

    size_t done = 0;
    while (done < data.size()) {
        const char* chunk = data.data() + done;
        uint32_t length = static_cast<uint32_t>(std::min<size_t>(data.size() - done, MAX_BLOCK_DATA));
        uint32_t compressed = 0;
        for (;;) {
            // A private text: only the outcome of the last attempt may reach
            // the caller.
            std::string reason;
            const auto result = deflater.compress(chunk, length, block.data() + HEADER_SIZE,
                                                  MAX_COMPRESSED_DATA, compressed, reason);
            if (result == Deflater::Result::done) {
                break;
            }
            if (result == Deflater::Result::failed || length == 1) {
                error = reason.empty() ? "Deflate could not fit one byte into a BGZF block"
                                       : reason;
                return false;
            }
            length /= 2;
        }
        put_u16(block.data() + 16, compressed + 25);
        char* trailer = block.data() + HEADER_SIZE + compressed;
        put_u32(trailer, crc32(chunk, length));
        put_u32(trailer + 4, length);
        if (!emit(block.data(), HEADER_SIZE + compressed + TRAILER_SIZE)) {
            return false;
        }
        done += length;
    }
    return true;
}

const char* const WRITE_FAILED = "Failed to write BGZF blocks to the output stream";

}  // namespace

uint32_t crc32(const char* data, uint64_t length) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const uInt part = static_cast<uInt>(std::min<uint64_t>(length, 1u << 30));
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(data), part);
        data += part;
        length -= part;
    }
    return static_cast<uint32_t>(crc);
}

bool read_BGZF_block(std::istream& in, std::vector<char>& out, std::string& error) {
    unsigned char header[HEADER_SIZE];
    in.read(reinterpret_cast<char*>(header), HEADER_SIZE);
    const auto got = in.gcount();
    if (got == 0 && !in.bad()) {
        return false;  // the end of the input: not an error
    }
    if (in.bad()) {
        error = "BAM file reported an error";
        return false;
    }
    if (got != static_cast<std::streamsize>(HEADER_SIZE)) {
        error = "Encountered truncated BGZF block header in file";
        return false;
    }
    if (header[0] != 0x1f || header[1] != 0x8b || header[2] != 0x08 || header[3] != 0x04) {
        error = "Encountered malformed BGZF header in file";
        return false;
    }
    if (get_u16(header + 10) != 6) {
        error = "Encountered unknown sub fields in BGZF header in file";
        return false;
    }
    if (header[12] != 'B' || header[13] != 'C' || get_u16(header + 14) != 2) {
        error = "Encountered malformed BGZF subfield in file";
        return false;
    }
    const uint32_t block_size = get_u16(header + 16);
    if (block_size < 25) {
        error = "Encountered over-sized BGZF block in file";
        return false;
    }
    // BSIZE is 16 bits, so the payload is at most 65510 bytes: it always fits.
    const uint32_t compressed = block_size - 25;
    thread_local std::vector<char> payload(MAX_COMPRESSED_DATA + TRAILER_SIZE);
    in.read(payload.data(), compressed + TRAILER_SIZE);
    if (in.gcount() != static_cast<std::streamsize>(compressed + TRAILER_SIZE)) {
        error = in.bad() ? "BAM file reported an error" : "Encountered truncated BGZF block in file";
        return false;
    }
    const auto* trailer = reinterpret_cast<const unsigned char*>(payload.data() + compressed);
    const uint32_t expected_crc = get_u32(trailer);
    const uint32_t data_size = get_u32(trailer + 4);

    thread_local Inflater inflater;
    const size_t old_size = out.size();
    std::string reason;
    if (data_size <= MAX_BLOCK_DATA) {
        out.resize(old_size + data_size);
    }
    if (!inflater.decompress(payload.data(), compressed, out.data() + old_size, data_size,
                             reason)) {
        out.resize(old_size);
        error = "BGZF block did not unzip correctly in file: " + reason;
        return false;
    }
    if (crc32(out.data() + old_size, data_size) != expected_crc) {
        out.resize(old_size);
        error = "CRC mismatch after decompressing BGZF block!";
        return false;
    }
    if (!in.good()) {
        error = "BAM file reported an error";
        return false;
    }
    return true;
}

bool write_BGZF_blocks(std::ostream& out, const std::vector<char>& data, uint64_t& start_offset,
                       uint64_t& end_offset, uint64_t& file_offset, std::string& error) {
    start_offset = file_offset << 16;
    const bool ok = for_each_block(data, error, [&](const char* block, size_t size) {
        if (!out.write(block, static_cast<std::streamsize>(size))) {
            error = WRITE_FAILED;
            return false;
        }
        file_offset += size;
        return true;
    });
    end_offset = file_offset << 16;
    return ok;
}

bool pack_BGZF_blocks(std::vector<char>& out, const std::vector<char>& data, std::string& error) {
    return for_each_block(data, error, [&](const char* block, size_t size) {
        out.insert(out.end(), block, block + size);
        return true;
    });
}

bool write_packed_BGZF_blocks(std::ostream& out, const std::vector<char>& packed_blocks,
                              uint64_t& start_offset, uint64_t& end_offset, uint64_t& file_offset,
                              std::string& error) {
    start_offset = file_offset << 16;
    if (!packed_blocks.empty() &&
        !out.write(packed_blocks.data(), static_cast<std::streamsize>(packed_blocks.size()))) {
        end_offset = start_offset;
        error = WRITE_FAILED;
        return false;
    }
    file_offset += packed_blocks.size();
    end_offset = file_offset << 16;
    return true;
}

}  // namespace kelp::bgzf
