// BGZF writing and reading of 10 MB, and SAM text to BAM blocks, beside the
// reference tools doing the same work in the same run: `bgzip -l 6 -@1`,
// `bgzip -d -@1` and `samtools view -b -@0`, each on one thread.
//
// The tools run as processes on files in a temporary directory (hot in the
// page cache) and write to /dev/null, so their times include process start-up
// and file reading; ours work from memory into memory. The data is SAM text
// made up of reads with random bases, which compresses about as well as BAM
// record bytes do. After the runs, prints each of our throughputs as a
// fraction of the tool's (above 1: we are faster), as the median of per-round
// ratios of interleaved rounds (--rounds=N, default 21; 0 skips them).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "bench/interleaved_rounds.h"

#include "bam/bam_utils.h"
#include "bam/bgzf.h"

namespace {

constexpr size_t BGZF_BYTES = 10 * 1000 * 1000;
constexpr size_t SAM_READS = 100000;

const std::vector<kelp::bam::RefSeq> REFS = {{"chr1", 250000000}, {"chr2", 240000000}};

struct Inputs {
    std::filesystem::path dir;
    std::vector<char> data;       // BGZF_BYTES of SAM text
    std::string compressed;       // `data` as our BGZF blocks
    std::vector<std::string> sam_lines;
    size_t sam_bytes = 0;
    std::string data_path, gz_path, sam_path;

    Inputs() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bgzf_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        std::mt19937 generator(42);
        std::string header;
        for (const auto& ref : REFS) {
            header += "@SQ\tSN:" + ref.name + "\tLN:" + std::to_string(ref.length) + "\n";
        }
        std::string text;
        uint32_t pos = 1;
        for (size_t i = 0; i < SAM_READS; ++i) {
            std::string seq(150, 'A');
            std::string qual(150, 'I');
            for (size_t k = 0; k < seq.size(); ++k) {
                seq[k] = "ACGT"[generator() % 4];
                qual[k] = static_cast<char>('5' + generator() % 10);
            }
            pos += 1 + generator() % 200;
            std::string line = "read_" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(pos) +
                               "\t60\t70M2I78M\t*\t0\t0\t" + seq + "\t" + qual + "\tNM:i:" +
                               std::to_string(generator() % 9) + "\tAS:i:" +
                               std::to_string(200 + generator() % 100) + "\tRG:Z:group1";
            sam_bytes += line.size() + 1;
            text += line + "\n";
            sam_lines.push_back(std::move(line));
        }
        while (data.size() < BGZF_BYTES) {
            data.insert(data.end(), text.begin(), text.end());
        }
        data.resize(BGZF_BYTES);

        std::vector<char> packed;
        std::string error;
        kelp::bgzf::pack_BGZF_blocks(packed, data, error);
        compressed.assign(packed.begin(), packed.end());

        data_path = (dir / "data").string();
        gz_path = data_path + ".gz";
        sam_path = (dir / "reads.sam").string();
        std::ofstream(data_path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        static const char eof_block[28] = {31, -117, 8, 4, 0, 0, 0, 0, 0, -1, 6, 0, 66, 67,
                                           2,  0,    27, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        std::ofstream(gz_path, std::ios::binary) << compressed << std::string(eof_block, 28);
        std::ofstream(sam_path, std::ios::binary) << header << text;
    }
    ~Inputs() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

const Inputs& inputs() {
    static const Inputs instance;
    return instance;
}

// One unit of each arm's work; false when it failed. The Google Benchmark
// functions and the interleaved rounds run the same units.
struct Work {
    const Inputs& in = inputs();
    std::vector<char> out;
    std::vector<unsigned char> deflate_out = std::vector<unsigned char>(70000);
    std::vector<unsigned char> inflate_out = std::vector<unsigned char>(65536);
    z_stream deflater{};
    z_stream inflater{};
    kelp::bam::BamRecord record;
    std::vector<char> block;
    std::string error;

    Work() {
        out.reserve(in.data.size());
        deflateInit2(&deflater, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        inflateInit2(&inflater, -15);
    }
    ~Work() {
        deflateEnd(&deflater);
        inflateEnd(&inflater);
    }
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;

    static bool tool(const std::string& command) {
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "failed: %s\n", command.c_str());
            return false;
        }
        return true;
    }

    bool bgzf_write() {
        out.clear();
        kelp::bgzf::pack_BGZF_blocks(out, in.data, error);
        benchmark::DoNotOptimize(out.data());
        return true;
    }

    // Plain zlib on the same 64 KiB chunks at the same level, into one reused
    // buffer, without the BGZF framing or the CRC: the floor of our writer.
    bool zlib_deflate() {
        for (size_t done = 0; done < in.data.size(); done += 65536) {
            deflateReset(&deflater);
            deflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data.data() + done));
            deflater.avail_in = static_cast<uInt>(std::min<size_t>(65536, in.data.size() - done));
            deflater.next_out = deflate_out.data();
            deflater.avail_out = static_cast<uInt>(deflate_out.size());
            deflate(&deflater, Z_FINISH);
            benchmark::DoNotOptimize(deflate_out.data());
        }
        return true;
    }

