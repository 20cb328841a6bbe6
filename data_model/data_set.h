#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "data_model/metadata.h"
#include "data_model/views.h"

// Identifiers under which a read keeps its datasets. The codes are exchanged
// between the library and the Python module: do not renumber.
enum class dataset : std::int32_t {
    raw_data = 0,        // raw signal, vector of int16
    sequence = 1,        // called bases, string
    qstring = 2,         // per-base quality characters (Phred + 33), string
    movement = 3,        // move table, vector of uint8
    base_mod_probs = 4,  // modified-base probabilities, uint8 matrix (bases x channels)
    align_results = 5,   // alignment results, table
};

namespace kelp::data_wrappers::v2 {

// Element type of a dataset or a table column. Codes are binding.
enum class DataSetType : std::int32_t {
    int8 = 0,
    int16 = 1,
    int32 = 2,
    int64 = 3,
    uint8 = 4,
    uint16 = 5,
    uint32 = 6,
    uint64 = 7,
    float32 = 8,
    float64 = 9,
    fixed_string = 10,  // text of a declared size; only as a table column
    string = 11,        // one std::string
    table = 12,         // rows of a DataTable
    none = 13,          // no data: the type of an empty dataset
};

// Element sizes in bytes of the number types, indexed by code 0 to 9.
inline constexpr std::size_t DATA_SET_TYPE_SIZES[10] = {1, 2, 4, 8, 1, 2, 4, 8, 4, 8};

namespace detail {
template <typename T>
struct data_set_type_code;
template <> struct data_set_type_code<std::int8_t> { static constexpr DataSetType value = DataSetType::int8; };
template <> struct data_set_type_code<std::int16_t> { static constexpr DataSetType value = DataSetType::int16; };
template <> struct data_set_type_code<std::int32_t> { static constexpr DataSetType value = DataSetType::int32; };
template <> struct data_set_type_code<std::int64_t> { static constexpr DataSetType value = DataSetType::int64; };
template <> struct data_set_type_code<std::uint8_t> { static constexpr DataSetType value = DataSetType::uint8; };
template <> struct data_set_type_code<std::uint16_t> { static constexpr DataSetType value = DataSetType::uint16; };
template <> struct data_set_type_code<std::uint32_t> { static constexpr DataSetType value = DataSetType::uint32; };
template <> struct data_set_type_code<std::uint64_t> { static constexpr DataSetType value = DataSetType::uint64; };
template <> struct data_set_type_code<float> { static constexpr DataSetType value = DataSetType::float32; };
template <> struct data_set_type_code<double> { static constexpr DataSetType value = DataSetType::float64; };

template <typename T, typename = void>
struct is_data_set_element : std::false_type {};
template <typename T>
struct is_data_set_element<T, std::void_t<decltype(data_set_type_code<T>::value)>> : std::true_type {};
}  // namespace detail

// The element type code of T (one of the ten number element types; const ignored).
template <typename T>
inline constexpr DataSetType data_set_type_of = detail::data_set_type_code<std::remove_const_t<T>>::value;

template <typename T>
inline constexpr bool is_data_set_element_v = detail::is_data_set_element<std::remove_const_t<T>>::value;

// One column of a table.
struct Field {
    std::string name;
    DataSetType type = DataSetType::none;
    std::uint64_t size = 0;    // bytes as declared (a fixed-size string: without its NUL)
    std::uint64_t offset = 0;  // byte offset within a row
};

// What a dataset's elements are.
struct DataSetInfo {
    DataSetType type = DataSetType::none;
    std::uint64_t element_size = 0;  // string: length + 1; table: row size
    std::uint64_t count = 0;         // string: 1; table: rows; matrix: rows * cols
    std::uint64_t rows = 0;          // matrix rows, else 0
    std::uint64_t cols = 0;          // matrix columns, else 0
    std::vector<Field> fields;       // table columns, else empty
};

class DataTable;

// One typed array of a read: either owns its storage (through `owner`) or
// views memory that its maker keeps alive. The layout is shared by the
// library and the Python module, and a dataset made by one may be destroyed by
// the other: the owner is always deleted through OwnerBase's virtual
// destructor, so the deleting code is the code that created it.
// Not thread-safe; a dataset belongs to one read.
struct DataSetData {
    // Keeps a dataset's storage alive. `data` points into data_ptr().
    class OwnerBase {
    public:
        virtual ~OwnerBase() = default;
        // A new owner of the same kind holding a deep copy.
        virtual std::unique_ptr<OwnerBase> clone() const = 0;
        // Address of the held value's first element.
        virtual void* data_ptr() = 0;
    };

