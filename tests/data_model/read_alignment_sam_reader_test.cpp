// The SAM lines are read by standard SAM tools, so they are checked with one:
// samtools must accept them and encode them as BAM unchanged, and pysam must
// read back the modified-base calls, the move table and the read tags.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "data_model/interfaces/read_alignment.h"

namespace {

using interfaces::ReadAlignmentHelper;
using interfaces::ReadHolder;

const char* const PYTHON = "/usr/bin/python3";

bool tools_available() {
    return access(PYTHON, X_OK) == 0 && std::system("samtools --version >/dev/null 2>&1") == 0 &&
           std::system("/usr/bin/python3 -c 'import pysam' >/dev/null 2>&1") == 0;
}

// Runs a shell command; returns its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, output};
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class SamReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tools_available()) {
            GTEST_SKIP() << "samtools or python3 with pysam not installed";
        }
        char dir_template[] = "/tmp/sam_reader_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        m_dir = dir_template;
    }
    void TearDown() override {
        if (!m_dir.empty()) {
            std::system(("rm -rf '" + m_dir + "'").c_str());
        }
    }

    // Writes the lines under a header naming chr1, checks that samtools turns
    // them into BAM and back unchanged, and returns pysam's summary of each record.
    std::string read_back(const std::vector<std::string>& lines) {
        const std::string sam = m_dir + "/reads.sam";
        const std::string bam = m_dir + "/reads.bam";
        {
            std::ofstream out(sam);
            out << "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\n";
            for (const auto& line : lines) {
                out << line << "\n";
            }
        }
        const auto encode = run("samtools view -b -o '" + bam + "' '" + sam + "' 2>&1");
        EXPECT_EQ(encode.first, 0) << encode.second;
        const auto decode = run("samtools view '" + bam + "' 2>&1");
        EXPECT_EQ(decode.first, 0) << decode.second;
        std::string expected;
        for (const auto& line : lines) {
            expected += line + "\n";
        }
        EXPECT_EQ(decode.second, expected);

        const std::string script =
            "import pysam, sys\n"
            "for r in pysam.AlignmentFile(sys.argv[1]):\n"
            "    mods = sorted((k, v) for k, v in (r.modified_bases or {}).items())\n"
            "    mv = list(r.get_tag('mv')) if r.has_tag('mv') else None\n"
            "    tags = ','.join(t for t, _ in r.get_tags())\n"
            "    print(r.query_name, r.flag, r.reference_name, mods, mv, r.get_tag('dx'), tags,\n"
            "          sep='|')\n";
        const std::string script_path = m_dir + "/summary.py";
        std::ofstream(script_path) << script;
        // pysam reads the text we wrote; its diagnostics go to a file of their own.
        const std::string errors = m_dir + "/pysam.err";
        const auto summary =
            run(std::string(PYTHON) + " '" + script_path + "' '" + sam + "' 2>'" + errors + "'");
        std::ifstream error_file(errors);
        const std::string error_text((std::istreambuf_iterator<char>(error_file)),
                                     std::istreambuf_iterator<char>());
        EXPECT_EQ(summary.first, 0) << error_text;
        EXPECT_EQ(error_text, "");
        return summary.second;
    }

    std::string m_dir;
};

ReadHolder unmapped_read(const std::string& strand_id) {
    ReadHolder read;
    read.metadata.insert("strand_id", strand_id);
    read.metadata.insert("read_id", strand_id);
    read.datasets[dataset::sequence].own(std::string("ACGTCGCA"));
    read.datasets[dataset::qstring].own(std::string("++++5555"));
    return read;
}

std::string line_zero(const ReadHolder& read, unsigned char threshold, bool moves) {
    return ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, threshold, moves)
        .at(0)
        .sam_line;
}

