#pragma once

// What the test server's simulated basecaller makes of a read: a
// deterministic, public function of the samples it received, the read's id
// and sub tag, and the client's options. Tests recompute it with
// expected_call() and compare it with what came back, so that any lost,
// swapped, truncated or corrupted block shows.
//
// The function, step by step (every step is part of the contract; tests of
// other components rely on it):
//
// 1. Seed: FNV-1a 64 over the read id's bytes, one zero byte, the sub tag as 4
//    bytes little-endian and every sample as 2 bytes little-endian, in order.
//    Every value below is drawn from a splitmix64 stream started at the seed,
//    in the order the steps name them; so every sample influences everything
//    called.
// 2. model_stride is MODEL_STRIDE; trimmed_samples is a tenth of the samples
//    rounded down to a multiple of the stride; the read has
//    max(1, (samples - trimmed) / stride) moves. Move 0 is 1; each later move
//    is the low bit of one draw. The sequence has one base per move of 1.
// 3. Per base, one draw: base "ACGT"[d % 4], quality character
//    '!' + 5 + (d >> 8) % 36 (Phred 5 to 40).
// 4. mean_qscore is the mean Phred value of the quality string; median and
//    med_abs_dev are the median of the samples (the lower one for an even
//    count) and the median absolute deviation from it; the scaling carries the
//    same two values and SCALING_VERSION.
// 5. Modified bases (when asked for): alphabet MODBASE_ALPHABET, one row of 3
//    probabilities per base: at a C, one draw d gives m = d % 256,
//    h = (d >> 8) % (256 - m) and the canonical C channel 255 - m - h; at
//    other bases the row is 0, 0, 0.
// 6. Barcoding (when asked for): see make_barcode in called_read.cpp: the
//    arrangement, scores and indices come from four draws.
// 7. Alignment (when references are given): see make_alignments: unmapped for
//    one read in eight, else a primary hit on a reference chosen by a draw,
//    and one read in four also a secondary hit; SAM lines with the sequence,
//    BED hits (when a BED file is loaded) inside the aligned span.
// 8. Poly tail length (when asked for): 5 + draw % 100; otherwise absent (0).
//
// The read tag does not influence the call: a resubmitted read (same id,
// same samples) is called the same on every connection.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace interfaces {
struct ReadHolder;
}

namespace test_server {

// Samples per move of the simulated model.
constexpr std::uint32_t MODEL_STRIDE = 5;
// A split read is cut into pieces of at least this many samples.
constexpr std::size_t MIN_SPLIT_PIECE_SAMPLES = 50;
constexpr const char* BASECALL_TYPE = "1D";
constexpr const char* SCALING_VERSION = "median_mad";
// One canonical channel (C) and two modifications of it, one blank apart, so
// every channel-count rule agrees on 3.
constexpr const char* MODBASE_ALPHABET = "C m h";
constexpr std::size_t MODBASE_CHANNELS = 3;
constexpr const char* MODBASE_LONG_NAMES = "5mC 5hmC";
// C modifications are called in CpG context only.
constexpr const char* MODBASE_CONTEXT = "_:XG:_:_";
constexpr const char* BARCODE_VARIANT = "n/a";

// One reference sequence of the loaded alignment index.
struct Reference {
    std::string name;
    std::uint32_t length = 0;
};

// The references named by "@SQ" lines (SN: and LN:) of an alignment file
// header; a header without any gives one reference "ref" of 1,000,000 bases.
// An empty header gives none.
std::vector<Reference> references_from_header(const std::string& header);

// What a client asked the basecaller for.
struct CallOptions {
    bool moves = false;
    std::string model_version_id;
    // Empty: no modified bases are called.
    std::string modbase_model_version_id;
    // Empty: no barcoding.
    std::string barcode_kit;
    bool trim_barcodes = false;
    // Empty: no alignment.
    std::vector<Reference> references;
    bool bed = false;  // BED hits; only with alignment
    bool poly_tail = false;
};

// A read as the server received it.
struct RawRead {
    std::uint32_t read_tag = 0;  // carried along; does not influence the call
    std::uint32_t sub_tag = 0;
    std::string read_id;
    std::string strand_id;
    std::uint64_t start_time = 0;
    std::uint64_t num_sequor_events = 0;
    std::vector<std::int16_t> samples;
};

// The read an application passes, as the server receives it: the first
// "duration" samples of dataset 0, the read's low 32 bits of tag, "read_id",
// "strand_id", "start_time" and "num_sequor_events" (0 when absent). The sub
// tag is 0: the server calls the whole read. Throws std::out_of_range for a
// missing key or a duration beyond the samples.
RawRead raw_read_of(const interfaces::ReadHolder& read);

struct BarcodeCall {
    std::string kit;
    std::string arrangement;
    std::string variant;
    float score = 0;
    std::int32_t trim_front = 0;
    std::int32_t trim_rear = 0;
    float front_score = 0;
    std::int32_t front_begin_index = 0;
    std::int32_t front_foundseq_length = 0;
    float rear_score = 0;
    std::int32_t rear_end_index = 0;
    std::int32_t rear_foundseq_length = 0;
};

// One alignment hit, as the AlignmentResults table carries it.
struct AlignmentCall {
    std::string genome;
    std::int32_t genome_start = 0;
    std::int32_t genome_end = 0;
    std::int32_t strand_start = 0;
    std::int32_t strand_end = 0;
    std::int32_t num_events = 0;
    std::int32_t num_insertions = 0;
    std::int32_t num_deletions = 0;
    std::int32_t num_aligned = 0;
    std::int32_t num_correct = 0;
    float coverage = 0;
    float identity = 0;
    float accuracy = 0;
    std::int32_t strand_score = 0;
    std::string sam_record;  // one SAM line, no line end
    std::int32_t bed_hits = 0;
    std::string bed_lines;  // bed_hits lines joined by "\n"
    std::int8_t direction = 0;  // '+', '-', or '*' when unmapped
    std::int32_t mapping_quality = 0;
    bool is_secondary = false;
    bool is_supplementary = false;
};

// Everything the server hands back for one read (or one piece of a split
// read). Joined over all called blocks.
struct CalledRead {
    std::uint32_t read_tag = 0;
    std::uint32_t sub_tag = 0;
    std::string strand_id;
    std::uint64_t duration = 0;  // samples of this read (or piece)
    std::uint64_t start_time = 0;
    std::uint64_t num_sequor_events = 0;