    bool bgzip_write() { return tool("bgzip -l 6 -@1 -c " + in.data_path + " > /dev/null"); }

    bool bgzf_read() {
        std::istringstream stream(in.compressed);
        out.clear();
        error.clear();
        while (kelp::bgzf::read_BGZF_block(stream, out, error)) {
        }
        return error.empty() && out.size() == in.data.size();
    }

    // Plain zlib inflate of the same blocks' payloads into one reused buffer,
    // without stream reads, checks or the CRC: the floor of our reader.
    bool zlib_inflate() {
        const auto* bytes = reinterpret_cast<const unsigned char*>(in.compressed.data());
        for (size_t at = 0; at < in.compressed.size();) {
            const size_t size = 1 + (bytes[at + 16] | (bytes[at + 17] << 8));
            inflateReset(&inflater);
            inflater.next_in = const_cast<Bytef*>(bytes + at + 18);
            inflater.avail_in = static_cast<uInt>(size - 26);
            inflater.next_out = inflate_out.data();
            inflater.avail_out = static_cast<uInt>(inflate_out.size());
            inflate(&inflater, Z_FINISH);
            benchmark::DoNotOptimize(inflate_out.data());
            at += size;
        }
        return true;
    }

    bool bgzip_read() { return tool("bgzip -d -@1 -c " + in.gz_path + " > /dev/null"); }

    // One BGZF block per record, as a coordinate-sorting writer packs them.
    bool sam_to_bam() {
        const kelp::bam::AlignmentFileHeader header{REFS};
        out.clear();
        for (const std::string& line : in.sam_lines) {
            kelp::bam::BamRecordIndexFileInfo info;
            uint64_t key = 0;
            if (!kelp::bam::util::pack_sam_line_to_BGZF_blocks(out, info, key, line, header, error)) {
                return false;
            }
        }
        benchmark::DoNotOptimize(out.data());
        return true;
    }

    // The same lines parsed and serialised only: the share of SAM-to-BAM
    // that is not compression.
    bool sam_to_record_bytes() {
        for (const std::string& line : in.sam_lines) {
            if (!kelp::bam::util::parse_sam_line_to_bam_record(line, record, REFS, error) ||
                !record.serialise(block, error)) {
                return false;
            }
            benchmark::DoNotOptimize(block.data());
        }
        return true;
    }

    bool samtools_view_b() { return tool("samtools view -b -@0 -o /dev/null " + in.sam_path); }
};

Work& work() {
    static Work instance;
    return instance;
}

