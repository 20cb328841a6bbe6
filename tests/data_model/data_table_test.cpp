#include "data_model/data_table.h"

#include <gtest/gtest.h>

#include <cstring>

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Field;
using kelp::data_wrappers::v2::MatView;
using kelp::data_wrappers::v2::VecView;

namespace {

template <typename E, typename F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception of the expected type>";
}

struct Column {
    const char* name;
    DataSetType type;
    std::size_t size;
    std::uint64_t expected_offset;
};

struct LayoutCase {
    const char* name;
    std::vector<Column> columns;
    std::uint64_t row_size_before_allocate;
    std::uint64_t row_size_after_allocate;
};

TEST(DataTableTest, RowLayoutAlignsColumnsAndRoundsRowsToEightBytes) {
    const LayoutCase cases[] = {
        {"mixed",
         {{"a", DataSetType::int8, 0, 0},
          {"b", DataSetType::int32, 0, 4},
          {"c", DataSetType::fixed_string, 3, 8},
          {"d", DataSetType::float64, 0, 16}},
         24,
         24},
        {"long string first",
         {{"g", DataSetType::fixed_string, 253, 0},
          {"d", DataSetType::int8, 0, 254},
          {"s", DataSetType::int32, 0, 256}},
         260,
         264},
        {"single byte", {{"x", DataSetType::int8, 0, 0}}, 1, 8},
        {"string after byte",
         {{"x", DataSetType::uint8, 0, 0}, {"s", DataSetType::fixed_string, 1, 4}},
         6,
         8},
        {"every number type",
         {{"i8", DataSetType::int8, 1, 0},
          {"i16", DataSetType::int16, 2, 2},
          {"u8", DataSetType::uint8, 0, 4},
          {"i64", DataSetType::int64, 8, 8},
          {"u16", DataSetType::uint16, 0, 16},
          {"u32", DataSetType::uint32, 0, 20},
          {"u64", DataSetType::uint64, 0, 24},
          {"f32", DataSetType::float32, 0, 32},
          {"i32", DataSetType::int32, 0, 36},
          {"f64", DataSetType::float64, 0, 40}},
         48,
         48},
    };
    for (const auto& c : cases) {
        DataTable t;
        for (const auto& col : c.columns) {
            t.add_field(col.name, col.type, col.size);
        }
        ASSERT_EQ(t.fields.size(), c.columns.size()) << c.name;
        for (std::size_t i = 0; i < c.columns.size(); ++i) {
            EXPECT_EQ(t.fields[i].offset, c.columns[i].expected_offset) << c.name << " " << i;
            EXPECT_EQ(t.field_index.at(c.columns[i].name), i) << c.name;
        }
        EXPECT_EQ(t.row_size, c.row_size_before_allocate) << c.name;
        t.allocate(3);
        EXPECT_EQ(t.row_size, c.row_size_after_allocate) << c.name;
        EXPECT_EQ(t.num_rows, 3u);
        EXPECT_EQ(t.data.size(), 3 * c.row_size_after_allocate) << c.name;
        for (char byte : t.data) {
            ASSERT_EQ(byte, 0) << c.name;
        }
    }
}

TEST(DataTableTest, AddFieldRejectsBadColumnsAndChangesNothing) {
    struct Case {
        DataSetType type;
        std::size_t size;
        const char* message;
    };
    const Case cases[] = {
        {DataSetType::fixed_string, 0, "Must specify a size for string fields."},
        {DataSetType::int32, 8, "Specified type size does not match actual type size."},
        {DataSetType::float64, 4, "Specified type size does not match actual type size."},
        {DataSetType::table, 0, "Invalid data type for data table field."},
        {DataSetType::string, 4, "Invalid data type for data table field."},
        {DataSetType::none, 0, "Invalid data type for data table field."},
        {static_cast<DataSetType>(99), 1, "Invalid data type for data table field."},
        {static_cast<DataSetType>(-1), 1, "Invalid data type for data table field."},
    };
    for (const auto& c : cases) {
        DataTable t;
        t.add_field("a", DataSetType::int8);
        EXPECT_EQ(error_of<std::runtime_error>([&] { t.add_field("new", c.type, c.size); }),
                  c.message);
        EXPECT_EQ(t.fields.size(), 1u);
        EXPECT_EQ(t.field_index.size(), 1u);
        EXPECT_EQ(t.row_size, 1u);
    }
}

