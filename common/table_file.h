#pragma once

// Tab-separated text tables: optional '#' comment lines, one header line of
// column names, then rows of cells. The whole table is kept as text and
// converted one column at a time on request.

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace common {

// A text table loaded completely into memory. Not thread-safe; LoadColumn
// only reads.
class TextFile {
public:
    // Reads the table at `path`. Throws std::runtime_error when the file
    // cannot be opened or a row has the wrong number of cells.
    explicit TextFile(const std::string& path);
    ~TextFile();

    // Clears, then reads the table at `path`; the stored file name stays.
    // Throws as the constructor does.
    void Open(const std::string& path);
    // Empties the table; the file name stays.
    void Clear();
    // Parses a table from `input` into the (cleared) object.
    void read_input(std::stringstream& input);

    // Fills `values` from column `column` (0-based), converting each cell
    // with stream extraction; empty cells get `default_value`. Returns the
    // number of empty cells. Throws std::out_of_range for a position outside
    // the table.
    template <typename T>
    int LoadColumn(int column, std::vector<T>& values, const T& default_value) const;

    const std::vector<std::string>& header_names() const { return m_header_names; }
    // Column name to position; a repeated name maps to its last position.
    const std::map<std::string, int>& column_index() const { return m_column_index; }
    std::size_t row_count() const { return m_columns.empty() ? 0 : m_columns.front().size(); }
    const std::string& file_name() const { return m_file_name; }

private:
    std::vector<std::string> m_header_names;
    std::vector<std::vector<std::string>> m_columns;
    std::map<std::string, int> m_column_index;
    std::string m_file_name;
};

extern template int TextFile::LoadColumn<float>(int, std::vector<float>&, const float&) const;

// Loads a model table from the columns "level_mean", "level_stdv", "sd_mean"
// and "sd_stdv" into the four outputs, in that order; the fourth ends up
// holding sd_mean^3 / sd_stdv^2 per row. Returns the model length k, where
// the table has 4^k rows (k from 3 to 7). Throws std::runtime_error for an
// unreadable table, a missing column or another row count ("Invalid model
// length.", after the outputs were filled).
int load_model(const std::string& path, std::vector<float>& level_mean,
               std::vector<float>& level_stdv, std::vector<float>& sd_mean,
               std::vector<float>& sd_stdv);

}  // namespace common
