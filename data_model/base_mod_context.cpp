#include "data_model/base_mod_context.h"

#include <cctype>
#include <stdexcept>

#include "common/utils.h"

namespace kelp::bam {

namespace {
const std::string CANONICAL_BASES = "ACGT";
}  // namespace

std::vector<std::string> modbase_channels(const std::string& alphabet) {
    std::vector<std::string> channels;
    size_t pos = 0;
    while (pos < alphabet.size()) {
        while (pos < alphabet.size() && std::isspace(static_cast<unsigned char>(alphabet[pos]))) {
            ++pos;
        }
        const size_t start = pos;
        while (pos < alphabet.size() && !std::isspace(static_cast<unsigned char>(alphabet[pos]))) {
            ++pos;
        }
        if (pos > start) {
            channels.push_back(alphabet.substr(start, pos - start));
        }
    }
    return channels;
}

BaseModContext::BaseModContext()
        : m_base_index{{'A', 0}, {'C', 1}, {'G', 2}, {'T', 3}}, m_offsets{0, 0, 0, 0} {}

BaseModContext::~BaseModContext() = default;

const std::string& BaseModContext::motif(char base) const {
    return m_motifs[m_base_index.at(base)];
}

size_t BaseModContext::motif_offset(char base) const {
    return m_offsets[m_base_index.at(base)];
}

void BaseModContext::set_context(std::string motif, size_t offset) {
    if (motif.size() < 2) {
        return;
    }
    const char base = motif.at(offset);
    const auto index = m_base_index.find(base);
    if (index == m_base_index.end()) {
        throw std::runtime_error("Invalid motif string '" + motif + "'.");
    }
    auto matcher = std::make_unique<MotifMatcher>(motif, offset);
    m_matchers[index->second] = std::move(matcher);
    m_motifs[index->second] = std::move(motif);
    m_offsets[index->second] = offset;
}

bool BaseModContext::decode(const std::string& context) {
    const std::vector<std::string> fields = kelp::shared::split(context, ':');
    if (fields.size() != 4) {
        return false;
    }
    // Parse and compile all four fields before storing any of them, so a
    // refused or uncompilable context leaves the object as it was.
    std::array<std::string, 4> motifs;
    std::array<size_t, 4> offsets{0, 0, 0, 0};
    std::array<std::unique_ptr<MotifMatcher>, 4> matchers;
    for (size_t i = 0; i < 4; ++i) {
        const std::string& field = fields[i];
        if (field == "_") {
            continue;
        }
        const size_t x_pos = field.find('X');
        if (x_pos == std::string::npos) {
            return false;
        }
        std::string new_motif = field;
        new_motif[x_pos] = CANONICAL_BASES[i];
        matchers[i] = std::make_unique<MotifMatcher>(new_motif, x_pos);
        motifs[i] = std::move(new_motif);
        offsets[i] = x_pos;
    }
    m_motifs.swap(motifs);
    m_offsets = offsets;
    m_matchers.swap(matchers);
    return true;
}

std::string BaseModContext::encode() const {
    std::string context;
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            context += ':';
        }
        if (m_motifs[i].empty()) {
            context += '_';
        } else {
            std::string field = m_motifs[i];
            field[m_offsets[i]] = 'X';
            context += field;
        }
    }
    return context;
}

std::vector<int> BaseModContext::get_sequence_mask(const std::string& sequence) const {
    std::vector<int> mask(sequence.size(), 0);
    for (const auto& matcher : m_matchers) {
        if (!matcher) {
            continue;
        }
        for (size_t hit : matcher->get_motif_hits(sequence)) {
            // A motif offset always lies inside the motif, so hits lie inside
            // the sequence; the bound check guards against any other use.
            if (hit < mask.size()) {
                mask[hit] = 1;
            }
        }
    }
    return mask;
}

void BaseModContext::update_mask(std::vector<int>& mask, const std::string& sequence,
                                 const std::vector<std::string>& channels,
                                 const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                                 unsigned char threshold) const {
    const size_t num_channels = channels.size();
    if (num_channels == 0) {
        return;
    }
    char current_base = '\0';
    for (size_t i = 0; i < num_channels; ++i) {
        const std::string& token = channels[i];
        if (CANONICAL_BASES.find(token) != std::string::npos) {
            current_base = token[0];
            continue;
        }
        const size_t base_index = m_base_index.at(current_base);
        if (!m_motifs[base_index].empty()) {
            continue;
        }
        for (size_t p = 0; p < sequence.size() && p < mask.size(); ++p) {
            if (sequence[p] != current_base) {
                continue;
            }
            const size_t element = p * num_channels + i;
            if (element >= probabilities.size) {
                break;
            }
            if (probabilities.data[static_cast<long>(element) * probabilities.stride] >= threshold) {
                mask[p] = 1;
            }
        }
    }
}

}  // namespace kelp::bam