    std::string basecall_type;
    std::string model_version_id;
    std::string modbase_model_version_id;
    float mean_qscore = 0;
    std::uint32_t model_stride = 0;
    float median = 0;
    float med_abs_dev = 0;
    std::uint32_t trimmed_samples = 0;
    std::int32_t poly_tail_length = 0;
    float scaling_median = 0;
    float scaling_med_abs_dev = 0;
    std::string scaling_version;

    std::string sequence;
    std::string qstring;
    // Empty unless moves were asked for; num_moves counts them either way
    // (and travels as moves_length).
    std::vector<std::uint8_t> moves;
    std::uint32_t num_moves = 0;

    bool has_base_mod = false;
    std::string base_mod_alphabet;
    std::string base_mod_long_names;
    std::string base_mod_context;
    std::vector<std::uint8_t> base_mod_probs;  // sequence length x channels

    bool has_barcoding = false;
    BarcodeCall barcoding;

    std::vector<AlignmentCall> alignments;
};

// The strand id the server gives piece `sub_tag` of a split read: a name made
// from two FNV-1a hashes of "<parent strand id>/<sub tag>", laid out as a
// UUID (8-4-4-4-12 lower-case hex digits).
std::string derived_strand_id(const std::string& parent_strand_id, std::uint32_t sub_tag);

// The pieces a read is cut into when the server splits it `pieces` ways, in
// the order the server hands them back: sub reads 1 .. n-1 first, then the
// parent (sub tag 0) last, since the client completes a read when its parent
// comes back. The samples are cut into n consecutive ranges of equal length
// (the last takes the remainder); piece k holds range k, has sub tag k, a
// derived strand id (k > 0), the read's id, and start_time advanced by the
// samples before its range. n is `pieces` reduced so that every piece holds at
// least MIN_SPLIT_PIECE_SAMPLES samples, and at least 1 (no split).
std::vector<RawRead> split_read(const RawRead& read, unsigned pieces);

// The call of one read (or piece): see the top of this file.
CalledRead expected_call(const RawRead& read, const CallOptions& options);

// expected_call of every piece of split_read(read, pieces), in hand-back
// order.
std::vector<CalledRead> expected_calls(const RawRead& read, const CallOptions& options,
                                       unsigned pieces = 1);

// The fields in which two calls differ, by name ("sequence", "moves",
// "alignments[1].sam_record", ...); empty when they are equal. Floats compare
// exactly: the same input always gives the same bits.
std::vector<std::string> differences(const CalledRead& expected, const CalledRead& actual);

}  // namespace test_server
