#include "python/conversions.h"

#include <any>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "python/align_results.h"

namespace apps {

namespace {

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::Metadata;

const char* dataset_name(dataset id) {
    switch (id) {
        case dataset::raw_data:
            return "raw_data";
        case dataset::sequence:
            return "sequence";
        case dataset::qstring:
            return "qstring";
        case dataset::movement:
            return "movement";
        case dataset::base_mod_probs:
            return "base_mod_probs";
        case dataset::align_results:
            return "align_results";
    }
    return nullptr;
}

// The stored value of `key` as T; the entry was listed with T's type, so a
// miss means the map and its key list disagree.
template <typename T>
const T& extract_listed(const Metadata& metadata, const std::string& key) {
    T* value = nullptr;
    if (!metadata.extract(key, value)) {
        throw std::out_of_range("Could not find key '" + key + "' in map.");
    }
    return *value;
}

py::dtype numeric_dtype(DataSetType type) {
    switch (type) {
        case DataSetType::int8:
            return py::dtype::of<std::int8_t>();
        case DataSetType::int16:
            return py::dtype::of<std::int16_t>();
        case DataSetType::int32:
            return py::dtype::of<std::int32_t>();
        case DataSetType::int64:
            return py::dtype::of<std::int64_t>();
        case DataSetType::uint8:
            return py::dtype::of<std::uint8_t>();
        case DataSetType::uint16:
            return py::dtype::of<std::uint16_t>();
        case DataSetType::uint32:
            return py::dtype::of<std::uint32_t>();
        case DataSetType::uint64:
            return py::dtype::of<std::uint64_t>();
        case DataSetType::float32:
            return py::dtype::of<float>();
        case DataSetType::float64:
            return py::dtype::of<double>();
        default:
            throw std::logic_error("not a numeric dataset type");
    }
}

bool is_numeric(DataSetType type) {
    const auto code = static_cast<std::int32_t>(type);
    return code >= 0 && code <= 9;
}

bool is_alignment_table(const DataSetData& data) {
    return data.info.type == DataSetType::table && !data.info.fields.empty() &&
           data.info.fields.front().name == "Genome";
}

}  // namespace

py::str decode_text(const std::string& text, ConversionProblems* problems, const char* kind,
                    std::string_view name) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), size, "strict");
    if (!decoded && problems && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        // Valid text pays for one decode; only broken text is decoded twice.
        PyErr_Clear();
        decoded = PyUnicode_DecodeUTF8(text.data(), size, "replace");
        if (decoded) {
            problems->lines.push_back(std::string(kind) + " \"" + std::string(name) +
                                      "\": text is not UTF-8; undecodable bytes replaced");
        }
    }
    if (!decoded) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

py::str external_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!decoded) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

void metadata_entry_to_python(py::dict& out, const Metadata& metadata, const std::string& key,
                              ConversionProblems* problems) {
    const std::type_index type = metadata.check_type(key);
    py::object value;
    if (type == typeid(bool)) {
        value = py::bool_(extract_listed<bool>(metadata, key));
    } else if (type == typeid(signed char)) {
        value = python_int(extract_listed<signed char>(metadata, key));
    } else if (type == typeid(unsigned char)) {
        value = python_int(extract_listed<unsigned char>(metadata, key));
    } else if (type == typeid(short)) {
        value = python_int(extract_listed<short>(metadata, key));
    } else if (type == typeid(unsigned short)) {
        value = python_int(extract_listed<unsigned short>(metadata, key));
    } else if (type == typeid(int)) {
        value = python_int(extract_listed<int>(metadata, key));
    } else if (type == typeid(unsigned int)) {
        value = python_int(extract_listed<unsigned int>(metadata, key));
    } else if (type == typeid(long long)) {
        value = python_int(extract_listed<long long>(metadata, key));
    } else if (type == typeid(unsigned long long)) {
        value = python_int(extract_listed<unsigned long long>(metadata, key));
    } else if (type == typeid(float)) {
        value = python_float(static_cast<double>(extract_listed<float>(metadata, key)));
    } else if (type == typeid(double)) {
        value = python_float(extract_listed<double>(metadata, key));
    } else if (type == typeid(std::string)) {
        value = decode_text(extract_listed<std::string>(metadata, key), problems, "metadata", key);
    } else {
        return;
    }
    out[py::str(key)] = std::move(value);
}

