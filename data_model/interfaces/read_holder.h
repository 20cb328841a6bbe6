#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "data_model/data_set.h"
#include "data_model/interfaces/read_event_recorder.h"
#include "data_model/metadata.h"

namespace interfaces {

// Scheduling priority of a read; stored and copied, never interpreted here.
enum class ReadPriority : std::int32_t {
    high = 0,
    medium = 1,
    low = 2,
};

class ReadCoordinator;

// One read in memory: tags, priority, metadata, datasets, the coordinator
// shared with reads cloned or split from it, and an optional event recorder.
// Move-only; a copy is made with clone(). A moved-from holder keeps its tags
// and priority, holds nothing else and may be reused.
// Not thread-safe: one thread at a time; reads move between threads.
struct ReadHolder {
    using DataSetMap = std::map<dataset, kelp::data_wrappers::v2::DataSetData>;

    ReadHolder() noexcept = default;
    ReadHolder(ReadHolder&& other) noexcept;
    ReadHolder& operator=(ReadHolder&& other) noexcept;
    ReadHolder(const ReadHolder&) = delete;
    ReadHolder& operator=(const ReadHolder&) = delete;
    ~ReadHolder();

    // Tags 0, priority medium, no metadata, no datasets, no coordinator. The
    // attachment and the event recorder stay.
    void clear() noexcept;

    // The metadata value under key as text: "" when absent, "TRUE"/"FALSE"
    // for truth values, "0" for NaN and infinities, "unsupported_type" for a
    // value of no known type.
    std::string get_by_name(const std::string& key) const;

    // "read <tag> : <sub tag>".
    static std::string get_display_tag(std::pair<unsigned long long, unsigned long long> tags);

    // Takes the recorder over; a former one is deleted.
    void set_event_recorder(
        std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder) noexcept;
    // Forwarded to the recorder; nothing happens without one.
    void create_read_event(common::diagnostics::timings::ReadEventId id,
                           common::diagnostics::timings::EventMode mode);
    // The recorder's time stamps, or one shared empty vector without a recorder.
    const std::vector<std::chrono::steady_clock::time_point>& get_timestamps() const;

    // A deep copy with a derived strand identifier and the next sub tag of
    // this read's coordinator (made here if the read has none). Owned
    // datasets are copied, viewed ones viewed by both.
    ReadHolder clone();
    // Cuts this read before base `position`: this read keeps the head and the
    // result is the tail.
    ReadHolder split_at(unsigned long long position);
    // Recomputes "mean_qscore" from the quality string, if there is one.
    void recalculate_mean_qscore();

    unsigned long long read_tag = 0;
    ReadPriority priority = ReadPriority::medium;
    kelp::data_wrappers::v2::Metadata metadata;
    DataSetMap datasets;
    std::shared_ptr<ReadCoordinator> coordinator;
    unsigned long long sub_tag = 0;
    // Opaque to the read: moved with it and shared by its clones and sub-reads.
    std::shared_ptr<void> attachment;
    std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> event_recorder;
};

using ReadList = std::list<ReadHolder>;

// Numbers the sub-reads that stem from one parent read (sub tag 0) and hands
// them all over once every one of them has been completed. Thread-safe.
class ReadCoordinator {
public:
    explicit ReadCoordinator(unsigned long long read_tag);

    // The next sub tag.
    unsigned long long add_sub_tag();
    // Records one finished sub-read. A read of another read tag is a contract
    // violation; an unexpected or repeated sub tag throws std::runtime_error.
    void complete_read(ReadHolder read);
    // When every sub-read is complete: replaces reads' content with them in
    // completion order and returns true. Otherwise false, reads untouched.
    bool get_all_reads(ReadList& reads);

private:
    std::mutex m_mutex;
    unsigned long long m_num_tags;
    ReadList m_completed_reads;
    unsigned long long m_read_tag;
};

}  // namespace interfaces