TEST(DataTableTest, SizesThatWouldWrapAreRefused) {
    DataTable t;
    t.add_field("a", DataSetType::int64);
    EXPECT_THROW(t.add_field("huge", DataSetType::fixed_string, ~std::size_t(0)), std::runtime_error);
    EXPECT_EQ(t.fields.size(), 1u);
    EXPECT_EQ(t.row_size, 8u);

    // rows x row size beyond what memory can hold must not wrap to a small
    // buffer that views would then read past.
    const std::size_t wrapping_rows = (~std::size_t(0)) / 8 + 2;
    EXPECT_THROW(t.allocate(wrapping_rows), std::length_error);
    EXPECT_EQ(t.num_rows, 0u);
    EXPECT_TRUE(t.data.empty());
}

TEST(DataTableTest, ARepeatedNameKeepsBothColumns) {
    DataTable t;
    t.add_field("a", DataSetType::int8);
    t.add_field("a", DataSetType::int32);
    EXPECT_EQ(t.fields.size(), 2u);
    EXPECT_EQ(t.field_index.at("a"), 1u);
    EXPECT_EQ(t.field_position("a"), 1u);
    EXPECT_THROW(t.field_position("b"), std::out_of_range);
    EXPECT_EQ(t.row_size, 8u);
}

DataTable make_table_320(std::size_t rows) {
    DataTable t;
    t.add_field("Genome", DataSetType::fixed_string, 253);
    t.add_field("Direction", DataSetType::int8);
    for (int i = 0; i < 9; ++i) {
        t.add_field("i" + std::to_string(i), DataSetType::int32);
    }
    for (int i = 0; i < 3; ++i) {
        t.add_field("f" + std::to_string(i), DataSetType::float32);
    }
    for (int i = 0; i < 3; ++i) {
        t.add_field("j" + std::to_string(i), DataSetType::int32);
    }
    t.add_field("flag1", DataSetType::uint8);
    t.add_field("flag2", DataSetType::uint8);
    t.allocate(rows);
    return t;
}

TEST(DataTableTest, ViewFieldWalksAColumnAcrossRows) {
    DataTable t = make_table_320(3);
    ASSERT_EQ(t.row_size, 320u);
    EXPECT_EQ(t.fields[1].offset, 254u);
    EXPECT_EQ(t.fields[2].offset, 256u);
    EXPECT_EQ(t.fields[11].offset, 292u);
    EXPECT_EQ(t.fields[14].offset, 304u);
    EXPECT_EQ(t.fields[17].offset, 316u);

    VecView<int> ints = t.view_field<int>(2);
    EXPECT_EQ(ints.stride, 80);
    EXPECT_EQ(ints.size, 3u);
    ints[2] = 12345;
    int stored = 0;
    std::memcpy(&stored, t.data.data() + 2 * 320 + 256, sizeof stored);
    EXPECT_EQ(stored, 12345);

    VecView<unsigned char> flags = t.view_field<unsigned char>(17);
    EXPECT_EQ(flags.stride, 320);
    flags[1] = 1;
    EXPECT_EQ(t.data[320 + 316], 1);

    VecView<signed char> direction = t.view_field<signed char>(1);
    direction[0] = -1;
    EXPECT_EQ(t.data[254], -1);

    // Only the size is compared: an int32 column reads as float.
    VecView<float> as_float = t.view_field<float>(2);
    EXPECT_EQ(as_float.stride, 80);

    const DataTable& ct = t;
    VecView<const int> const_ints = ct.view_field<const int>(2);
    EXPECT_EQ(const_ints[2], 12345);
    EXPECT_EQ(const_ints.at(2), 12345);
    EXPECT_THROW(const_ints.at(3), std::out_of_range);
    // Every const form the readers use, from a const or a mutable table.
    EXPECT_EQ(ct.view_field<const signed char>(1)[0], -1);
    EXPECT_EQ(ct.view_field<const unsigned char>(17)[1], 1);
    EXPECT_EQ(ct.view_field<const float>(2).stride, 80);
    EXPECT_EQ(t.view_field<const int>(2)[2], 12345);
    EXPECT_EQ(error_of<std::runtime_error>([&] { ct.view_field<const float>(1); }),
              "VecView type not compatible with field type.");
    EXPECT_THROW(ct.view_field<const int>(19), std::out_of_range);
}

