// A stream of BGZF blocks, as a BAM file is, read block by block. The reader
// must stop at the end or at the first damaged block with a reason, and never
// hand out more than one block's worth of data per call.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bgzf.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(bytes), size));
    std::vector<char> out;
    std::string error;
    // Every block takes at least 26 bytes, so this bounds the loop.
    for (std::size_t n = 0; n <= size / 26; ++n) {
        const std::size_t before = out.size();
        if (!kelp::bgzf::read_BGZF_block(in, out, error)) {
            FUZZ_CHECK(out.size() - before <= kelp::bgzf::MAX_BLOCK_DATA);
            break;
        }
        FUZZ_CHECK(error.empty());
        FUZZ_CHECK(out.size() - before <= kelp::bgzf::MAX_BLOCK_DATA);
        FUZZ_CHECK(static_cast<std::size_t>(in.tellg()) <= size);
    }

    // What was read packs into blocks that read back as the same bytes.
    // Only for small data: deflating whole 64 KiB blocks on every run would
    // slow the reader's fuzzing a hundredfold.
    if (!out.empty() && out.size() <= 4096) {
        std::vector<char> packed;
        std::string pack_error;
        FUZZ_CHECK(kelp::bgzf::pack_BGZF_blocks(packed, out, pack_error));
        std::istringstream again(std::string(packed.begin(), packed.end()));
        std::vector<char> back;
        std::string again_error;
        while (kelp::bgzf::read_BGZF_block(again, back, again_error)) {
        }
        FUZZ_CHECK(again_error.empty() && back == out);
    }
    return 0;
}
