#include "common/state_formatter.h"

#include <sstream>
#include <stdexcept>

namespace common::diagnostics::state {

namespace {

[[noreturn]] void invalid_type(const boost::any& value) {
    throw std::runtime_error(std::string("invalid type held as state record value: ") +
                             value.type().name());
}

std::string value_text(const boost::any& value) {
    if (value.empty()) {
        return "";
    }
    if (const auto* v = boost::any_cast<long long>(&value)) {
        return std::to_string(*v);
    }
    if (const auto* v = boost::any_cast<unsigned long long>(&value)) {
        return std::to_string(*v);
    }
    if (const auto* v = boost::any_cast<double>(&value)) {
        return std::to_string(*v);
    }
    if (const auto* v = boost::any_cast<std::string>(&value)) {
        return *v;
    }
    if (const auto* v = boost::any_cast<bool>(&value)) {
        return *v ? "true" : "false";
    }
    invalid_type(value);
}

nlohmann::ordered_json json_value(const boost::any& value) {
    if (value.empty()) {
        return nullptr;
    }
    if (const auto* v = boost::any_cast<long long>(&value)) {
        return static_cast<std::int64_t>(*v);
    }
    if (const auto* v = boost::any_cast<unsigned long long>(&value)) {
        return static_cast<std::uint64_t>(*v);
    }
    if (const auto* v = boost::any_cast<double>(&value)) {
        return *v;
    }
    if (const auto* v = boost::any_cast<std::string>(&value)) {
        return *v;
    }
    if (const auto* v = boost::any_cast<bool>(&value)) {
        return *v;
    }
    invalid_type(value);
}

}  // namespace

std::string IndentationFormatter::operator()(const std::vector<StateRecord>& records) const {
    auto trace = create_trace("operator()");
    std::ostringstream out;
    out << "\n";
    int level = 0;
    for (const auto& record : records) {
        const std::string indentation(static_cast<std::size_t>(level > 0 ? level : 0) * 4, ' ');
        switch (record.kind) {
        case StateRecord::section_begin:
            out << indentation << record.name << "\n";
            ++level;
            break;
        case StateRecord::section_end:
            if (level <= 0) {
                throw std::runtime_error("Malformed StateTable detected while formatting.");
            }
            --level;
            break;
        case StateRecord::entry:
            out << indentation << record.name << ": " << value_text(record.value) << "\n";
            break;
        default:
            break;
        }
    }
    return out.str();
}

unsigned long read_section_to_json(nlohmann::ordered_json& json,
                                   const std::vector<StateRecord>& records, unsigned long index) {
    for (; index < records.size(); ++index) {
        const StateRecord& record = records[index];
        switch (record.kind) {
        case StateRecord::entry:
            json[record.name] = json_value(record.value);
            break;
        case StateRecord::section_begin: {
            nlohmann::ordered_json section = nlohmann::ordered_json::object();
            index = read_section_to_json(section, records, index + 1);
            json[record.name] = std::move(section);
            break;
        }
        case StateRecord::section_end:
            return index;
        default:
            break;
        }
    }
    return index;
}

std::string JsonFormatter::operator()(const std::vector<StateRecord>& records) const {
    auto trace = create_trace("operator()");
    nlohmann::ordered_json root = nlohmann::ordered_json::object();
    if (read_section_to_json(root, records, 0) != records.size()) {
        throw std::runtime_error("malformed state_table");
    }
    return "\n" + root.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace common::diagnostics::state
