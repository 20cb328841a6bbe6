// A BAI index file into the index dump. The dump takes a path, so each input
// is written to a file of this process first. Whatever the counts in the
// file say, the walk must end at the end of the file.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bam/bam_index.h"
#include "fuzz_support.h"

namespace {

std::string index_path() {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("strandlink_fuzz_" + std::to_string(getpid()) + ".bai"))
                                            .string();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The dump prints every line; the fuzzer's own reports go to standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string path = index_path();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    std::string error;
    if (!kelp::bam::util::print_index_from_file(path, error)) {
        FUZZ_CHECK(!error.empty());
    }
    std::remove(path.c_str());
    return 0;
}
