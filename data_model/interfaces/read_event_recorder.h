#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace common::diagnostics::timings {

// Points in a read's life that a recorder may time.
enum class ReadEventId : std::uint16_t {
    read_created = 0,
    read_queued = 1,
    read_sent = 2,
    read_received = 3,
    read_completed = 4,
};

// Whether an event starts, ends or simply marks a span of time.
enum class EventMode : std::uint8_t {
    instant = 0,
    begin = 1,
    end = 2,
};

// Records timing events of one read. The read holder only forwards to it and
// owns it; a cloned or split read takes a clone().
class ReadEventRecorder {
public:
    virtual ~ReadEventRecorder() = default;
    virtual void create_read_event(ReadEventId id, EventMode mode) = 0;
    // Stays valid while the recorder lives.
    virtual std::vector<std::chrono::steady_clock::time_point>& get_timestamps() = 0;
    // An independent recorder for a copy of the read.
    virtual std::unique_ptr<ReadEventRecorder> clone() = 0;
};

}  // namespace common::diagnostics::timings
