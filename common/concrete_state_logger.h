#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/state_logger.h"
#include "common/trace.h"

namespace common::diagnostics::state::detail {

// Appends what a provider logs to a record list that the caller owns and
// keeps alive while the logger and its sections are in use.
class ConcreteStateLogger : public StateLogger,
                            private tracing::TraceDomain<ConcreteStateLogger> {
public:
    explicit ConcreteStateLogger(std::vector<StateRecord>& records);

    using StateLogger::log;
    void log(std::string name, std::string value) override;
    void log(std::string name, bool value) override;
    void log(std::string name, long long value) override;
    void log(std::string name, unsigned long long value) override;
    void log(std::string name, double value) override;
    std::unique_ptr<ChildSection> create_child_section(std::string name) override;

private:
    std::vector<StateRecord>& m_records;
};

// A section of the record list: its begin record is appended when it is
// made, its end record when it is destroyed.
class ScopedSection : public ChildSection, private tracing::TraceDomain<ScopedSection> {
public:
    ScopedSection(std::vector<StateRecord>& records, std::string name);
    ~ScopedSection() override;

    ScopedSection(const ScopedSection&) = delete;
    ScopedSection& operator=(const ScopedSection&) = delete;

private:
    std::vector<StateRecord>& m_records;
    std::string m_name;
};

}  // namespace common::diagnostics::state::detail