namespace {

// The Python value of one stored value, or a null object for a value of none
// of the twelve types (left out, as metadata_entry_to_python does).
py::object metadata_value_to_python(const std::string& key, const std::any& value, ConversionProblems* problems) {
    if (const auto* v = std::any_cast<std::string>(&value)) {
        return decode_text(*v, problems, "metadata", key);
    }
    if (const auto* v = std::any_cast<float>(&value)) {
        return python_float(static_cast<double>(*v));
    }
    if (const auto* v = std::any_cast<unsigned long long>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<int>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<unsigned int>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<double>(&value)) {
        return python_float(*v);
    }
    if (const auto* v = std::any_cast<long long>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<bool>(&value)) {
        return py::bool_(*v);
    }
    if (const auto* v = std::any_cast<signed char>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<unsigned char>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<short>(&value)) {
        return python_int(*v);
    }
    if (const auto* v = std::any_cast<unsigned short>(&value)) {
        return python_int(*v);
    }
    return py::object();
}

}  // namespace

void set_dict_item(py::dict& dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) {
        throw py::error_already_set();
    }
}

py::handle name_str(const char* text) {
    // A few texts, found by their address, which is fixed for a literal.
    // The strs are never freed: a reference dropped at the process's exit
    // could outlive the interpreter.
    static std::vector<std::pair<const char*, PyObject*>> made;
    for (const auto& [made_text, str] : made) {
        if (made_text == text) {
            return str;
        }
    }
    PyObject* str = PyUnicode_InternFromString(text);
    if (str == nullptr) {
        throw py::error_already_set();
    }
    try {
        made.emplace_back(text, str);
    } catch (...) {
        Py_DECREF(str);
        throw;
    }
    return str;
}

namespace {

// The scope whose keys the conversions of this thread use, if any.
thread_local MetadataKeyScope* t_key_scope = nullptr;

}  // namespace

MetadataKeyScope::MetadataKeyScope() : m_outer(t_key_scope) { t_key_scope = this; }

MetadataKeyScope::~MetadataKeyScope() { t_key_scope = m_outer; }

py::str MetadataKeyScope::key(std::size_t position, const std::string& key) {
    if (position < m_keys.size() && m_keys[position].first == key) {
        return m_keys[position].second;
    }
    // Made before anything is kept: a key that is no text keeps nothing.
    py::str made(key);
    if (position < MAX_KEPT) {
        if (position >= m_keys.size()) {
            m_keys.resize(position + 1);
        }
        m_keys[position] = {key, made};
    }
    return made;
}

py::dict metadata_to_dict(const Metadata& metadata, ConversionProblems* problems) {
    // One walk over the entries: no list of the keys, no look-up per key.
    auto result = checked<py::dict>(PyDict_New());
    MetadataKeyScope* const scope = t_key_scope;
    const auto key_of = [scope](std::size_t position, const std::string& key) {
        return scope ? scope->key(position, key) : py::str(key);
    };
    std::size_t position = 0;
    metadata.for_each_entry([&](const std::string& key, const std::any& value) {
        const std::size_t this_position = position++;
        if (!problems) {
            py::object converted = metadata_value_to_python(key, value, nullptr);
            if (converted) {
                set_dict_item(result, key_of(this_position, key), converted);
            }
            return;
        }
        try {
            py::object converted = metadata_value_to_python(key, value, problems);
            if (converted) {
                set_dict_item(result, key_of(this_position, key), converted);
            }
        } catch (const std::exception& e) {
            if (is_memory_error(e)) {
                throw;
            }
            problems->lines.push_back("metadata \"" + key + "\" left out: " + e.what());
        }
    });
    return result;
}

py::dict config_details_to_dict(const Metadata& config) {
    ConversionProblems ignored;
    return metadata_to_dict(config, &ignored);
}

