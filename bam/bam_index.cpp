#include "bam/bam_index.h"

#include <cstdint>
#include <fstream>
#include <iostream>

#include "bam/bam_record.h"

namespace kelp::bam::util {

namespace {

constexpr uint32_t PSEUDO_BIN = 37450;
constexpr uint64_t LINEAR_WINDOW = 16384;

// Reads little-endian values from the index; any value cut short by the end
// of the file fails and stays failed.
class IndexReader {
  public:
    explicit IndexReader(std::istream& in) : m_in(in) {}

    template <typename T>
    bool read(T& value) {
        unsigned char bytes[sizeof(T)];
        m_in.read(reinterpret_cast<char*>(bytes), sizeof(T));
        if (m_in.gcount() != static_cast<std::streamsize>(sizeof(T))) {
            m_cut_short = m_in.gcount() > 0;
            return false;
        }
        uint64_t bits = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            bits |= uint64_t{bytes[i]} << (8 * i);
        }
        value = static_cast<T>(bits);
        return true;
    }

    // True when the last failed read found some bytes but not enough.
    bool cut_short() const { return m_cut_short; }

  private:
    std::istream& m_in;
    bool m_cut_short = false;
};

void print_line(const std::string& text) { std::cout << text << std::endl; }

std::string offset_text(uint64_t virtual_offset) {
    return std::to_string(virtual_offset >> 16) + " block offset " +
           std::to_string(virtual_offset & 0xFFFF);
}

}  // namespace

bool print_index_from_file(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "Cannot open index file " + path;
        return false;
    }
    IndexReader reader(in);
    const std::string truncated = "Index file ends part-way through its content: " + path;

    char magic[4];
    in.read(magic, sizeof(magic));
    int32_t n_ref = 0;
    if (in.gcount() != 4 || BAI_MAGIC_WORD.compare(0, 4, magic, 4) != 0 || !reader.read(n_ref)) {
        error = "Encountered malformed BAI header in file " + path;
        return false;
    }
    print_line("n_ref is " + std::to_string(n_ref));

    for (int32_t i = 0; i < n_ref; ++i) {
        const std::string ref = "Ref " + std::to_string(i);
        int32_t n_bin = 0;
        if (!reader.read(n_bin)) {
            error = truncated;
            return false;
        }
        print_line("\n" + ref + " has " + std::to_string(n_bin) + " bins");
        int64_t total_chunks = 0;
        for (int32_t b = 0; b < n_bin; ++b) {
            uint32_t bin = 0;
            int32_t n_chunk = 0;
            if (!reader.read(bin) || !reader.read(n_chunk)) {
                error = truncated;
                return false;
            }
            print_line(ref + " bin " + std::to_string(static_cast<int32_t>(bin)) + " has " +
                       std::to_string(n_chunk) + " chunks");
            if (bin == PSEUDO_BIN) {
                if (n_chunk != 2) {
                    error = "Encountered malformed magic bin in index file " + path;
                    return false;
                }
                uint64_t begin = 0, end = 0, mapped = 0, unmapped = 0;
                if (!reader.read(begin) || !reader.read(end) || !reader.read(mapped) ||
                    !reader.read(unmapped)) {
                    error = truncated;
                    return false;
                }
                print_line("Magic bin says placed unmapped begin " + std::to_string(begin >> 16) +
                           "," + std::to_string(begin & 0xFFFF) + " end " +
                           std::to_string(end >> 16) + "," + std::to_string(end & 0xFFFF) +
                           ", num mapped " + std::to_string(mapped) + ", unmapped " +
                           std::to_string(unmapped));
                continue;
            }
            total_chunks += n_chunk;
            for (int32_t c = 0; c < n_chunk; ++c) {
                uint64_t begin = 0, end = 0;
                if (!reader.read(begin) || !reader.read(end)) {
                    error = truncated;
                    return false;
                }
                print_line("Start is file offset " + offset_text(begin));
                print_line("End is file offset " + offset_text(end));
            }
        }
        print_line(ref + " has " + std::to_string(total_chunks) + " total real chunks");

        int32_t n_intv = 0;
        if (!reader.read(n_intv)) {
            error = truncated;
            return false;
        }
        print_line(ref + " has " + std::to_string(n_intv) + " linear intervals");
        for (int32_t k = 0; k < n_intv; ++k) {
            uint64_t offset = 0;
            if (!reader.read(offset)) {
                error = truncated;
                return false;
            }
            const uint32_t window_start = static_cast<uint32_t>(uint64_t(k) * LINEAR_WINDOW);
            print_line("Linear file offset " + offset_text(offset) + " (" +
                       std::to_string(window_start) + " - " +
                       std::to_string(static_cast<uint32_t>(window_start + LINEAR_WINDOW - 1)) +
                       ")");
        }
    }

    // The count of reads without coordinates is optional, but a part of one
    // is damage.
    uint64_t n_no_coor = 0;
    if (reader.read(n_no_coor)) {
        print_line("Got n_no_coor " + std::to_string(n_no_coor));
        char extra = 0;
        if (in.read(&extra, 1).gcount() == 1) {
            print_line("Error: more bytes available in the index file!");
        }
    } else if (reader.cut_short()) {
        error = truncated;
        return false;
    }
    return true;
}

}  // namespace kelp::bam::util
