// Uncompressed BAM data (alignment blocks one after another, as they stand
// after inflating a file) into deserialise. Each decoded record must
// serialise, unless the format cannot carry it, and decode again to the same
// fields and SAM text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "fuzz_support.h"

namespace {

using namespace kelp::bam;

const std::vector<RefSeq> REFS{{"chr1", 248956422}, {"chr2", 242193529}};

// A cap on records per input keeps every run short.
constexpr int MAX_RECORDS = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // An exact-size copy, so a read past the end leaves the allocation.
    const std::vector<char> data(bytes, bytes + size);
    io::IOBuffer buffer{data.data(), data.size(), 0};
    fuzz_support::Sink sink;

    for (int n = 0; n < MAX_RECORDS && buffer.position < buffer.size; ++n) {
        const std::uint64_t start = buffer.position;
        BamRecord record;
        std::string error;
        if (!record.deserialise(buffer, REFS, error)) {
            FUZZ_CHECK(!error.empty());
            // A refused block leaves the record as it was.
            FUZZ_CHECK(record.read_name.empty() && record.sam_line.empty() &&
                       record.aux_data.empty());
            break;
        }
        FUZZ_CHECK(buffer.position > start && buffer.position <= buffer.size);
        sink.take(record.sam_line);

        std::vector<char> out;
        std::string write_error;
        if (!record.serialise(out, write_error)) {
            FUZZ_CHECK(!write_error.empty());
            continue;
        }
        io::IOBuffer again{out.data(), out.size(), 0};
        BamRecord copy;
        std::string again_error;
        FUZZ_CHECK(copy.deserialise(again, REFS, again_error));
        FUZZ_CHECK(again.position == out.size());
        FUZZ_CHECK(copy.sam_line == record.sam_line);
        FUZZ_CHECK(copy.cigar == record.cigar && copy.seq == record.seq &&
                   copy.qual == record.qual && copy.read_name == record.read_name);
    }
    return 0;
}