TEST(DataTableTest, ViewFieldErrors) {
    DataTable t;
    t.add_field("wide", DataSetType::float64);
    t.add_field("narrow", DataSetType::int32);
    t.allocate(2);
    EXPECT_EQ(error_of<std::runtime_error>([&] { t.view_field<int>(0); }),
              "VecView type not compatible with field type.");
    EXPECT_EQ(error_of<std::runtime_error>([&] { t.view_field<unsigned char>(1); }),
              "VecView type not compatible with field type.");
    EXPECT_THROW(t.view_field<int>(2), std::out_of_range);
    EXPECT_NO_THROW(t.view_field<float>(1));

    // A table whose rows cannot be walked in int steps is refused rather than
    // read out of line.
    DataTable odd;
    odd.add_field("b", DataSetType::int8);
    odd.add_field("i", DataSetType::int32);
    odd.add_field("c", DataSetType::int8);
    odd.num_rows = 2;  // rows claimed without allocation
    EXPECT_THROW(odd.view_field<signed char>(0), std::runtime_error);
    odd.allocate(2);
    EXPECT_NO_THROW(odd.view_field<int>(1));
}

TEST(DataTableTest, ViewFieldOfATableWithoutRows) {
    DataTable t;
    t.add_field("x", DataSetType::int32);
    VecView<int> v = t.view_field<int>(0);
    EXPECT_EQ(v.size, 0u);
    EXPECT_EQ(v.data, nullptr);

    // Before allocation the row size need not be a multiple of the element
    // size; without rows there is nothing to read, so the view is given.
    t.add_field("y", DataSetType::int8);
    ASSERT_EQ(t.row_size, 5u);
    v = t.view_field<int>(0);
    EXPECT_EQ(v.size, 0u);
    EXPECT_EQ(v.data, nullptr);
    EXPECT_EQ(v.stride, 1);
}

TEST(DataTableTest, CopiesAreDeep) {
    DataTable t = make_table_320(2);
    t.view_field<int>(2)[1] = 7;
    DataTable copy(t);
    t.view_field<int>(2)[1] = 8;
    EXPECT_EQ(copy.view_field<int>(2)[1], 7);
    EXPECT_EQ(copy.field_index.at("Direction"), 1u);
    EXPECT_EQ(copy.row_size, 320u);
    EXPECT_EQ(copy.num_rows, 2u);
}

TEST(DataTableTest, DatasetViewsAndOwnsATable) {
    DataTable t = make_table_320(2);
    t.view_field<int>(2)[1] = 42;

    DataSetData viewing;
    viewing.metadata.insert<int>("old", 1);
    viewing.view(t);
    EXPECT_EQ(viewing.info.type, DataSetType::table);
    EXPECT_EQ(viewing.info.element_size, 320u);
    EXPECT_EQ(viewing.info.count, 2u);
    EXPECT_EQ(viewing.info.rows, 0u);
    EXPECT_EQ(viewing.info.fields.size(), t.fields.size());
    EXPECT_EQ(viewing.data, t.data.data());
    EXPECT_EQ(viewing.owner, nullptr);
    EXPECT_TRUE(viewing.metadata.empty());

    const void* rows = t.data.data();
    DataSetData owning;
    owning.own(std::move(t));
    EXPECT_TRUE(t.data.empty());
    EXPECT_TRUE(t.fields.empty());
    EXPECT_TRUE(t.field_index.empty());
    EXPECT_EQ(t.row_size, 0u);
    EXPECT_EQ(t.num_rows, 0u);
    EXPECT_EQ(owning.data, rows);
    ASSERT_NE(owning.owner, nullptr);
    EXPECT_EQ(owning.owner->data_ptr(), rows);
    EXPECT_EQ(owning.info.count, 2u);
    int value = 0;
    std::memcpy(&value, static_cast<const char*>(owning.data) + 320 + 256, sizeof value);
    EXPECT_EQ(value, 42);

    // A clone of the table owner copies every byte and survives its source.
    DataSetData copy;
    copy.info = owning.info;
    copy.copy_data(owning);
    owning = DataSetData();
    std::memcpy(&value, static_cast<const char*>(copy.data) + 320 + 256, sizeof value);
    EXPECT_EQ(value, 42);
    auto* table_owner = dynamic_cast<DataSetData::OwnerType<DataTable>*>(copy.owner.get());
    ASSERT_NE(table_owner, nullptr);
    EXPECT_EQ(table_owner->value.field_index.at("Genome"), 0u);
}

