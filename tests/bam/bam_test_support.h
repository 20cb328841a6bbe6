#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bam_record.h"

// Helpers shared by the BAM and BGZF tests: byte building, temporary files and
// the outside tools (samtools, bgzip, pysam) that act as the reference reader
// and writer.
namespace bam_test {

// A B array of `subtype` holding `values` as stored bytes.
template <typename T>
inline kelp::bam::AuxNumericalArray array_of(char subtype, const std::vector<T>& values) {
    kelp::bam::AuxNumericalArray array;
    array.subtype = subtype;
    array.count = static_cast<uint32_t>(values.size());
    array.data.resize(values.size() * sizeof(T));
    if (!values.empty()) {
        std::memcpy(array.data.data(), values.data(), array.data.size());
    }
    return array;
}


// The 28-byte end-of-file marker block of BGZF files.
inline const std::string BGZF_EOF(
    "\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00\x03\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00",
    28);

inline std::vector<char> bytes_of(const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
}

inline std::vector<char> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<char> out(count);
    for (char& c : out) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return out;
}

template <typename T>
void put_le(std::string& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        out += static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
    }
}

template <typename T>
void set_le(std::string& out, size_t at, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        out[at + i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
    }
}

// A directory removed with everything in it when the test ends.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bam_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

  private:
    std::filesystem::path m_path;
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs a shell command and collects its standard output.
inline CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        result.out.append(buffer, got);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The outside tools are installed by scripts/setup.sh; their absence is a
// failure of the set-up, not a reason to skip.
inline bool have_tool(const std::string& name) {
    return run("command -v " + name + " >/dev/null 2>&1").status == 0;
}

#define REQUIRE_TOOL(name)                                                                    \
    ASSERT_TRUE(bam_test::have_tool(name))                                                    \
        << name << " is not on PATH; run scripts/setup.sh to install the test oracle tools"

inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

}  // namespace bam_test
