#pragma once

// The exported handle of one read: the raw signal and metadata handed to a
// client, and the called read that comes back.
//
// A read's metadata (kelp::data_wrappers::v2::Metadata) and datasets
// (kelp::data_wrappers::v2::DataSetData by `dataset` identifier) are the
// types of the read data model, whose headers come with these. The data
// model is compiled into each side that uses it: the library has its own
// copy, and a caller links the package's data-model library (the CMake
// target strandlink::strandlink and pkg-config do this). The layout of these
// objects is common to both copies, so an object made by either side may be
// changed or destroyed by the other.

#include <cstdint>
#include <string>
#include <vector>
#include <memory>

#include "common/export.h"
#include "data_model/data_set.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/metadata.h"

namespace apps {

// Move-only. A moved-from read holds nothing: only destruction and move
// assignment apply to it. Not thread-safe: one thread at a time.
class STRANDLINK_EXPORT Read {
public:
    // The numbers 0..2 are a read's priority field. Its type information is
    // exported: the Python module registers the enumeration under it.
    enum class STRANDLINK_EXPORT Priority : std::int32_t {
        INVALID_PRIORITY = -1,  // reported for a stored priority outside 0..2
        HIGH_PRIORITY = 0,
        MEDIUM_PRIORITY = 1,
        LOW_PRIORITY = 2,
    };

    // One SAM line of the read and the BED lines that belong to it.
    struct AlignmentSamLine {
        std::string sam_line;
        std::vector<std::string> bed_lines;
    };

    using DataSetMap = interfaces::ReadHolder::DataSetMap;

    // Read tag 0, sub-tag 0, MEDIUM_PRIORITY, no metadata, no datasets.
    Read();
    Read(Read&& other) noexcept;
    Read& operator=(Read&& other) noexcept;
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    ~Read();

    // The tag that identifies the read to its client; clients refuse tags of
    // 2^32 or more (the server sees 32 bits) and tags they still hold.
    std::uint64_t get_read_tag() const;
    void set_read_tag(std::uint64_t read_tag);
    // 0 for a whole read; the pieces of a read split by the server carry
    // their own.
    std::uint64_t get_sub_tag() const;

    // INVALID_PRIORITY for a stored value outside 0..2.
    Priority get_priority() const;
    // INVALID_PRIORITY stores MEDIUM_PRIORITY; a value outside the
    // enumeration changes nothing.
    void set_priority(Priority priority);

    kelp::data_wrappers::v2::Metadata& get_metadata();
    const kelp::data_wrappers::v2::Metadata& get_metadata() const;
    DataSetMap& get_datasets();
    const DataSetMap& get_datasets() const;

    // Replaces the held read by one moved from `read_holder`.
    void set_readholder(interfaces::ReadHolder read_holder);
    interfaces::ReadHolder& get_readholder();
    const interfaces::ReadHolder& get_readholder() const;

    // Back to the state of a new read.
    void clear();
    // The metadata value under `key` as text; "" when absent.
    std::string get_by_name(const std::string key) const;
    // True when the read holds alignment results.
    bool has_alignment_data() const;
    // The read's SAM lines with their BED lines. A position counts as
    // modified when its modified-base probability reaches `percentage`
    // (0..100; values outside are held to that range); the move table is
    // written when the read has one. Throws std::runtime_error or
    // std::out_of_range for a read whose results do not fit together.
    std::vector<AlignmentSamLine> extract_sam_and_bed_lines(float percentage) const;

private:
    std::unique_ptr<interfaces::ReadHolder> m_read_holder;
};

// "HIGH_PRIORITY", "MEDIUM_PRIORITY", "LOW_PRIORITY"; every other value gives
// "invalid_priority_value".
STRANDLINK_EXPORT std::string to_string(Read::Priority priority);

}  // namespace apps
