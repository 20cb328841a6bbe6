#include "python/read_conversion.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/numpy.h>

#include "python/enum_objects.h"

namespace apps {

namespace {

using kelp::data_wrappers::v2::DataSetData;

// The seven keys a read dict must hold, as bits of a mask: a key seen twice
// (as str and as bytes) sets its bit twice, so it counts once.
enum RequiredKey : unsigned {
    key_read_tag = 1u << 0,
    key_raw_data = 1u << 1,
    key_read_id = 1u << 2,
    key_daq_offset = 1u << 3,
    key_daq_scaling = 1u << 4,
    key_sampling_rate = 1u << 5,
    key_start_time = 1u << 6,
};
constexpr unsigned ALL_REQUIRED_KEYS = (1u << 7) - 1;

constexpr std::int64_t READ_TAG_LIMIT = std::int64_t{1} << 32;

bool is_int(py::handle value) {
    return PyLong_Check(value.ptr());
}

bool is_float(py::handle value) {
    return PyFloat_Check(value.ptr());
}

bool is_str(py::handle value) {
    return PyUnicode_Check(value.ptr());
}

// The samples of a 1-D native-order int16 array, in logical order whatever
// its strides; false for anything else.
bool copy_raw_data(py::handle value, std::vector<std::int16_t>& samples) {
    if (!py::isinstance<py::array_t<std::int16_t>>(value)) {
        return false;
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 1) {
        return false;
    }
    const auto count = static_cast<std::size_t>(array.shape(0));
    const py::ssize_t stride = array.strides(0);
    const auto* first = static_cast<const char*>(array.data());
    const bool contiguous = stride == static_cast<py::ssize_t>(sizeof(std::int16_t));
    if (contiguous && reinterpret_cast<std::uintptr_t>(first) % alignof(std::int16_t) == 0) {
        // One pass over the samples: resizing first would fill the vector
        // with zeros only to overwrite them.
        const auto* begin = reinterpret_cast<const std::int16_t*>(first);
        samples.assign(begin, begin + count);
    } else if (contiguous) {
        samples.resize(count);
        if (count > 0) {
            std::memcpy(samples.data(), first, count * sizeof(std::int16_t));
        }
    } else {
        samples.resize(count);
        // Element by element through bytes: a view may be unaligned, or walk
        // backwards.
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(&samples[i], first + static_cast<py::ssize_t>(i) * stride, sizeof(std::int16_t));
        }
    }
    return true;
}

void add_alignment_sam_record(py::dict& dict, const Read& read, ConversionProblems& problems) {
    const auto& datasets = read.get_datasets();
    if (!read.has_alignment_data() && datasets.find(dataset::base_mod_probs) == datasets.end()) {
        return;
    }
    std::string text;
    try {
        const auto lines = read.extract_sam_and_bed_lines(5.0f);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i > 0) {
                text += '\n';
            }
            text += lines[i].sam_line;
        }
    } catch (const std::exception& e) {
        if (is_memory_error(e)) {
            throw;
        }
        problems.lines.push_back(std::string("metadata \"alignment_sam_record\" left out: ") + e.what());
        return;
    }
    py::dict metadata = dict[name_str("metadata")];
    set_dict_item(metadata, name_str("alignment_sam_record"),
                  decode_text(text, &problems, "metadata", "alignment_sam_record"));
}

void warn(const std::string& text) {
    // A problem line may quote bytes that are not UTF-8 (a key, a value):
    // they read as replacement characters rather than losing the warning.
    PyObject* message =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    const int warned = PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%U", message);
    Py_DECREF(message);
    if (warned != 0) {
        // Warnings turned into errors: raising now would drop every read of
        // this call, which the library no longer holds. Report and go on.
        PyErr_WriteUnraisable(nullptr);
    }
}

