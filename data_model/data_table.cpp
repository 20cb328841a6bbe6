#include "data_model/data_table.h"

#include <memory>

namespace kelp::data_wrappers::v2 {

namespace {

std::uint64_t round_up(std::uint64_t value, std::uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// Far above any real column or row, far below where 64-bit sizes wrap.
constexpr std::uint64_t MAX_FIELD_SIZE = std::uint64_t(1) << 32;
constexpr std::uint64_t MAX_ROW_SIZE = std::uint64_t(1) << 40;

}  // namespace

void DataTable::add_field(const std::string& name, DataSetType type, std::size_t size) {
    const auto code = static_cast<std::int32_t>(type);
    if (code < 0 || code > static_cast<std::int32_t>(DataSetType::fixed_string)) {
        throw std::runtime_error("Invalid data type for data table field.");
    }
    const bool is_string = type == DataSetType::fixed_string;
    if (size == 0) {
        if (is_string) {
            throw std::runtime_error("Must specify a size for string fields.");
        }
        size = DATA_SET_TYPE_SIZES[code];
    } else if (!is_string && size != DATA_SET_TYPE_SIZES[code]) {
        throw std::runtime_error("Specified type size does not match actual type size.");
    }

    // Bounded so that no row size or row offset can wrap around.
    if (size > MAX_FIELD_SIZE || row_size > MAX_ROW_SIZE) {
        throw std::runtime_error("Field size too large for a data table.");
    }
    const std::uint64_t alignment = is_string ? 4 : size;
    const std::uint64_t offset = round_up(row_size, alignment);
    const std::uint64_t new_row_size = offset + size + (is_string ? 1 : 0);

    fields.push_back(Field{name, type, size, offset});
    try {
        field_index[name] = fields.size() - 1;
    } catch (...) {
        fields.pop_back();
        throw;
    }
    row_size = new_row_size;
}

void DataTable::allocate(std::size_t n) {
    const std::uint64_t new_row_size = round_up(row_size, 8);
    if (new_row_size != 0 && n > data.max_size() / new_row_size) {
        throw std::length_error("DataTable rows do not fit in memory.");
    }
    std::vector<char> bytes(new_row_size * n, 0);
    data.swap(bytes);
    row_size = new_row_size;
    num_rows = n;
}

void DataTable::check_view_bounds(const Field& field, std::size_t element_size) const {
    if (num_rows == 0) {
        return;  // the view has no element to read
    }
    const bool fits_row = field.offset + field.size <= row_size && field.offset <= row_size;
    const bool usable = fits_row && field.offset % element_size == 0 &&
                        row_size % element_size == 0 && data.size() / row_size >= num_rows;
    if (!usable) {
        throw std::runtime_error("Table layout does not allow a view of column '" + field.name +
                                 "'.");
    }
}

template <>
void* DataSetData::OwnerType<DataTable>::data_ptr() {
    return value.data.data();
}

void DataSetData::view(DataTable& table) {
    // Copied before the dataset is touched: a failure changes nothing.
    std::vector<Field> table_fields = table.fields;
    reset();
    data = table.data.data();
    info.type = DataSetType::table;
    info.element_size = table.row_size;
    info.count = table.num_rows;
    info.fields = std::move(table_fields);
}

void DataSetData::own(DataTable&& table) {
    // Allocated before the dataset is touched: a failure changes nothing.
    auto new_owner = std::make_unique<OwnerType<DataTable>>();
    std::vector<Field> table_fields = table.fields;
    // The table is taken before the old storage is dropped: it may be the
    // table of this dataset's own owner. The row bytes move with their
    // buffer.
    new_owner->value = std::move(table);
    table.data.clear();
    table.fields.clear();
    table.field_index.clear();
    table.row_size = 0;
    table.num_rows = 0;
    reset();
    const DataTable& held = new_owner->value;
    data = new_owner->data_ptr();
    info.type = DataSetType::table;
    info.element_size = held.row_size;
    info.count = held.num_rows;
    info.fields = std::move(table_fields);
    owner = std::move(new_owner);
}

}  // namespace kelp::data_wrappers::v2
