#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "data_model/interfaces/read_holder.h"
#include "data_model/data_table.h"

namespace interfaces {

// SAM tag prefixes ("qs:f:") of the read tags written after a read's SAM fields.
namespace bam_file_tags {
extern const std::string QSCORE_TAG;
extern const std::string MUX_TAG;
extern const std::string CHANNEL_TAG;
extern const std::string READ_NUMBER_TAG;
extern const std::string READ_START_TIME_TAG;
extern const std::string QUILL_FILE_TAG;
extern const std::string NUM_SAMPLES_TAG;
extern const std::string TRIMMED_SAMPLES_TAG;
extern const std::string SCALING_MEDIAN_TAG;
extern const std::string SCALING_DISPERSION_TAG;
extern const std::string SCALING_VERSION_TAG;
extern const std::string DUPLEX_TAG;
extern const std::string PARENT_READ_TAG;
extern const std::string DURATION_SECONDS_TAG;
extern const std::string POLY_TAIL_LENGTH_TAG;
}  // namespace bam_file_tags

// The alignment table of a read (dataset align_results) and the SAM and BED
// text made from a read. Stateless; every operation is static and thread-safe
// as long as the read is not changed meanwhile.
//
// Table layout (320-byte rows): "Genome" fixed string of 253 characters at 0,
// "Direction" int8 at 254, nine int32 columns from 256 ("GenomeStart" ...
// "NumCorrect"), three float32 columns from 292 ("Coverage", "Identity",
// "Accuracy"), "StrandScore", "BedHits", "MappingQuality" int32 from 304,
// "IsSecondary" and "IsSupplementary" uint8 at 316 and 317.
class ReadAlignmentHelper {
public:
    struct AlignmentSamLine {
        std::string sam_line;                // without line end
        std::vector<std::string> bed_lines;  // each without line end
    };

    // A table with the alignment columns and `num_rows` zeroed rows.
    static kelp::data_wrappers::v2::DataTable create_alignment_table(size_t num_rows);

    // True when the read holds an alignment-results dataset (of any size).
    static bool read_holder_contains_alignment_data(const ReadHolder& read);

    // A copy of the read's alignment-results dataset as a table. Throws
    // std::runtime_error "Could not find align results in read holder" when the
    // read has none, and std::runtime_error when the dataset's row size is not
    // the one its field list lays out (its rows could not be copied safely).
    static kelp::data_wrappers::v2::DataTable create_alignment_table_from_read_holder(
        const ReadHolder& read);

    // Writes row 0 of the alignment table and the counts of alignments,
    // secondary and supplementary rows into the 20 "alignment_*" metadata keys.
    // A table without rows writes nothing. Throws as
    // create_alignment_table_from_read_holder does, before any key is written.
    static void copy_alignment_results_to_metadata(ReadHolder& read);

    // The server's SAM line and BED lines of every alignment row, unchanged;
    // empty when the read has no alignment-results dataset. A row takes its
    // "BedHits" next BED lines, but none past the end of the BED text; an
    // exhausted SAM text gives a row an empty SAM line.
    static std::vector<AlignmentSamLine> extract_alignment_sam_and_bed_lines_from_read_holder(
        const ReadHolder& read);

    // The read's SAM lines (one per alignment, or one unmapped line) with their
    // BED lines. Line 0 also gets the modified-base tags (a position counts when
    // its probability reaches `threshold`), the move table when `include_moves`
    // is set and the read has moves, and the read tags. Throws std::runtime_error
    // or std::out_of_range, never returning a partial result; the read is not
    // changed.
    static std::vector<AlignmentSamLine> extract_sam_and_bed_lines_from_read_holder(
        const ReadHolder& read, unsigned char threshold, bool include_moves);
};

}  // namespace interfaces
