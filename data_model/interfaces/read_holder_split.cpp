// Cloning and splitting of reads, their derived strand identifiers, the mean
// quality score, and the coordinator that gathers a read's sub-reads again.

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "common/contract.h"
#include "data_model/base_mod_context.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/key_tags.h"
#include "data_model/views.h"

namespace interfaces {

namespace {

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::MatView;
using kelp::data_wrappers::v2::Metadata;

// Namespaces of the two derived-identifier generators. Every derived strand
// id depends on these bytes: they must never change.
const boost::uuids::uuid namespace_uuid_1 = {{0x4b, 0x9e, 0x1d, 0x62, 0x37, 0xa0, 0x4c, 0x58,
                                              0x9f, 0x13, 0xd2, 0x6e, 0x81, 0x0b, 0x5a, 0xc7}};
const boost::uuids::uuid namespace_uuid_2 = {{0xe3, 0x05, 0x7c, 0x4f, 0xb8, 0x91, 0x46, 0x2d,
                                              0xa6, 0x5b, 0x30, 0xfe, 0x17, 0xc9, 0x84, 0x12}};

// Version-5 (SHA-1) identifier of `name` under generator 0 or 1, as 36
// lower-case characters.
std::string generate_dervived_uuid(const std::string& name, unsigned long generator) {
    static std::vector<boost::uuids::name_generator_sha1> generators = {
        boost::uuids::name_generator_sha1(namespace_uuid_1),
        boost::uuids::name_generator_sha1(namespace_uuid_2)};
    static std::vector<std::mutex> generator_mutexes(2);
    if (generator > 1) {
        throw std::invalid_argument("Unknown derived identifier generator " +
                                    std::to_string(generator));
    }
    std::lock_guard<std::mutex> lock(generator_mutexes[generator]);
    return boost::uuids::to_string(generators[generator](name.data(), name.size()));
}

template <typename T>
T value_or(const Metadata& metadata, const std::string& key, T fallback) {
    T* value = nullptr;
    return metadata.extract(key, value) ? *value : fallback;
}

unsigned long long minus_or_zero(unsigned long long a, unsigned long long b) {
    return a > b ? a - b : 0;
}

// Mean quality score of a quality string, with the read's calibration.
float mean_qscore_of(const std::string& qstring, float shift, float scale) {
    float sum = 0.0f;
    for (char c : qstring) {
        const float phred = static_cast<float>(static_cast<signed char>(c) - 33);
        sum += std::pow(10.0f, (phred - shift) / scale / -10.0f);
    }
    const float mean = sum / static_cast<float>(qstring.size());
    float q = shift + scale * (-10.0f * std::log10(mean));
    if (std::isnan(q) || q < 1.0f) {
        q = 1.0f;
    } else if (q > 90.0f) {
        q = 90.0f;
    }
    return q;
}

float mean_qscore_with_calibration(const Metadata& metadata, const std::string& qstring) {
    return mean_qscore_of(qstring, value_or<float>(metadata, "qscore_shift", 0.0f),
                          value_or<float>(metadata, "qscore_scale", 1.0f));
}

DataSetData owned_string(std::string text) {
    DataSetData data;
    data.own(std::move(text));
    return data;
}

DataSetData owned_bytes(std::vector<unsigned char> bytes) {
    DataSetData data;
    data.own(std::move(bytes));
    return data;
}

// Rows [first, first + count) of the dense rows x cols byte matrix `source`,
// as a new owned matrix dataset.
DataSetData owned_matrix_rows(const MatView<unsigned char>& source, size_t first, size_t count,
                              size_t cols) {
    std::vector<unsigned char> bytes(count * cols, 0);
    MatView<unsigned char> dest;
    dest.view(bytes.data(), count, cols, cols == 0 ? 1 : cols, 1);
    // An empty part has nothing to copy (and its first row may lie just past
    // the source, which a sub-view refuses).
    if (count > 0 && cols > 0) {
        source.submatrix(first, 0, count, cols, 1, 1).copy_to(dest);
    }
    DataSetData data;
    data.own(dest, std::move(bytes));
    return data;
}

// A cut string dataset: the head and the tail at `position`.
std::pair<DataSetData, DataSetData> cut_string(const DataSetData& source, size_t position,
                                               const char* what) {
    const std::string& text = source.get_string();
    if (position > text.size()) {
        throw std::out_of_range("Cannot split read at base " + std::to_string(position) +
                                ": its " + what + " has only " + std::to_string(text.size()) +
                                " characters.");
    }
    return {owned_string(text.substr(0, position)), owned_string(text.substr(position))};
}

}  // namespace

ReadHolder ReadHolder::clone() {
    ReadHolder copy;
    for (const auto& [code, source] : datasets) {
        DataSetData& target = copy.datasets[code];
        target.info = source.info;
        target.metadata = source.metadata;
        target.copy_data(source);
    }
    copy.metadata = metadata;
    copy.metadata.insert(read_data::strand_id::key,
                         generate_dervived_uuid(metadata.get<read_data::strand_id>(), 0));
    if (event_recorder) {
        copy.event_recorder = event_recorder->clone();
    }
    copy.priority = priority;
    copy.read_tag = read_tag;
    if (!coordinator) {
        coordinator = std::make_shared<ReadCoordinator>(read_tag);
    }
    copy.coordinator = coordinator;
    copy.sub_tag = coordinator->add_sub_tag();
    copy.attachment = attachment;
    return copy;
}

// Everything that can fail is checked and built first, into new objects; only
// then does this read change, by moves that cannot fail. A failed split thus
// leaves the read as it was and takes no sub tag.
ReadHolder ReadHolder::split_at(unsigned long long position) {
    ReadHolder tail;
    std::map<dataset, DataSetData> head_datasets;

    const auto find = [this](dataset code) -> const DataSetData* {
        const auto it = datasets.find(code);
        return it == datasets.end() ? nullptr : &it->second;
    };
    const DataSetData* sequence = find(dataset::sequence);
    const DataSetData* qstring = find(dataset::qstring);
    const DataSetData* probabilities = find(dataset::base_mod_probs);
    const DataSetData* moves = find(dataset::movement);

    // Metadata that the split needs; each get throws "Key '...' not found."
    const std::string strand_id = metadata.get<read_data::strand_id>();
    const unsigned long long sequence_length = metadata.get<basecall_data::sequence_length>();
    const unsigned long long trimmed_events = metadata.get<basecall_data::trimmed_events>();
    const unsigned long long num_events = metadata.get<basecall_data::num_events>();
    const unsigned long long model_stride = metadata.get<basecall_data::model_stride>();
    const unsigned long long duration =
        value_or<unsigned long long>(metadata, read_data::duration::key, 0);
    const unsigned long long start_time =
        value_or<unsigned long long>(metadata, "start_time", 0);

    if (sequence) {
        auto [head, rest] = cut_string(*sequence, position, "sequence");
        head_datasets.emplace(dataset::sequence, std::move(head));
        tail.datasets.emplace(dataset::sequence, std::move(rest));
    }
    if (qstring) {
        auto [head, rest] = cut_string(*qstring, position, "quality string");
        head_datasets.emplace(dataset::qstring, std::move(head));
        tail.datasets.emplace(dataset::qstring, std::move(rest));
    }
    if (probabilities) {
        const size_t channels =
            kelp::bam::modbase_channels(metadata.get<basecall_data::base_mod_alphabet>()).size();
        const unsigned char* bytes = probabilities->get_array<unsigned char>();
        if (position > sequence_length) {
            throw std::out_of_range("Cannot split read at base " + std::to_string(position) +
                                    ": its sequence_length is " + std::to_string(sequence_length) +
                                    ".");
        }
        // Compared by division: sequence_length comes from metadata and a
        // product could wrap round to the matrix's real count.
        const size_t count = probabilities->info.count;
        const bool shape_matches = channels == 0 ? count == 0
                                                 : count % channels == 0 &&
                                                       count / channels == sequence_length;
        if (!shape_matches || (bytes == nullptr && count > 0)) {
            throw std::runtime_error(
                "Cannot split read: base_mod_probs holds " +
                std::to_string(probabilities->info.count) + " values, not sequence_length " +
                std::to_string(sequence_length) + " x " + std::to_string(channels) + " channels.");
        }
        MatView<unsigned char> matrix;
        matrix.view(const_cast<unsigned char*>(bytes), sequence_length, channels,
                    channels == 0 ? 1 : channels, 1);
        head_datasets.emplace(dataset::base_mod_probs,
                              owned_matrix_rows(matrix, 0, position, channels));
        tail.datasets.emplace(
            dataset::base_mod_probs,
            owned_matrix_rows(matrix, position, sequence_length - position, channels));
    }

    // The first model step whose moves, counted from the start, pass base
    // `position` emits that base: it is the first step of the tail.
    if (!moves) {
        throw std::runtime_error("Cannot split read at base " + std::to_string(position) +
                                 ": it has no move table.");
    }
    const unsigned char* steps = moves->get_array<unsigned char>();
    const size_t num_steps = steps == nullptr ? 0 : moves->info.count;
    size_t first_tail_step = num_steps;
    unsigned long long bases = 0;
    for (size_t i = 0; i < num_steps; ++i) {
        bases += steps[i];
        if (bases > position) {
            first_tail_step = i;
            break;
        }
    }
    if (first_tail_step == num_steps) {
        throw std::runtime_error("Cannot split read at base " + std::to_string(position) +
                                 ": its move table emits only " + std::to_string(bases) +
                                 " bases.");
    }
    head_datasets.emplace(
        dataset::movement,
        owned_bytes(std::vector<unsigned char>(steps, steps + first_tail_step)));
    tail.datasets.emplace(
        dataset::movement,
        owned_bytes(std::vector<unsigned char>(steps + first_tail_step, steps + num_steps)));

    // Derived counts. Inconsistent metadata (fewer events or samples than the
    // move table implies) yields 0, never a wrapped-around count.
    const unsigned long long k = first_tail_step;
    const unsigned long long tail_events = minus_or_zero(trimmed_events, k);
    const unsigned long long head_num_events = minus_or_zero(num_events, tail_events);
    unsigned long long head_duration = 0;
    unsigned long long head_trimmed_duration = 0;
    if (__builtin_mul_overflow(model_stride, head_num_events, &head_duration) ||
        __builtin_mul_overflow(model_stride, k, &head_trimmed_duration)) {
        throw std::runtime_error("Cannot split read: model_stride " + std::to_string(model_stride) +
                                 " times its event count overflows.");
    }
    const unsigned long long tail_duration = minus_or_zero(duration, head_duration);
    const unsigned long long tail_start_time =
        start_time > std::numeric_limits<unsigned long long>::max() - head_duration
            ? std::numeric_limits<unsigned long long>::max()
            : start_time + head_duration;

    Metadata head_metadata = metadata;
    Metadata tail_metadata = metadata;
    head_metadata.insert(read_data::strand_id::key, generate_dervived_uuid(strand_id, 0));
    tail_metadata.insert(read_data::strand_id::key, generate_dervived_uuid(strand_id, 1));
    head_metadata.insert<unsigned long long>(basecall_data::sequence_length::key, position);
    tail_metadata.insert<unsigned long long>(basecall_data::sequence_length::key,
                                             minus_or_zero(sequence_length, position));
    head_metadata.insert<unsigned long long>(basecall_data::trimmed_events::key, k);
    tail_metadata.insert<unsigned long long>(basecall_data::trimmed_events::key, tail_events);
    head_metadata.insert<unsigned long long>(basecall_data::num_events::key, head_num_events);
    tail_metadata.insert<unsigned long long>(basecall_data::num_events::key, tail_events);
    head_metadata.insert<unsigned long long>(read_data::duration::key, head_duration);
    tail_metadata.insert<unsigned long long>(read_data::duration::key, tail_duration);
    head_metadata.insert<unsigned long long>("trimmed_duration", head_trimmed_duration);
    tail_metadata.insert<unsigned long long>("trimmed_duration", tail_duration);
    head_metadata.insert<unsigned long long>("num_sequor_events", 0);
    tail_metadata.insert<unsigned long long>("num_sequor_events", 0);
    tail_metadata.insert<unsigned long long>("start_time", tail_start_time);
    tail_metadata.insert<unsigned long long>(read_data::trimmed_samples::key, 0);
    if (qstring) {
        head_metadata.insert<float>(
            basecall_data::mean_qscore::key,
            mean_qscore_with_calibration(head_metadata,
                                         head_datasets.at(dataset::qstring).get_string()));
        tail_metadata.insert<float>(
            basecall_data::mean_qscore::key,
            mean_qscore_with_calibration(tail_metadata,
                                         tail.datasets.at(dataset::qstring).get_string()));
    }

    if (event_recorder) {
        tail.event_recorder = event_recorder->clone();
    }
    std::shared_ptr<ReadCoordinator> shared_coordinator =
        coordinator ? coordinator : std::make_shared<ReadCoordinator>(read_tag);
    // The last step that may fail: from here on nothing throws.
    tail.sub_tag = shared_coordinator->add_sub_tag();

    coordinator = shared_coordinator;
    tail.coordinator = std::move(shared_coordinator);
    tail.priority = priority;
    tail.read_tag = read_tag;
    tail.attachment = attachment;
    tail.metadata = std::move(tail_metadata);
    metadata = std::move(head_metadata);
    for (auto& [code, head] : head_datasets) {
        datasets.find(code)->second = std::move(head);
    }
    return tail;
}

void ReadHolder::recalculate_mean_qscore() {
    const auto it = datasets.find(dataset::qstring);
    if (it == datasets.end()) {
        return;
    }
    const float q = mean_qscore_with_calibration(metadata, it->second.get_string());
    metadata.insert<float>(basecall_data::mean_qscore::key, q);
}

ReadCoordinator::ReadCoordinator(unsigned long long read_tag)
        : m_num_tags(1), m_read_tag(read_tag) {}

unsigned long long ReadCoordinator::add_sub_tag() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_num_tags++;
}

void ReadCoordinator::complete_read(ReadHolder read) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string display_tag = ReadHolder::get_display_tag({read.read_tag, read.sub_tag});
    CONTRACT_CHECK(m_read_tag == read.read_tag,
                   "Tried to complete read on the wrong coordinator: " + std::to_string(m_read_tag) +
                       " vs " + display_tag);
    if (read.sub_tag >= m_num_tags) {
        throw std::runtime_error("Tried to completed unexpected sub_tag: " + display_tag +
                                 ", #tags=" + std::to_string(m_num_tags));
    }
    for (const auto& completed : m_completed_reads) {
        if (completed.sub_tag == read.sub_tag) {
            throw std::runtime_error("Tried to completed read twice: " + display_tag);
        }
    }
    m_completed_reads.push_back(std::move(read));
}

bool ReadCoordinator::get_all_reads(ReadList& reads) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_completed_reads.size() != m_num_tags) {
        return false;
    }
    reads.clear();
    reads.splice(reads.end(), m_completed_reads);
    return true;
}

}  // namespace interfaces