// The keys of a read dict that go into the metadata, as it stores them.
const std::string KEY_READ_ID = "read_id";
const std::string KEY_DAQ_OFFSET = "daq_offset";
const std::string KEY_DAQ_SCALING = "daq_scaling";
const std::string KEY_SAMPLING_RATE = "sampling_rate";
const std::string KEY_START_TIME = "start_time";
const std::string KEY_DURATION = "duration";
const std::string KEY_CHANNEL = "channel";
const std::string KEY_MUX = "mux";
const std::string KEY_RUN_ID = "run_id";

// The number keys of a read dict: each a float or an int in the dict, stored
// as float or as unsigned 64-bit, and the bit it sets when it is required.
struct NumberKey {
    const std::string& key;
    bool is_float;
    unsigned required;
};
const NumberKey NUMBER_KEYS[] = {
        {KEY_DAQ_OFFSET, true, key_daq_offset},   {KEY_DAQ_SCALING, true, key_daq_scaling},
        {KEY_SAMPLING_RATE, true, key_sampling_rate}, {KEY_START_TIME, false, key_start_time},
        {KEY_DURATION, false, 0},
};

const NumberKey* number_key(std::string_view key) {
    for (const NumberKey& number : NUMBER_KEYS) {
        if (key == number.key) {
            return &number;
        }
    }
    return nullptr;
}

// The text of a dict key without a copy: a str's UTF-8 form (which CPython
// keeps within an ASCII str) or a bytes object's contents. Any other key,
// and a str without a UTF-8 form, goes through pybind11's cast into `cast`,
// which raises for a key that is no text.
std::string_view key_text(py::handle key, std::string& cast) {
    if (PyUnicode_Check(key.ptr())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size)) {
            return {text, static_cast<std::size_t>(size)};
        }
        PyErr_Clear();
    } else if (PyBytes_Check(key.ptr())) {
        return {PyBytes_AS_STRING(key.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(key.ptr()))};
    }
    cast = py::cast<std::string>(key);
    return cast;
}

}  // namespace

bool dict_to_read(const py::dict& dict, Read& read) {
    unsigned seen = 0;
    auto& metadata = read.get_metadata();
    std::string cast;
    for (const auto item : dict) {
        const std::string_view key = key_text(item.first, cast);
        const py::handle value = item.second;
        if (const NumberKey* number = number_key(key)) {
            if (number->is_float ? !is_float(value) : !is_int(value)) {
                return false;
            }
            if (number->is_float) {
                metadata.insert<float>(number->key, static_cast<float>(PyFloat_AsDouble(value.ptr())));
            } else {
                metadata.insert<unsigned long long>(number->key, py::cast<unsigned long long>(value));
            }
            seen |= number->required;
        } else if (key == "read_tag") {
            if (!is_int(value)) {
                return false;
            }
            const auto tag = py::cast<std::int64_t>(value);
            if (tag < 0 || tag >= READ_TAG_LIMIT) {
                return false;
            }
            read.set_read_tag(static_cast<std::uint64_t>(tag));
            seen |= key_read_tag;
        } else if (key == "raw_data") {
            std::vector<std::int16_t> samples;
            if (!copy_raw_data(value, samples)) {
                return false;
            }
            DataSetData data;
            data.own(std::move(samples));
            read.get_datasets().emplace(dataset::raw_data, std::move(data));
            seen |= key_raw_data;
        } else if (key == KEY_READ_ID) {
            if (!is_str(value)) {
                return false;
            }
            auto text = py::cast<std::string>(value);
            if (text.empty()) {
                return false;
            }
            metadata.emplace(KEY_READ_ID, std::move(text));
            seen |= key_read_id;
        } else if (key == KEY_CHANNEL || key == KEY_MUX) {
            if (!is_int(value)) {
                return false;
            }
            const int number = py::cast<int>(value);
            if (key == KEY_CHANNEL) {
                metadata.insert<int>(KEY_CHANNEL, number);
            } else {
                metadata.insert<unsigned int>(KEY_MUX, static_cast<unsigned int>(number));
            }
        } else if (key == KEY_RUN_ID) {
            if (!is_str(value)) {
                return false;
            }
            metadata.insert(KEY_RUN_ID, py::cast<std::string>(value));
        }
    }
    return seen == ALL_REQUIRED_KEYS;
}

