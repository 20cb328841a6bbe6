// BGZF writing and reading of 10 MB, and SAM text to BAM blocks, beside the
// reference tools doing the same work in the same run: `bgzip -l 6 -@1`,
// `bgzip -d -@1` and `samtools view -b -@0`, each on one thread.
//
// The tools run as processes on files in a temporary directory (hot in the
// page cache) and write to /dev/null, so their times include process start-up
// and file reading; ours work from memory into memory. The data is SAM text
// made up of reads with random bases, which compresses about as well as BAM
// record bytes do. After the runs, prints each of our throughputs as a
// fraction of the tool's (above 1: we are faster).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

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

void run_tool(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            return;
        }
    }
}

void BM_BgzfWrite(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<char> out;
    out.reserve(in.data.size());
    std::string error;
    for (auto _ : state) {
        out.clear();
        kelp::bgzf::pack_BGZF_blocks(out, in.data, error);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.data.size()));
}
BENCHMARK(BM_BgzfWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plain zlib on the same 64 KiB chunks at the same level, into one reused
// buffer, without the BGZF framing or the CRC: the floor of our writer.
void BM_ZlibDeflate(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<unsigned char> out(70000);
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    for (auto _ : state) {
        for (size_t done = 0; done < in.data.size(); done += 65536) {
            deflateReset(&stream);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data.data() + done));
            stream.avail_in = static_cast<uInt>(std::min<size_t>(65536, in.data.size() - done));
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, Z_FINISH);
            benchmark::DoNotOptimize(out.data());
        }
    }
    deflateEnd(&stream);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.data.size()));
}
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BgzipWrite(benchmark::State& state) {
    run_tool(state, "bgzip -l 6 -@1 -c " + inputs().data_path + " > /dev/null");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inputs().data.size()));
}
BENCHMARK(BM_BgzipWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BgzfRead(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<char> out;
    out.reserve(in.data.size());
    for (auto _ : state) {
        std::istringstream stream(in.compressed);
        out.clear();
        std::string error;
        while (kelp::bgzf::read_BGZF_block(stream, out, error)) {
        }
        if (!error.empty() || out.size() != in.data.size()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.data.size()));
}
BENCHMARK(BM_BgzfRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plain zlib inflate of the same blocks' payloads into one reused buffer,
// without stream reads, checks or the CRC: the floor of our reader.
void BM_ZlibInflate(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<unsigned char> out(65536);
    z_stream stream{};
    inflateInit2(&stream, -15);
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.compressed.data());
    for (auto _ : state) {
        for (size_t at = 0; at < in.compressed.size();) {
            const size_t block = 1 + (bytes[at + 16] | (bytes[at + 17] << 8));
            inflateReset(&stream);
            stream.next_in = const_cast<Bytef*>(bytes + at + 18);
            stream.avail_in = static_cast<uInt>(block - 26);
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            inflate(&stream, Z_FINISH);
            benchmark::DoNotOptimize(out.data());
            at += block;
        }
    }
    inflateEnd(&stream);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.data.size()));
}
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BgzipRead(benchmark::State& state) {
    run_tool(state, "bgzip -d -@1 -c " + inputs().gz_path + " > /dev/null");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inputs().data.size()));
}
BENCHMARK(BM_BgzipRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// One BGZF block per record, as a coordinate-sorting writer packs them.
void BM_SamToBam(benchmark::State& state) {
    const auto& in = inputs();
    const kelp::bam::AlignmentFileHeader header{REFS};
    std::vector<char> out;
    for (auto _ : state) {
        out.clear();
        for (const std::string& line : in.sam_lines) {
            kelp::bam::BamRecordIndexFileInfo info;
            uint64_t key = 0;
            std::string error;
            if (!kelp::bam::util::pack_sam_line_to_BGZF_blocks(out, info, key, line, header, error)) {
                state.SkipWithError(error.c_str());
                return;
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.sam_bytes));
    state.counters["bam_bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_SamToBam)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same lines parsed and serialised only: the share of SAM-to-BAM that is
// not compression.
void BM_SamToRecordBytes(benchmark::State& state) {
    const auto& in = inputs();
    kelp::bam::BamRecord record;
    std::vector<char> block;
    for (auto _ : state) {
        for (const std::string& line : in.sam_lines) {
            std::string error;
            if (!kelp::bam::util::parse_sam_line_to_bam_record(line, record, REFS, error) ||
                !record.serialise(block, error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            benchmark::DoNotOptimize(block.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.sam_bytes));
}
BENCHMARK(BM_SamToRecordBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SamtoolsViewB(benchmark::State& state) {
    run_tool(state, "samtools view -b -@0 -o /dev/null " + inputs().sam_path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inputs().sam_bytes));
}
BENCHMARK(BM_SamtoolsViewB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each run's bytes per second for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const auto bytes = run.counters.find("bytes_per_second");
            if (bytes != run.counters.end()) {
                m_rates[run.benchmark_name()] = bytes->second.value;
            }
        }
    }

    void print_ratios() const {
        std::printf("\nThroughput as a fraction of the reference tool's (same run, one thread each):\n");
        print_ratio("BM_BgzfWrite", "BM_BgzipWrite");
        print_ratio("BM_BgzfRead", "BM_BgzipRead");
        print_ratio("BM_SamToBam", "BM_SamtoolsViewB");
        std::printf("Beside plain zlib on the same chunks, and the share of SAM-to-BAM that is not compression:\n");
        print_ratio("BM_BgzfWrite", "BM_ZlibDeflate");
        print_ratio("BM_BgzfRead", "BM_ZlibInflate");
        print_ratio("BM_SamToBam", "BM_SamToRecordBytes");
    }

  private:
    void print_ratio(const char* name, const char* reference) const {
        const double value = rate(name);
        const double base = rate(reference);
        if (value > 0 && base > 0) {
            std::printf("  %-14s / %-19s %.3f\n", name, reference, value / base);
        }
    }

    double rate(const std::string& prefix) const {
        for (const auto& [name, value] : m_rates) {
            if (name.rfind(prefix, 0) == 0 &&
                (name.size() == prefix.size() || name[prefix.size()] == '/')) {
                return value;
            }
        }
        return 0;
    }

    std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    inputs();  // built before any timing
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