// Builds a dense row-major rows x cols matrix holding 0, 1, 2, ...
struct DenseMatrix {
    DenseMatrix(std::size_t rows, std::size_t cols) : bytes(rows * cols) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<unsigned char>(i);
        }
        view.view(bytes.data(), rows, cols, cols, 1);
    }
    std::vector<unsigned char> bytes;
    MatView<unsigned char> view;
};

TEST(ViewsTest, VecViewChecks) {
    VecView<int> v;
    EXPECT_EQ(error_of<std::runtime_error>([&] { v.view(nullptr, 3, 0); }),
              "Stride cannot be zero.");
    int x[4] = {1, 2, 3, 4};
    EXPECT_EQ(error_of<std::runtime_error>([&] { v.view(x, 2, 0); }), "Stride cannot be zero.");
    EXPECT_EQ(error_of<std::runtime_error>([&] { v.view(nullptr, 1, 1); }),
              "Cannot view nullptr with size > 0");
    EXPECT_NO_THROW(v.view(nullptr, 0, 1));
    v.view(x + 3, 2, -2);
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(v[1], 2);
    EXPECT_THROW(v.at(2), std::out_of_range);
}

TEST(ViewsTest, MatViewRefusesZeroStrides) {
    MatView<unsigned char> m;
    unsigned char p[6] = {};
    EXPECT_EQ(error_of<std::runtime_error>([&] { m.view(p, 2, 3, 0, 1); }),
              "Strides (0,1) cannot be zero.");
    EXPECT_EQ(error_of<std::runtime_error>([&] { m.view(p, 2, 3, 3, 0); }),
              "Strides (3,0) cannot be zero.");
    EXPECT_NO_THROW(m.view(nullptr, 2, 3, 3, 1));
    DenseMatrix d(4, 3);
    EXPECT_EQ(error_of<std::runtime_error>([&] { d.view.submatrix(0, 0, 1, 1, 0, 1); }),
              "Strides (0,1) cannot be zero.");
}

TEST(ViewsTest, SubmatrixStaysInsideItsParent) {
    DenseMatrix d(4, 3);
    struct Case {
        std::size_t row0, col0, n_rows, n_cols, row_step, col_step;
        bool ok;
    };
    const Case cases[] = {
        {1, 0, 3, 3, 1, 1, true},  {2, 0, 3, 3, 1, 1, false}, {0, 0, 0, 3, 1, 1, true},
        {0, 0, 2, 3, 2, 1, true},  {0, 0, 3, 3, 2, 1, false}, {0, 1, 4, 2, 1, 1, true},
        {0, 0, 4, 2, 1, 2, true},  {3, 2, 1, 1, 1, 1, true},  {3, 2, 1, 2, 1, 1, false},
    };
    for (const auto& c : cases) {
        if (c.ok) {
            MatView<unsigned char> s =
                d.view.submatrix(c.row0, c.col0, c.n_rows, c.n_cols, c.row_step, c.col_step);
            EXPECT_EQ(s.rows, c.n_rows);
            EXPECT_EQ(s.cols, c.n_cols);
            if (c.n_rows > 0 && c.n_cols > 0) {
                EXPECT_EQ(s(0, 0), c.row0 * 3 + c.col0);
                EXPECT_EQ(s(c.n_rows - 1, c.n_cols - 1),
                          (c.row0 + (c.n_rows - 1) * c.row_step) * 3 + c.col0 +
                              (c.n_cols - 1) * c.col_step);
            }
        } else {
            EXPECT_THROW(
                d.view.submatrix(c.row0, c.col0, c.n_rows, c.n_cols, c.row_step, c.col_step),
                std::out_of_range)
                << c.row0 << "," << c.col0;
        }
    }
    const std::string message = error_of<std::out_of_range>([&] { d.view.submatrix(2, 0, 3, 3, 1, 1); });
    std::ostringstream expected;
    const unsigned char* base = d.bytes.data();
    expected << "MatView submatrix cannot access wider memory than parent matrix: full range is "
             << static_cast<const void*>(base) << ".." << static_cast<const void*>(base + 11)
             << ", sub-range is " << static_cast<const void*>(base + 6) << ".."
             << static_cast<const void*>(base + 14) << ".";
    EXPECT_EQ(message, expected.str());
}

