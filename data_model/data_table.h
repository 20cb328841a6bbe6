#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "data_model/data_set.h"
#include "data_model/views.h"

namespace kelp::data_wrappers::v2 {

// Rows of one fixed byte layout with named, typed columns. The row layout is
// an exchange format (the Python module copies rows byte for byte):
// columns in the order added; each at the row size so far rounded up to its
// alignment (4 for a fixed-size string, else its own size); a fixed-size
// string takes one byte more for its NUL; allocate() rounds the row size up to
// a multiple of 8. Padding is zero.
//
// Build it by adding every column, then allocate() once, then write rows.
class DataTable {
public:
    DataTable() = default;
    DataTable(const DataTable&) = default;
    DataTable(DataTable&&) noexcept = default;
    DataTable& operator=(const DataTable&) = default;
    DataTable& operator=(DataTable&&) noexcept = default;

    // Appends a column; size 0 means the type's own size (required for
    // fixed_string). Throws std::runtime_error, changing nothing, for a type
    // that cannot be a column or a size that does not fit the type. A name
    // already present is pointed at the new column.
    void add_field(const std::string& name, DataSetType type, std::size_t size = 0);

    // n zeroed rows; rounds the row size up to a multiple of 8.
    void allocate(std::size_t n);

    // A view of one column over all rows. Throws std::out_of_range for a bad
    // column position and std::runtime_error when the column's size is not
    // sizeof(T) or the rows cannot be walked in steps of T.
    template <typename T>
    VecView<T> view_field(std::size_t column) {
        return make_view<T>(column, data.data());
    }
    template <typename T>
    VecView<T> view_field(std::size_t column) const {
        static_assert(std::is_const_v<T>, "a const table gives views of const elements");
        return make_view<T>(column, data.data());
    }

    // Column position of a name; std::out_of_range when absent.
    std::size_t field_position(const std::string& name) const { return field_index.at(name); }

    std::vector<char> data;
    std::vector<Field> fields;
    std::map<std::string, std::size_t> field_index;
    std::uint64_t row_size = 0;
    std::uint64_t num_rows = 0;

private:
    template <typename T, typename Byte>
    VecView<T> make_view(std::size_t column, Byte* bytes) const {
        static_assert(is_data_set_element_v<T>, "not a column element type");
        const Field& field = fields.at(column);
        if (field.size != sizeof(T)) {
            throw std::runtime_error("VecView type not compatible with field type.");
        }
        check_view_bounds(field, sizeof(T));
        VecView<T> view;
        T* first = num_rows > 0 ? reinterpret_cast<T*>(bytes + field.offset) : nullptr;
        view.view(first, num_rows, static_cast<long>(row_size > 0 ? row_size / sizeof(T) : 1));
        return view;
    }
    // Refuses views that would read outside the row bytes.
    void check_view_bounds(const Field& field, std::size_t element_size) const;
};

template <>
void* DataSetData::OwnerType<DataTable>::data_ptr();

}  // namespace kelp::data_wrappers::v2
