#include "data_model/sam_tags.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "data_model/base_mod_context.h"

namespace kelp::bam::util {

namespace {

const std::string CANONICAL_BASES = "ACGT";

// One ASCII letter, or one or more ASCII digits.
bool is_valid_modification_code(const std::string& code) {
    if (code.size() == 1 && ((code[0] >= 'A' && code[0] <= 'Z') || (code[0] >= 'a' && code[0] <= 'z'))) {
        return true;
    }
    if (code.empty()) {
        return false;
    }
    for (char c : code) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

template <typename T>
T element(const kelp::data_wrappers::v2::VecView<T>& view, size_t i) {
    return view.data[static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(view.stride)];
}

}  // namespace

bool generate_modbase_string(std::string& out, const std::string& sequence,
                             const std::string& alphabet, const std::string& context,
                             const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                             unsigned char threshold, std::string& error) {
    const std::vector<std::string> channels = modbase_channels(alphabet);
    const size_t num_channels = channels.size();
    if (num_channels * sequence.size() != probabilities.size) {
        error = "Mismatch between modbase_probs size and sequence length * num channels in "
                "modbase_alphabet!";
        return false;
    }
    out = "MM:Z:";
    std::string probability_list = "ML:B:C";

    std::map<char, bool> has_context = {{'A', false}, {'C', false}, {'G', false}, {'T', false}};
    BaseModContext base_context;
    if (!context.empty()) {
        if (!base_context.decode(context)) {
            throw std::runtime_error("Invalid base modification context string.");
        }
        for (char base : CANONICAL_BASES) {
            has_context[base] = base_context.motif(base).size() >= 2;
        }
    }
    std::vector<int> mask = base_context.get_sequence_mask(sequence);
    base_context.update_mask(mask, sequence, channels, probabilities, threshold);

    char current_base = '\0';
    for (size_t j = 0; j < num_channels; ++j) {
        const std::string& token = channels[j];
        if (CANONICAL_BASES.find(token) != std::string::npos) {
            current_base = token[0];
            continue;
        }
        if (!is_valid_modification_code(token)) {
            error = "Invalid modified base code: " + token;
            return false;
        }
        out += current_base;
        out += '+';
        out += token;
        out += has_context[current_base] ? '?' : '.';
        size_t skipped = 0;
        for (size_t p = 0; p < sequence.size(); ++p) {
            if (sequence[p] != current_base) {
                continue;
            }
            if (mask[p] == 1) {
                out += ',';
                out += std::to_string(skipped);
                probability_list += ',';
                probability_list +=
                    std::to_string(static_cast<unsigned>(element(probabilities, p * num_channels + j)));
                skipped = 0;
            } else {
                ++skipped;
            }
        }
        out += ';';
    }
    out += '\t';
    out += probability_list;
    out += "\tMN:i:";
    out += std::to_string(sequence.size());
    return true;
}

bool generate_modbase_string(std::string& out, const std::string& sequence,
                             const std::string& alphabet,
                             const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                             unsigned char threshold, std::string& error) {
    return generate_modbase_string(out, sequence, alphabet, std::string(), probabilities, threshold,
                                   error);
}

bool make_unmapped_sam_line(std::string& out, const std::string& read_name,
                            const std::string& sequence, const std::string& qstring,
                            std::string& error) {
    if (sequence.size() != qstring.size()) {
        error = "sequence and qscore do not match size!";
        return false;
    }
    if (read_name.empty()) {
        error = "Empty read_name string provided!";
        return false;
    }
    std::string line;
    line.reserve(read_name.size() + sequence.size() + qstring.size() + 32);
    line += read_name;
    line += "\t4\t*\t0\t0\t*\t*\t0\t0\t";
    line += sequence.empty() ? "*" : sequence;
    line += '\t';
    line += qstring.empty() ? "*" : qstring;
    out = std::move(line);
    return true;
}

bool generate_move_table_string(std::string& out,
                                const kelp::data_wrappers::v2::VecView<unsigned char>& moves,
                                signed char stride, std::string& error) {
    if (moves.size == 0) {
        error = "Zero length move table provided to generate_move_table_string";
        return false;
    }
    std::string text = "mv:B:c,";
    text += std::to_string(static_cast<int>(stride));
    for (size_t i = 0; i < moves.size; ++i) {
        unsigned value = element(moves, i);
        while (value > 126) {
            text += ",127";
            value -= 127;
        }
        text += ',';
        text += std::to_string(value);
    }
    out = std::move(text);
    return true;
}

}  // namespace kelp::bam::util