namespace {

// Converts every dataset with a Python name by `convert`, in dataset order.
template <typename Map, typename Convert>
py::dict convert_datasets(Map& datasets, ConversionProblems* problems, Convert convert) {
    auto result = checked<py::dict>(PyDict_New());
    for (auto& [id, data] : datasets) {
        const char* name = dataset_name(id);
        if (!name) {
            continue;
        }
        try {
            if (data.info.type == DataSetType::string) {
                if (!data.str) {
                    throw std::runtime_error("String dataset holds no string.");
                }
                set_dict_item(result, name_str(name), decode_text(*data.str, problems, "dataset", name));
            } else {
                set_dict_item(result, name_str(name), convert(data));
            }
        } catch (const std::exception& e) {
            if (!problems || is_memory_error(e)) {
                throw;
            }
            problems->lines.push_back(std::string("dataset \"") + name + "\" left out: " + e.what());
        }
    }
    return result;
}

// What an array of a dataset looks like, checked before anything is read.
struct ArrayLayout {
    py::dtype dtype;
    std::vector<py::ssize_t> shape;
    std::uint64_t bytes = 0;
    bool convertible = false;  // false: the empty float64 array stands in
};

ArrayLayout array_layout(const DataSetData& data) {
    const auto& info = data.info;
    const auto type_code = static_cast<std::int32_t>(info.type);
    ArrayLayout layout;
    std::uint64_t expected_size = 0;
    if (is_numeric(info.type)) {
        layout.dtype = numeric_dtype(info.type);
        expected_size = kelp::data_wrappers::v2::DATA_SET_TYPE_SIZES[type_code];
    } else if (is_alignment_table(data)) {
        layout.dtype = py::dtype::of<AlignResults>();
        expected_size = sizeof(AlignResults);
    } else {
        return layout;
    }
    layout.convertible = true;
    if (info.element_size != expected_size) {
        throw std::runtime_error("Python data type size (" + std::to_string(expected_size) +
                                 ") for DataType " + std::to_string(type_code) +
                                 " does not match input data size (" +
                                 std::to_string(info.element_size) + ")");
    }
    // The element count and the shape come from the same producer but are
    // stored apart; a dataset where they disagree would make the copy below
    // read past its storage, so it is refused instead.
    const bool matrix = info.rows != 0 && is_numeric(info.type);
    if (matrix) {
        std::uint64_t cells = 0;
        if (__builtin_mul_overflow(info.rows, info.cols, &cells) || cells != info.count) {
            throw std::runtime_error("Dataset of DataType " + std::to_string(type_code) + " holds " +
                                     std::to_string(info.count) + " elements, not the " +
                                     std::to_string(info.rows) + " x " + std::to_string(info.cols) +
                                     " its shape needs");
        }
        layout.shape = {static_cast<py::ssize_t>(info.rows), static_cast<py::ssize_t>(info.cols)};
    } else {
        layout.shape = {static_cast<py::ssize_t>(info.count)};
    }
    if (__builtin_mul_overflow(info.element_size, info.count, &layout.bytes) ||
        layout.bytes > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
        throw std::runtime_error("Dataset of DataType " + std::to_string(type_code) + " claims " +
                                 std::to_string(info.count) + " elements, more than memory holds");
    }
    if (layout.bytes > 0 && data.data == nullptr) {
        throw std::runtime_error("Dataset of DataType " + std::to_string(type_code) + " has " +
                                 std::to_string(info.count) + " elements but no storage");
    }
    return layout;
}

py::array copied_array(const DataSetData& data, const ArrayLayout& layout) {
    if (!layout.convertible) {
        return py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{0});
    }
    py::array result(layout.dtype, layout.shape);
    if (layout.bytes > 0) {
        std::memcpy(result.mutable_data(), data.data, layout.bytes);
    }
    return result;
}

// What an array's base points to until its storage is committed to it: a
// base dropped before then frees nothing.
char g_not_yet_taken;

void delete_owner(void* owner) {
    if (owner != &g_not_yet_taken) {
        delete static_cast<DataSetData::OwnerBase*>(owner);
    }
}

}  // namespace

py::dict datasets_to_dict(const DataSetMap& datasets, ConversionProblems* problems) {
    return convert_datasets(datasets, problems, [](const DataSetData& data) { return dataset_to_array(data); });
}

py::array dataset_to_array(const DataSetData& data) { return copied_array(data, array_layout(data)); }

py::array StorageTakes::array_over(DataSetData& data, const py::dtype& dtype, const std::vector<py::ssize_t>& shape) {
    py::capsule base(&g_not_yet_taken, &delete_owner);
    py::array result(dtype, shape, std::vector<py::ssize_t>{}, data.data, base);
    m_takes.emplace_back(std::move(base), &data);
    return result;
}

void StorageTakes::commit() noexcept {
    for (auto& [base, data] : m_takes) {
        // Cannot fail: the capsule is one, and the pointer is not null.
        static_cast<void>(PyCapsule_SetPointer(base.ptr(), data->owner.get()));
        // The base now frees the storage; the dataset lets go of it.
        static_cast<void>(data->owner.release());
        data->reset();
    }
    m_takes.clear();
}

bool is_memory_error(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        return true;
    }
    const auto* python = dynamic_cast<const py::error_already_set*>(&e);
    return python != nullptr && python->matches(PyExc_MemoryError);
}

py::dict take_datasets_to_dict(DataSetMap& datasets, ConversionProblems* problems, StorageTakes& takes) {
    return convert_datasets(datasets, problems,
                            [&takes](DataSetData& data) { return take_dataset_as_array(data, takes); });
}

py::array take_dataset_as_array(DataSetData& data, StorageTakes& takes) {
    const ArrayLayout layout = array_layout(data);
    // Only numbers in storage of the dataset's own: a table's records and a
    // view of someone else's memory are copied.
    if (!layout.convertible || layout.bytes == 0 || !is_numeric(data.info.type) || !data.owner ||
        data.data == nullptr) {
        return copied_array(data, layout);
    }
    return takes.array_over(data, layout.dtype, layout.shape);
}

}  // namespace apps
