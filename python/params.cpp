#include "python/params.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <typeindex>

#include "data_model/client_options.h"

namespace apps {

namespace {

// The client's own connection options and their native types (the
// basecalling options come from the data model's registry). Built when the
// module is loaded, only read afterwards.
const std::map<std::string, const std::type_info*> connection_option_types = {
        {"client_name", &typeid(std::string)},
        {"query_timeout", &typeid(unsigned int)},
        {"pass_read_timeout", &typeid(unsigned int)},
        {"server_file_load_timeout", &typeid(unsigned int)},
        {"connection_timeout", &typeid(unsigned int)},
        {"reconnect_timeout", &typeid(unsigned int)},
        {"max_reads_queued", &typeid(unsigned long long)},
        {"max_message_size", &typeid(unsigned long long)},
        {"max_server_read_failures", &typeid(unsigned long long)},
};

// Loaded by pybind11 in converting mode: floats are refused, ints outside
// T's range too, objects offering __index__ or __int__ are taken.
template <typename T>
void insert_cast(kelp::data_wrappers::v2::Metadata& metadata, const std::string& name,
                 py::handle value) {
    metadata.insert<T>(name, py::cast<T>(value));
}

}  // namespace

const std::type_info* connection_option_type(const std::string& name) {
    const auto found = connection_option_types.find(name);
    return found == connection_option_types.end() ? nullptr : found->second;
}

void option_value_to_metadata(kelp::data_wrappers::v2::Metadata& metadata, const std::string& name,
                              py::handle value, const std::type_index& type) {
    const std::type_index& native = type;
    if (native == typeid(std::string)) {
        std::string text;
        if (PyUnicode_Check(value.ptr())) {
            text = py::cast<std::string>(value);
        } else if (PyList_Check(value.ptr())) {
            if (!str_list_to_std_string(py::reinterpret_borrow<py::list>(value), text)) {
                throw std::runtime_error("Could not convert python list to string.");
            }
        }
        metadata.insert(name, text);
    } else if (native == typeid(bool)) {
        insert_cast<bool>(metadata, name, value);
    } else if (native == typeid(int)) {
        insert_cast<int>(metadata, name, value);
    } else if (native == typeid(unsigned int)) {
        insert_cast<unsigned int>(metadata, name, value);
    } else if (native == typeid(long long)) {
        insert_cast<long long>(metadata, name, value);
    } else if (native == typeid(unsigned long long)) {
        insert_cast<unsigned long long>(metadata, name, value);
    } else if (native == typeid(float)) {
        insert_cast<float>(metadata, name, value);
    } else if (native == typeid(double)) {
        insert_cast<double>(metadata, name, value);
    }
}

bool str_list_to_std_string(const py::list& items, std::string& text) {
    for (const py::handle item : items) {
        if (!PyUnicode_Check(item.ptr())) {
            return false;
        }
        if (!text.empty()) {
            text += ' ';
        }
        text += py::cast<std::string>(item);
    }
    return true;
}

bool params_to_metadata(const py::dict& params, kelp::data_wrappers::v2::Metadata& metadata,
                        std::optional<Read::Priority>& priority) {
    try {
        const client_options::RegisteredClientOptions registered;
        for (const auto item : params) {
            const auto name = py::cast<std::string>(item.first);
            const auto option = registered.m_option_types.find(name);
            if (option != registered.m_option_types.end()) {
                option_value_to_metadata(metadata, name, item.second, option->second);
            } else if (const std::type_info* type = connection_option_type(name)) {
                option_value_to_metadata(metadata, name, item.second, std::type_index(*type));
            } else if (name == "priority") {
                // Only a member of the enumeration: an int or a text would
                // be too easily a different priority than meant.
                if (!py::isinstance<Read::Priority>(item.second)) {
                    return false;
                }
                priority = py::cast<Read::Priority>(item.second);
            } else {
                return false;
            }
        }
    } catch (const std::exception&) {
        // Conversion failures (pybind11::cast_error, the list text) are
        // reported as the call's result, not raised.
        return false;
    }
    return true;
}

}  // namespace apps
