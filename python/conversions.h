#pragma once

// Conversions from the read data model to Python objects: metadata to dicts
// of Python scalars and str, datasets to numpy arrays. Every function needs
// the interpreter lock.

#include <cstddef>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "data_model/data_set.h"
#include "data_model/metadata.h"

namespace apps {

namespace py = pybind11;

using DataSetMap = std::map<dataset, kelp::data_wrappers::v2::DataSetData>;

// Collects what a tolerant conversion could not hand over faithfully. A
// conversion given one never raises for the data it converts: text that is
// not UTF-8 is decoded with replacement characters, and an entry or dataset
// that cannot be converted is left out; each such case adds one line here.
// Conversions given none (nullptr) raise instead.
struct ConversionProblems {
    std::vector<std::string> lines;
};

// Text as str. Strict: raises UnicodeDecodeError for text that is not UTF-8.
// Tolerant: replacement characters, and a line in `problems` naming where
// the text was, as `kind "name"` (made only then: valid text, the usual
// case, costs one decode and nothing else).
py::str decode_text(const std::string& text, ConversionProblems* problems, const char* kind,
                    std::string_view name);

// Text that comes from outside (a server, an error text, the caller's own
// bytes) as str: bytes that are not UTF-8 become replacement characters,
// never an exception.
py::str external_text(const std::string& text);

// Adds metadata[key] to `out` under `key`: bool as bool, integers as int,
// float and double as float, text as str; any other type adds nothing. Throws
// std::out_of_range "Could not find key '<key>' in map." when the key holds
// no value of the type that get_keys() reported for it.
void metadata_entry_to_python(py::dict& out, const kelp::data_wrappers::v2::Metadata& metadata,
                              const std::string& key, ConversionProblems* problems = nullptr);

// While one lives, the metadata conversions of its thread keep the str
// objects of the keys by their place in key order and use them again: the
// reads of one hand-over carry the same few dozen keys, so most keys are
// found where they were in the read before, and a kept str needs no decoding
// and carries its hash. Without one, every key is made anew. Made and
// destroyed with the interpreter lock held, on one thread, innermost first.
class MetadataKeyScope {
public:
    MetadataKeyScope();
    ~MetadataKeyScope();
    MetadataKeyScope(const MetadataKeyScope&) = delete;
    MetadataKeyScope& operator=(const MetadataKeyScope&) = delete;

    // The str for `key`, the entry at `position` of its map.
    py::str key(std::size_t position, const std::string& key);

private:
    // Enough for every key of a called read; the rest of a larger map is
    // converted without being kept.
    static constexpr std::size_t MAX_KEPT = 128;
    MetadataKeyScope* m_outer;
    std::vector<std::pair<std::string, py::str>> m_keys;
};

// Every entry of the metadata, in key order.
py::dict metadata_to_dict(const kelp::data_wrappers::v2::Metadata& metadata,
                          ConversionProblems* problems = nullptr);

// The same conversion, for a basecalling configuration (the server's):
// tolerant, without a report.
py::dict config_details_to_dict(const kelp::data_wrappers::v2::Metadata& config);

// Datasets by Python name ("raw_data", "sequence", "qstring", "movement",
// "base_mod_probs", "align_results"), in dataset order; datasets of other
// identifiers are left out. String datasets become str, the others arrays
// (dataset_to_array).
py::dict datasets_to_dict(const DataSetMap& datasets, ConversionProblems* problems = nullptr);

// A new numpy array holding a copy of a dataset: numbers as a 1-D array, or
// 2-D (rows, cols) for a matrix; an alignment-results table (first column
// "Genome") as AlignResults records; anything else as an empty float64 array
// of shape (0,). Throws std::runtime_error, reading nothing, when the
// dataset's element size is not its type's, when its element count is not
// what its shape needs, or when it has elements but no storage.
py::array dataset_to_array(const kelp::data_wrappers::v2::DataSetData& data);

// Arrays made over the storage of datasets, which the datasets keep until
// commit(): should a conversion fail before, dropping the arrays frees
// nothing, and the reads are whole again, to be converted later.
class StorageTakes {
public:
    StorageTakes() = default;
    StorageTakes(const StorageTakes&) = delete;
    StorageTakes& operator=(const StorageTakes&) = delete;

    // An array over the storage of `data`, which must own it; the take is
    // noted. Throws as making the array does, noting nothing.
    py::array array_over(kelp::data_wrappers::v2::DataSetData& data, const py::dtype& dtype,
                         const std::vector<py::ssize_t>& shape);
    // Every noted array's base takes its storage over (it is freed with the
    // array), and the datasets are left empty. Never fails.
    void commit() noexcept;

private:
    std::vector<std::pair<py::capsule, kelp::data_wrappers::v2::DataSetData*>> m_takes;
};

// The same conversions for datasets that are not needed afterwards: an array
// of numbers whose storage the dataset owns is made over that storage without
// a copy, and takes it over at takes.commit(); any other dataset is converted
// as above.
py::dict take_datasets_to_dict(DataSetMap& datasets, ConversionProblems* problems, StorageTakes& takes);
py::array take_dataset_as_array(kelp::data_wrappers::v2::DataSetData& data, StorageTakes& takes);

// The object a C API call made, or, when it made none (in practice, for
// want of memory), its Python error thrown as py::error_already_set.
// pybind11's own constructors of lists, dicts and numbers fail on an
// assertion there instead, which aborts the process in a build that keeps
// assertions; the conversions make theirs with these.
template <typename T>
T checked(PyObject* made) {
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<T>(made);
}

template <typename T>
py::int_ python_int(T value) {
    if constexpr (std::is_signed_v<T>) {
        return checked<py::int_>(PyLong_FromLongLong(static_cast<long long>(value)));
    } else {
        return checked<py::int_>(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    }
}

inline py::float_ python_float(double value) { return checked<py::float_>(PyFloat_FromDouble(value)); }

// Sets dict[key] = value; throws py::error_already_set when it cannot.
void set_dict_item(py::dict& dict, py::handle key, py::handle value);

// The str of a fixed text (a literal: it is found by its address), made
// once and kept. Throws py::error_already_set when it cannot be made.
py::handle name_str(const char* text);

// Whether `e` is a want of memory (std::bad_alloc, or Python's MemoryError):
// a conversion that runs out of memory fails rather than leaving something
// out, so that nothing is lost to it.
bool is_memory_error(const std::exception& e);

}  // namespace apps