template <bool (Work::*Unit)()>
void run_arm(benchmark::State& state, size_t bytes) {
    Work& w = work();
    for (auto _ : state) {
        if (!(w.*Unit)()) {
            state.SkipWithError(w.error.empty() ? "failed" : w.error.c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

size_t data_bytes() { return inputs().data.size(); }
size_t sam_bytes() { return inputs().sam_bytes; }

void BM_BgzfWrite(benchmark::State& state) { run_arm<&Work::bgzf_write>(state, data_bytes()); }
BENCHMARK(BM_BgzfWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_ZlibDeflate(benchmark::State& state) { run_arm<&Work::zlib_deflate>(state, data_bytes()); }
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_BgzipWrite(benchmark::State& state) { run_arm<&Work::bgzip_write>(state, data_bytes()); }
BENCHMARK(BM_BgzipWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_BgzfRead(benchmark::State& state) { run_arm<&Work::bgzf_read>(state, data_bytes()); }
BENCHMARK(BM_BgzfRead)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_ZlibInflate(benchmark::State& state) { run_arm<&Work::zlib_inflate>(state, data_bytes()); }
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_BgzipRead(benchmark::State& state) { run_arm<&Work::bgzip_read>(state, data_bytes()); }
BENCHMARK(BM_BgzipRead)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SamToBam(benchmark::State& state) {
    run_arm<&Work::sam_to_bam>(state, sam_bytes());
    state.counters["bam_bytes"] = static_cast<double>(work().out.size());
}
BENCHMARK(BM_SamToBam)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SamToRecordBytes(benchmark::State& state) { run_arm<&Work::sam_to_record_bytes>(state, sam_bytes()); }
BENCHMARK(BM_SamToRecordBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SamtoolsViewB(benchmark::State& state) { run_arm<&Work::samtools_view_b>(state, sam_bytes()); }
BENCHMARK(BM_SamtoolsViewB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Throughputs as fractions of the reference tool's and of plain zlib, each
// the median of per-round ratios of interleaved rounds.
void print_interleaved_ratios(int rounds) {
    Work& w = work();
    const auto arm = [&w](const char* name, bool (Work::*unit)(), size_t bytes) {
        return bench_rounds::Arm{name,
                                 [&w, unit] {
                                     if (!(w.*unit)()) {
                                         throw std::runtime_error("a benchmark arm failed");
                                     }
                                 },
                                 static_cast<double>(bytes)};
    };
    enum { write, deflate_, bgzip_w, read, inflate_, bgzip_r, sam, record, samtools };
    const std::vector<bench_rounds::Arm> arms = {
            arm("BM_BgzfWrite", &Work::bgzf_write, data_bytes()),
            arm("BM_ZlibDeflate", &Work::zlib_deflate, data_bytes()),
            arm("BM_BgzipWrite", &Work::bgzip_write, data_bytes()),
            arm("BM_BgzfRead", &Work::bgzf_read, data_bytes()),
            arm("BM_ZlibInflate", &Work::zlib_inflate, data_bytes()),
            arm("BM_BgzipRead", &Work::bgzip_read, data_bytes()),
            arm("BM_SamToBam", &Work::sam_to_bam, sam_bytes()),
            arm("BM_SamToRecordBytes", &Work::sam_to_record_bytes, sam_bytes()),
            arm("BM_SamtoolsViewB", &Work::samtools_view_b, sam_bytes()),
    };
    const auto rates = bench_rounds::run_rounds(arms, rounds, 0.1);
    const auto print = [&](int a, int b) {
        std::printf("  %-14s / %-19s %.3f\n", arms[a].name.c_str(), arms[b].name.c_str(),
                    bench_rounds::median_ratio(rates, a, b));
    };
    std::printf("\nThroughput as a fraction of the reference tool's (one thread each; median of %d "
                "interleaved rounds):\n", rounds);
    print(write, bgzip_w);
    print(read, bgzip_r);
    print(sam, samtools);
    std::printf("Beside plain zlib on the same chunks, and the share of SAM-to-BAM that is not compression:\n");
    print(write, deflate_);
    print(read, inflate_);
    print(sam, record);
}

}  // namespace

int main(int argc, char** argv) {
    inputs();  // built before any timing
    return bench_rounds::benchmark_main(argc, argv, print_interleaved_ratios);
}
