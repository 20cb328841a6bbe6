#include "apps/read.h"

#include <cmath>
#include <typeinfo>
#include <utility>

#include "data_model/interfaces/read_alignment.h"

namespace apps {

namespace {

// The Python module registers Read::Priority under the identity of this
// type information, so the library emits and exports it.
__attribute__((used)) const std::type_info* const PRIORITY_TYPE = &typeid(Read::Priority);

}  // namespace

Read::Read() : m_read_holder(std::make_unique<interfaces::ReadHolder>()) {}

Read::Read(Read&& other) noexcept = default;

Read& Read::operator=(Read&& other) noexcept = default;

Read::~Read() = default;

std::uint64_t Read::get_read_tag() const { return m_read_holder->read_tag; }

void Read::set_read_tag(std::uint64_t read_tag) { m_read_holder->read_tag = read_tag; }

std::uint64_t Read::get_sub_tag() const { return m_read_holder->sub_tag; }

Read::Priority Read::get_priority() const {
    const auto stored = static_cast<std::uint32_t>(m_read_holder->priority);
    return stored < 3 ? static_cast<Priority>(stored) : Priority::INVALID_PRIORITY;
}

void Read::set_priority(Priority priority) {
    switch (priority) {
    case Priority::HIGH_PRIORITY:
    case Priority::MEDIUM_PRIORITY:
    case Priority::LOW_PRIORITY:
        m_read_holder->priority = static_cast<interfaces::ReadPriority>(priority);
        break;
    case Priority::INVALID_PRIORITY:
        m_read_holder->priority = interfaces::ReadPriority::medium;
        break;
    }
}

kelp::data_wrappers::v2::Metadata& Read::get_metadata() { return m_read_holder->metadata; }

const kelp::data_wrappers::v2::Metadata& Read::get_metadata() const { return m_read_holder->metadata; }

Read::DataSetMap& Read::get_datasets() { return m_read_holder->datasets; }

const Read::DataSetMap& Read::get_datasets() const { return m_read_holder->datasets; }

void Read::set_readholder(interfaces::ReadHolder read_holder) {
    m_read_holder = std::make_unique<interfaces::ReadHolder>(std::move(read_holder));
}

interfaces::ReadHolder& Read::get_readholder() { return *m_read_holder; }

const interfaces::ReadHolder& Read::get_readholder() const { return *m_read_holder; }

void Read::clear() { m_read_holder->clear(); }

std::string Read::get_by_name(const std::string key) const { return m_read_holder->get_by_name(key); }

bool Read::has_alignment_data() const {
    return interfaces::ReadAlignmentHelper::read_holder_contains_alignment_data(*m_read_holder);
}

std::vector<Read::AlignmentSamLine> Read::extract_sam_and_bed_lines(float percentage) const {
    // The probability bytes run 0..255; a percentage outside 0..100 would
    // wrap round the byte (120 % asking for almost nothing to count as
    // modified), so it is held to the ends of the range. NaN counts as 0.
    unsigned char threshold = 0;
    if (percentage >= 100.0f) {
        threshold = 255;
    } else if (percentage > 0.0f) {
        threshold = static_cast<unsigned char>(static_cast<int>(percentage / 100.0f * 256.0f));
    }
    const bool moves = m_read_holder->datasets.count(dataset::movement) != 0;
    auto lines = interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(*m_read_holder,
                                                                                             threshold, moves);
    std::vector<AlignmentSamLine> result;
    result.reserve(lines.size());
    for (auto& line : lines) {
        result.push_back(AlignmentSamLine{std::move(line.sam_line), std::move(line.bed_lines)});
    }
    return result;
}

std::string to_string(Read::Priority priority) {
    switch (priority) {
    case Read::Priority::HIGH_PRIORITY:
        return "HIGH_PRIORITY";
    case Read::Priority::MEDIUM_PRIORITY:
        return "MEDIUM_PRIORITY";
    case Read::Priority::LOW_PRIORITY:
        return "LOW_PRIORITY";
    default:
        return "invalid_priority_value";
    }
}

}  // namespace apps