    // Owns one T: std::string, std::vector of a number type, or DataTable.
    template <typename T>
    class OwnerType : public OwnerBase {
    public:
        OwnerType() = default;
        explicit OwnerType(T&& v) : value(std::move(v)) {}
        explicit OwnerType(const T& v) : value(v) {}
        std::unique_ptr<OwnerBase> clone() const override {
            return std::make_unique<OwnerType<T>>(value);
        }
        void* data_ptr() override;

        T value;
    };

    DataSetData() noexcept = default;
    DataSetData(const DataSetData&) = delete;
    DataSetData& operator=(const DataSetData&) = delete;
    // The target takes everything; the source is left empty.
    DataSetData(DataSetData&& other) noexcept;
    DataSetData& operator=(DataSetData&& other) noexcept;
    ~DataSetData();

    // Takes the string over (the caller's is left empty); type string.
    void own(std::string&& text);
    // Takes the vector over (the caller's is left empty) as a 1-D array.
    template <typename T>
    void own(std::vector<T>&& values);
    // Takes bytes over as a dense row-major uint8 matrix of view.rows x
    // view.cols. `data` points at the bytes (the view's pointer and strides
    // are not used). Throws std::runtime_error, changing nothing, when the
    // byte count is not rows x cols.
    template <typename T>
    void own(MatView<T>& view, std::vector<T>&& bytes);
    // Takes the table over (the caller's is left empty); type table.
    void own(DataTable&& table);
    // Views the table's rows without owning them; the table must outlive the
    // dataset's use and keep its rows and columns meanwhile.
    void view(DataTable& table);

    // A new dataset owning the given value.
    template <typename T>
    static DataSetData take_ownership(T&& value) {
        DataSetData result;
        result.own(std::forward<T>(value));
        return result;
    }

    // Makes this dataset's storage a copy of other's: a deep copy of owned
    // storage, a second view of viewed storage. Changes only data, str and
    // owner; the caller copies info and metadata.
    void copy_data(const DataSetData& other);

    // The held string. Throws std::runtime_error "Data does not view string
    // data." unless the type is string.
    const std::string& get_string() const;
    std::string& get_string();

    // The elements as T (count in info.count). Throws std::runtime_error
    // "Invalid array type requested." unless the type is T's code.
    template <typename T>
    T* get_array() {
        check_array_type(data_set_type_of<T>);
        return static_cast<T*>(data);
    }
    template <typename T>
    const T* get_array() const {
        check_array_type(data_set_type_of<T>);
        return static_cast<const T*>(data);
    }

    // Drops storage, description and metadata: the empty state.
    void reset() noexcept;

    void* data = nullptr;
    std::string* str = nullptr;
    DataSetInfo info;
    std::unique_ptr<OwnerBase> owner;
    Metadata metadata;

private:
    void check_array_type(DataSetType type) const;
};

template <typename T>
void* DataSetData::OwnerType<T>::data_ptr() {
    return value.data();
}

template <typename T>
void DataSetData::own(std::vector<T>&& values) {
    static_assert(is_data_set_element_v<T>, "not a dataset element type");
    // The owner is made before anything changes, so a failed allocation
    // leaves both the dataset and the caller's vector as they were. The
    // vector is taken before the old storage is dropped: it may be that
    // storage's own vector.
    auto new_owner = std::make_unique<OwnerType<std::vector<T>>>();
    new_owner->value = std::move(values);
    reset();
    data = new_owner->value.data();
    info.type = data_set_type_of<T>;
    info.element_size = sizeof(T);
    info.count = new_owner->value.size();
    owner = std::move(new_owner);
}

template <typename T>
void DataSetData::own(MatView<T>& view, std::vector<T>&& bytes) {
    static_assert(std::is_same_v<T, unsigned char>, "matrices are held as uint8");
    const std::uint64_t rows = view.rows;
    const std::uint64_t cols = view.cols;
    if ((cols != 0 && rows > bytes.size() / cols) || rows * cols != bytes.size()) {
        throw std::runtime_error("Matrix of " + std::to_string(rows) + " x " +
                                 std::to_string(cols) + " does not match its " +
                                 std::to_string(bytes.size()) + " bytes.");
    }
    own(std::move(bytes));
    info.count = rows * cols;
    info.rows = rows;
    info.cols = cols;
}

}  // namespace kelp::data_wrappers::v2