// Positions, steps or shapes so large that the addresses they lead to do not
// fit in 64 bits are refused, never wrapped into a range that looks valid.
TEST(ViewsTest, SubmatrixRefusesRangesBeyondTheAddressSpace) {
    const std::string unaddressable =
        "MatView submatrix cannot access wider memory than parent matrix: a range does not fit "
        "in the address space.";
    const std::size_t huge = std::size_t(1) << 62;
    const std::size_t beyond_signed = (std::size_t(1) << 63) + 1;
    DenseMatrix d(4, 3);
    struct Case {
        const char* name;
        std::size_t row0, col0, n_rows, n_cols, row_step, col_step;
    };
    const Case cases[] = {
        {"row0 beyond signed", beyond_signed, 0, 1, 1, 1, 1},
        {"row0 times stride", huge, 0, 1, 1, 1, 1},
        {"col0 beyond signed", 0, ~std::size_t(0), 1, 1, 1, 1},
        {"row step times stride", 0, 0, 2, 1, huge, 1},
        {"row step beyond signed", 0, 0, 1, 1, beyond_signed, 1},
        {"col step beyond signed", 0, 0, 1, 2, 1, beyond_signed},
        {"rows beyond signed", 0, 0, beyond_signed, 1, 1, 1},
        {"rows times stride", 0, 0, huge, 1, 1, 1},
        {"cols times stride", 0, 0, 1, ~std::size_t(0) / 2, 1, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of<std::out_of_range>([&] {
                      d.view.submatrix(c.row0, c.col0, c.n_rows, c.n_cols, c.row_step, c.col_step);
                  }),
                  unaddressable)
            << c.name;
    }

    // A parent whose own shape cannot be addressed gives no sub-view either.
    MatView<unsigned char> vast;
    vast.view(d.bytes.data(), huge, 3, 3, 1);
    EXPECT_EQ(error_of<std::out_of_range>([&] { vast.submatrix(0, 0, 1, 1, 1, 1); }),
              unaddressable);
}

TEST(ViewsTest, CopyToCopiesEveryElementInEitherLayout) {
    DenseMatrix src(4, 3);
    // Row-major destination.
    std::vector<unsigned char> out(6, 0xFF);
    MatView<unsigned char> dest;
    dest.view(out.data(), 2, 3, 3, 1);
    src.view.submatrix(2, 0, 2, 3, 1, 1).copy_to(dest);
    EXPECT_EQ(out, (std::vector<unsigned char>{6, 7, 8, 9, 10, 11}));

    // Column-major destination (row stride 1): the transpose lands in place.
    std::vector<unsigned char> col_major(12, 0xFF);
    MatView<unsigned char> cm;
    cm.view(col_major.data(), 4, 3, 1, 4);
    src.view.copy_to(cm);
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(col_major[c * 4 + r], r * 3 + c);
        }
    }

    // A view of const elements reads and copies the same way.
    MatView<const unsigned char> read_only;
    read_only.view(src.bytes.data(), 4, 3, 3, 1);
    std::vector<unsigned char> last_column(4, 0);
    MatView<unsigned char> column_dest;
    column_dest.view(last_column.data(), 4, 1, 1, 1);
    read_only.submatrix(0, 2, 4, 1, 1, 1).copy_to(column_dest);
    EXPECT_EQ(last_column, (std::vector<unsigned char>{2, 5, 8, 11}));

    std::vector<unsigned char> small(4, 0xFF);
    MatView<unsigned char> wrong;
    wrong.view(small.data(), 2, 2, 2, 1);
    EXPECT_EQ(error_of<std::runtime_error>([&] { src.view.copy_to(wrong); }),
              "MatView sizes don't match.");
    EXPECT_EQ(small, std::vector<unsigned char>(4, 0xFF));
}

}  // namespace
