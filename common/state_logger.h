#pragma once

// Diagnostic state reporting: components implement StateProvider, register
// under a name (common/state_context.h), and report named values and nested
// sections through a StateLogger when the state is requested. The report is
// a flat list of StateRecords that a formatter (common/state_formatter.h)
// turns into text.

#include <boost/any.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace common::diagnostics::state {

// One entry of a state report. section_begin and section_end records pair
// up like brackets; records between them belong to that section.
struct StateRecord {
    enum Kind : std::int32_t {
        entry = 0,
        section_begin = 1,
        section_end = 2,
    };

    Kind kind = entry;
    std::string name;
    // For an entry: one of std::string, bool, long long, unsigned long long,
    // double. Empty for section records.
    boost::any value;
};

// An open nested section of a report; it closes when destroyed.
class ChildSection {
public:
    virtual ~ChildSection() = default;
};

// Where a provider writes its state. Not thread-safe: used by one report.
class StateLogger {
public:
    virtual void log(std::string name, std::string value) = 0;
    virtual void log(std::string name, bool value) = 0;
    virtual void log(std::string name, long long value) = 0;
    virtual void log(std::string name, unsigned long long value) = 0;
    virtual void log(std::string name, double value) = 0;
    // Records logged while the returned section lives belong to it.
    virtual std::unique_ptr<ChildSection> create_child_section(std::string name) = 0;

    // REQUIRES: value is a NUL-terminated text, not null.
    void log(std::string name, const char* value) { log(std::move(name), std::string(value)); }

protected:
    ~StateLogger() = default;
};

// A component that can report its internal state. report_state runs on the
// requesting thread with the registry locked: it must not register,
// unregister or request the state itself.
class StateProvider {
public:
    virtual ~StateProvider() = default;
    virtual void report_state(StateLogger& logger) const = 0;
};

}  // namespace common::diagnostics::state
