#include "data_model/interfaces/read_holder.h"

#include <typeindex>

#include "common/value_formatter.h"

namespace interfaces {

namespace {

// What get_timestamps() answers for a read without recorder.
const std::vector<std::chrono::steady_clock::time_point> EMPTY_TIMESTAMPS;

template <typename T>
bool is_type(const std::type_index& type) {
    return type == std::type_index(typeid(T));
}

}  // namespace

ReadHolder::ReadHolder(ReadHolder&& other) noexcept
    : read_tag(other.read_tag),
      priority(other.priority),
      metadata(std::move(other.metadata)),
      coordinator(std::move(other.coordinator)),
      sub_tag(other.sub_tag),
      attachment(std::move(other.attachment)),
      event_recorder(std::move(other.event_recorder)) {
    // swap rather than move so the source's map is certainly left empty.
    datasets.swap(other.datasets);
}

ReadHolder& ReadHolder::operator=(ReadHolder&& other) noexcept {
    if (this != &other) {
        read_tag = other.read_tag;
        priority = other.priority;
        sub_tag = other.sub_tag;
        metadata = std::move(other.metadata);
        datasets.clear();
        datasets.swap(other.datasets);
        coordinator = std::move(other.coordinator);
        attachment = std::move(other.attachment);
        event_recorder = std::move(other.event_recorder);
    }
    return *this;
}

ReadHolder::~ReadHolder() = default;

void ReadHolder::clear() noexcept {
    read_tag = 0;
    priority = ReadPriority::medium;
    sub_tag = 0;
    metadata.clear();
    datasets.clear();
    coordinator.reset();
}

std::string ReadHolder::get_by_name(const std::string& key) const {
    common::ValueFormatter formatter;
    formatter.nan_text = "0";
    formatter.pos_inf_text = "0";
    formatter.neg_inf_text = "0";
    formatter.true_text = "TRUE";
    formatter.false_text = "FALSE";

    if (!metadata.exists(key)) {
        return "";
    }
    const std::type_index type = metadata.check_type(key);
    if (is_type<std::string>(type)) {
        return formatter.Format(metadata.get_value<std::string>(key));
    }
    if (is_type<float>(type)) {
        return formatter.Format(metadata.get_value<float>(key));
    }
    if (is_type<double>(type)) {
        return formatter.Format(metadata.get_value<double>(key));
    }
    if (is_type<bool>(type)) {
        return formatter.Format(metadata.get_value<bool>(key));
    }
    if (is_type<signed char>(type)) {
        return std::to_string(static_cast<int>(metadata.get_value<signed char>(key)));
    }
    if (is_type<unsigned char>(type)) {
        return std::to_string(static_cast<int>(metadata.get_value<unsigned char>(key)));
    }
    if (is_type<short>(type)) {
        return std::to_string(static_cast<int>(metadata.get_value<short>(key)));
    }
    if (is_type<unsigned short>(type)) {
        return std::to_string(static_cast<int>(metadata.get_value<unsigned short>(key)));
    }
    if (is_type<int>(type)) {
        return std::to_string(metadata.get_value<int>(key));
    }
    if (is_type<unsigned int>(type)) {
        return std::to_string(metadata.get_value<unsigned int>(key));
    }
    if (is_type<long long>(type)) {
        return std::to_string(metadata.get_value<long long>(key));
    }
    if (is_type<unsigned long long>(type)) {
        return std::to_string(metadata.get_value<unsigned long long>(key));
    }
    return "unsupported_type";
}

std::string ReadHolder::get_display_tag(std::pair<unsigned long long, unsigned long long> tags) {
    return "read " + std::to_string(tags.first) + " : " + std::to_string(tags.second);
}

void ReadHolder::set_event_recorder(
    std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder) noexcept {
    event_recorder = std::move(recorder);
}

void ReadHolder::create_read_event(common::diagnostics::timings::ReadEventId id,
                                   common::diagnostics::timings::EventMode mode) {
    if (event_recorder) {
        event_recorder->create_read_event(id, mode);
    }
}

const std::vector<std::chrono::steady_clock::time_point>& ReadHolder::get_timestamps() const {
    if (event_recorder) {
        return event_recorder->get_timestamps();
    }
    return EMPTY_TIMESTAMPS;
}

}  // namespace interfaces