TEST_F(SamReaderTest, ModifiedBasesMovesAndReadTagsReadBack) {
    ReadHolder read = unmapped_read("read-1");
    auto& md = read.metadata;
    md.insert("base_mod_alphabet", std::string("A C m h G T"));
    // per position (A, C, m, h, G, T); C at 1, 4, 6
    std::vector<unsigned char> probs(8 * 6, 0);
    probs[1 * 6 + 2] = 200;  // C1 m
    probs[4 * 6 + 3] = 180;  // C4 h
    probs[4 * 6 + 2] = 7;    // C4 m
    probs[6 * 6 + 2] = 10;   // C6 below threshold
    read.datasets[dataset::base_mod_probs].own(std::move(probs));
    read.datasets[dataset::movement].own(std::vector<unsigned char>{1, 0, 1, 200, 1, 255});
    md.insert<unsigned long long>("model_stride", 5);
    md.insert<float>("mean_qscore", 12.5f);
    md.insert<unsigned int>("mux", 2);
    md.insert<int>("channel", 100);
    md.insert<unsigned int>("read_number", 9);
    md.insert("time_stamp", std::string("2024-01-01T00:00:00.000+00:00"));
    md.insert("filename", std::string("/data/run_1/batch 0.bin"));
    md.insert<unsigned long long>("duration", 4000);
    md.insert<unsigned long long>("trimmed_samples", 12);
    md.insert<float>("scaling_median", 80.5f);
    md.insert<float>("scaling_med_abs_dev", 9.25f);
    md.insert<float>("sampling_rate", 5000.0f);
    md.insert<int>("poly_tail_length", 31);
    md.insert("strand_id", std::string("read-1-sub"));

    const std::string summary = read_back({line_zero(read, 128, true)});
    EXPECT_EQ(summary,
              "read-1-sub|4|None|[(('C', 0, 'h'), [(1, 0), (4, 180)]), "
              "(('C', 0, 'm'), [(1, 200), (4, 7)])]|[5, 1, 0, 1, 127, 73, 1, 127, 127, 1]|0|"
              "MM,ML,MN,mv,qs,mx,ch,rn,st,yk,ns,ts,sm,sd,sv,du,pt,pi,dx\n");
}

TEST_F(SamReaderTest, ContextMotifCallsReadBack) {
    ReadHolder read = unmapped_read("read-2");
    read.metadata.insert("base_mod_alphabet", std::string("C m"));
    read.metadata.insert("base_mod_context", std::string("_:XG:_:_"));
    std::vector<unsigned char> probs(8 * 2, 0);
    probs[1 * 2 + 1] = 3;
    probs[4 * 2 + 1] = 250;
    read.datasets[dataset::base_mod_probs].own(std::move(probs));
    EXPECT_EQ(read_back({line_zero(read, 255, false)}),
              "read-2|4|None|[(('C', 0, 'm'), [(1, 3), (4, 250)])]|None|0|MM,ML,MN,dx\n");
}

TEST_F(SamReaderTest, DuplexAndMappedLinesAreValid) {
    ReadHolder duplex = unmapped_read("d");
    duplex.metadata.insert("duplex_strand_1", std::string("s1"));
    duplex.metadata.insert("duplex_strand_2", std::string("s2"));
    ReadHolder parent = unmapped_read("p");
    parent.metadata.insert<bool>("is_duplex_parent", true);

    ReadHolder mapped = unmapped_read("m");
    mapped.datasets[dataset::align_results].own(ReadAlignmentHelper::create_alignment_table(2));
    mapped.metadata.insert("alignment_sam_record",
                           std::string("m\t0\tchr1\t11\t60\t8M\t*\t0\t0\tACGTCGCA\t++++5555\n"
                                       "m\t256\tchr1\t500\t3\t8M\t*\t0\t0\t*\t*"));
    const auto mapped_lines =
        ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(mapped, 0, false);
    ASSERT_EQ(mapped_lines.size(), 2u);

    EXPECT_EQ(read_back({line_zero(duplex, 0, false), line_zero(parent, 0, false),
                         mapped_lines[0].sam_line}),
              "s1;s2|4|None|[]|None|1|dx\n"
              "p|4|None|[]|None|-1|dx\n"
              "m|0|chr1|[]|None|0|dx\n");
}

}  // namespace
