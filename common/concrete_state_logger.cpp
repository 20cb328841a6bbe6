#include "common/concrete_state_logger.h"

namespace common::diagnostics::state::detail {

namespace {

StateRecord make_entry(std::string name, boost::any value) {
    StateRecord record;
    record.kind = StateRecord::entry;
    record.name = std::move(name);
    record.value = std::move(value);
    return record;
}

}  // namespace

ConcreteStateLogger::ConcreteStateLogger(std::vector<StateRecord>& records) : m_records(records) {
    get_trace_context()->write_message("ConcreteStateLogger", "");
}

void ConcreteStateLogger::log(std::string name, std::string value) {
    m_records.push_back(make_entry(std::move(name), std::move(value)));
}

void ConcreteStateLogger::log(std::string name, bool value) {
    m_records.push_back(make_entry(std::move(name), value));
}

void ConcreteStateLogger::log(std::string name, long long value) {
    m_records.push_back(make_entry(std::move(name), value));
}

void ConcreteStateLogger::log(std::string name, unsigned long long value) {
    m_records.push_back(make_entry(std::move(name), value));
}

void ConcreteStateLogger::log(std::string name, double value) {
    m_records.push_back(make_entry(std::move(name), value));
}

std::unique_ptr<ChildSection> ConcreteStateLogger::create_child_section(std::string name) {
    return std::make_unique<ScopedSection>(m_records, std::move(name));
}

ScopedSection::ScopedSection(std::vector<StateRecord>& records, std::string name)
        : m_records(records), m_name(std::move(name)) {
    get_trace_context()->write_message("ScopedSection", "");
    StateRecord record;
    record.kind = StateRecord::section_begin;
    record.name = m_name;
    m_records.push_back(std::move(record));
}

ScopedSection::~ScopedSection() {
    try {
        StateRecord record;
        record.kind = StateRecord::section_end;
        record.name = std::move(m_name);
        m_records.push_back(std::move(record));
    } catch (...) {
        // Only memory exhaustion gets here; the formatters then report the
        // unbalanced list instead of the process ending.
    }
}

}  // namespace common::diagnostics::state::detail