namespace {

// A read dict without its datasets yet ("datasets" holds None, so that the
// keys keep their order when they come).
py::dict read_fields_to_dict(const Read& read, ConversionProblems* problems) {
    auto result = checked<py::dict>(PyDict_New());
    set_dict_item(result, name_str("read_tag"), python_int(read.get_read_tag()));
    set_dict_item(result, name_str("sub_tag"), python_int(read.get_sub_tag()));
    set_dict_item(result, name_str("priority"), enum_object(read.get_priority()));
    set_dict_item(result, name_str("metadata"), metadata_to_dict(read.get_metadata(), problems));
    set_dict_item(result, name_str("datasets"), py::none());
    return result;
}

}  // namespace

py::dict read_to_dict(const Read& read, ConversionProblems* problems) {
    py::dict result = read_fields_to_dict(read, problems);
    set_dict_item(result, name_str("datasets"), datasets_to_dict(read.get_datasets(), problems));
    return result;
}

py::list completed_reads_to_list(std::vector<std::vector<Read>>& groups, const FreeConverted& free_converted) {
    // Few enough that what the reads were made of stays in the caches until
    // they are freed; enough that the lock is not given up and taken back
    // for every read.
    constexpr std::size_t FREE_EVERY = 16;
    const MetadataKeyScope keys;
    auto result = checked<py::list>(PyList_New(0));
    std::vector<std::string> warnings;
    std::vector<Read> converted;
    std::size_t done = 0;
    try {
        if (free_converted) {
            converted.reserve(FREE_EVERY);
        }
        while (done < groups.size()) {
            auto& group = groups[done];
            StorageTakes takes;
            std::vector<std::string> group_warnings;
            auto reads = checked<py::list>(PyList_New(0));
            for (auto& read : group) {
                ConversionProblems problems;
                py::dict dict = read_fields_to_dict(read, &problems);
                // The SAM record is made from the datasets, before the arrays
                // take their storage over.
                add_alignment_sam_record(dict, read, problems);
                set_dict_item(dict, name_str("datasets"),
                              take_datasets_to_dict(read.get_datasets(), &problems, takes));
                reads.append(std::move(dict));
                if (!problems.lines.empty()) {
                    std::string text = "read_tag " + std::to_string(read.get_read_tag()) + " sub_tag " +
                                       std::to_string(read.get_sub_tag()) + ":";
                    for (const auto& line : problems.lines) {
                        text += " " + line + ";";
                    }
                    text.pop_back();
                    group_warnings.push_back(std::move(text));
                }
            }
            result.append(std::move(reads));
            warnings.reserve(warnings.size() + group_warnings.size());
            // Nothing from here on fails: the group is converted, and its
            // reads give their storage to the arrays.
            takes.commit();
            ++done;
            std::move(group_warnings.begin(), group_warnings.end(), std::back_inserter(warnings));
            if (free_converted) {
                for (auto& read : group) {
                    converted.push_back(std::move(read));
                    if (converted.size() == FREE_EVERY) {
                        free_converted(converted);
                        converted.clear();
                    }
                }
            }
        }
    } catch (...) {
        if (done == 0) {
            // Nothing converted: every read is as it was.
            throw;
        }
        // The groups converted so far go to the caller; the rest are whole,
        // for a later call, which meets the failure again if it persists. A
        // failure of pybind11's may leave Python's error set: it goes too.
        PyErr_Clear();
    }
    if (!converted.empty()) {
        free_converted(converted);
        converted.clear();
    }
    groups.erase(groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(done));
    for (const auto& text : warnings) {
        warn(text);
    }
    return result;
}

}  // namespace apps
