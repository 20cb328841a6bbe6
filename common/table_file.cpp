#include "common/table_file.h"

#include <fstream>
#include <stdexcept>

#include "common/utils.h"

namespace common {

TextFile::TextFile(const std::string& path) {
    Open(path);
    m_file_name = path;
}

TextFile::~TextFile() = default;

void TextFile::Open(const std::string& path) {
    Clear();
    const std::string open_failure = "Error: Failed to open file \"" + path + "\"";
    std::ifstream file(path);
    if (!file.is_open()) {
        throw std::runtime_error(open_failure);
    }
    // Copied with checked reads: a path that opens but cannot be read (a
    // folder, an I/O error) must not pass for an empty or shortened table.
    std::string text;
    char buffer[65536];
    while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(file.gcount()));
    }
    if (file.bad()) {
        throw std::runtime_error(open_failure);
    }
    std::stringstream content(std::move(text));
    read_input(content);
}

void TextFile::Clear() {
    m_header_names.clear();
    m_columns.clear();
    m_column_index.clear();
}

void TextFile::read_input(std::stringstream& input) {
    const char newline = input.widen('\n');
    std::string line;
    std::string header;
    while (std::getline(input, line, newline)) {
        header = clean_string(line);
        if (header.empty() || header[0] != '#') {
            break;
        }
        header.clear();  // the input may end on a comment line
    }

    m_header_names = kelp::shared::split(header, '\t');
    for (std::size_t i = 0; i < m_header_names.size(); ++i) {
        m_column_index[m_header_names[i]] = static_cast<int>(i);
    }
    m_columns.assign(m_header_names.size(), {});

    std::size_t line_number = 1;
    while (std::getline(input, line, newline)) {
        const std::vector<std::string> fields = kelp::shared::split(clean_string(line), '\t');
        ++line_number;
        if (fields.size() != m_columns.size()) {
            throw std::runtime_error("Error: Incomplete row in line " + std::to_string(line_number) +
                                     ": expecting " + std::to_string(m_columns.size()) +
                                     " columns but got " + std::to_string(fields.size()));
        }
        for (std::size_t i = 0; i < fields.size(); ++i) {
            m_columns[i].push_back(fields[i]);
        }
    }
}

template <typename T>
int TextFile::LoadColumn(int column, std::vector<T>& values, const T& default_value) const {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size()) {
        throw std::out_of_range("column position " + std::to_string(column) +
                                " out of range: the table has " + std::to_string(m_columns.size()) +
                                " columns");
    }
    const std::vector<std::string>& cells = m_columns[static_cast<std::size_t>(column)];
    values.resize(cells.size());
    int empty_cells = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].empty()) {
            values[i] = default_value;
            ++empty_cells;
        } else {
            std::istringstream cell(cells[i]);
            cell >> values[i];
        }
    }
    return empty_cells;
}

template int TextFile::LoadColumn<float>(int, std::vector<float>&, const float&) const;

int load_model(const std::string& path, std::vector<float>& level_mean,
               std::vector<float>& level_stdv, std::vector<float>& sd_mean,
               std::vector<float>& sd_stdv) {
    const TextFile table(path);
    const auto position_of = [&](const char* name) {
        const auto found = table.column_index().find(name);
        if (found == table.column_index().end()) {
            throw std::runtime_error(std::string("Error: Missing column \"") + name +
                                     "\" in file \"" + path + "\"");
        }
        return found->second;
    };
    const int level_mean_column = position_of("level_mean");
    const int level_stdv_column = position_of("level_stdv");
    const int sd_mean_column = position_of("sd_mean");
    const int sd_stdv_column = position_of("sd_stdv");

    table.LoadColumn(level_mean_column, level_mean, 0.0f);
    table.LoadColumn(level_stdv_column, level_stdv, 0.0f);
    table.LoadColumn(sd_mean_column, sd_mean, 0.0f);
    table.LoadColumn(sd_stdv_column, sd_stdv, 0.0f);

    for (std::size_t i = 0; i < sd_stdv.size(); ++i) {
        const float mean = i < sd_mean.size() ? sd_mean[i] : 0.0f;
        sd_stdv[i] = (mean * mean * mean) / (sd_stdv[i] * sd_stdv[i]);
    }

    switch (level_mean.size()) {
    case 64: return 3;
    case 256: return 4;
    case 1024: return 5;
    case 4096: return 6;
    case 16384: return 7;
    default: throw std::runtime_error("Invalid model length.");
    }
}

}  // namespace common
