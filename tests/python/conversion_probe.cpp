// Test-only module: runs the module's conversions on data-model objects built
// from Python arguments, so that tests reach the branches that no server
// produces (foreign text, inconsistent datasets, tables, every native type).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "data_model/data_set.h"
#include "data_model/data_table.h"
#include "python/align_results.h"
#include "python/conversions.h"
#include "python/params.h"
#include "python/read_conversion.h"
#include "apps/strandlink.h"
#include <chrono>
#include <thread>

namespace py = pybind11;
using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Metadata;

namespace {

const std::map<std::string, const std::type_info*> native_types = {
        {"bool", &typeid(bool)},
        {"int8", &typeid(signed char)},
        {"uint8", &typeid(unsigned char)},
        {"int16", &typeid(short)},
        {"uint16", &typeid(unsigned short)},
        {"int32", &typeid(int)},
        {"uint32", &typeid(unsigned int)},
        {"int64", &typeid(long long)},
        {"uint64", &typeid(unsigned long long)},
        {"float", &typeid(float)},
        {"double", &typeid(double)},
        {"string", &typeid(std::string)},
};

std::string native_type_name(const std::type_index& type) {
    for (const auto& [name, info] : native_types) {
        if (type == *info) {
            return name;
        }
    }
    return "other";
}

// Stores value under key with the named native type, straight through the
// data model (no Python-side checks).
void store(Metadata& metadata, const std::string& key, const std::string& type, py::handle value) {
    if (type == "bool") metadata.insert<bool>(key, value.cast<bool>());
    else if (type == "int8") metadata.insert<signed char>(key, static_cast<signed char>(value.cast<int>()));
    else if (type == "uint8") metadata.insert<unsigned char>(key, static_cast<unsigned char>(value.cast<int>()));
    else if (type == "int16") metadata.insert<short>(key, static_cast<short>(value.cast<int>()));
    else if (type == "uint16") metadata.insert<unsigned short>(key, static_cast<unsigned short>(value.cast<int>()));
    else if (type == "int32") metadata.insert<int>(key, value.cast<int>());
    else if (type == "uint32") metadata.insert<unsigned int>(key, value.cast<unsigned int>());
    else if (type == "int64") metadata.insert<long long>(key, value.cast<long long>());
    else if (type == "uint64") metadata.insert<unsigned long long>(key, value.cast<unsigned long long>());
    else if (type == "float") metadata.insert<float>(key, value.cast<float>());
    else if (type == "double") metadata.insert<double>(key, value.cast<double>());
    else if (type == "string") metadata.insert(key, value.cast<std::string>());  // bytes: raw
    else throw std::invalid_argument("unknown native type " + type);
}

Metadata make_metadata(const std::vector<std::tuple<std::string, std::string, py::object>>& entries) {
    Metadata metadata;
    for (const auto& [key, type, value] : entries) {
        store(metadata, key, type, value);
    }
    return metadata;
}

// A dataset owning a copy of payload, described by the given numbers exactly
// as passed (they need not agree with each other or with the payload).
DataSetData make_dataset(int type, std::uint64_t element_size, std::uint64_t count,
                         std::uint64_t rows, std::uint64_t cols, const std::string& payload) {
    DataSetData data;
    if (static_cast<DataSetType>(type) == DataSetType::string) {
        data.own(std::string(payload));
    } else {
        data.own(std::vector<std::uint8_t>(payload.begin(), payload.end()));
        if (payload.empty()) {
            data.data = nullptr;
        }
    }
    data.info.type = static_cast<DataSetType>(type);
    data.info.element_size = element_size;
    data.info.count = count;
    data.info.rows = rows;
    data.info.cols = cols;
    return data;
}

using DatasetSpec = std::tuple<int, int, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, py::bytes>;
using MetadataSpec = std::vector<std::tuple<std::string, std::string, py::object>>;
using TableSpec = std::tuple<int, std::vector<std::tuple<std::string, int, std::size_t>>, std::size_t, py::bytes>;

DataSetData make_table(const std::vector<std::tuple<std::string, int, std::size_t>>& fields, std::size_t rows,
                       const std::string& payload) {
    DataTable table;
    for (const auto& [name, type, size] : fields) {
        table.add_field(name, static_cast<DataSetType>(type), size);
    }
    table.allocate(rows);
    std::memcpy(table.data.data(), payload.data(), std::min(payload.size(), table.data.size()));
    DataSetData data;
    data.own(std::move(table));
    return data;
}

// Groups of reads, each (read tag, metadata entries, dataset specs, table
// specs (id, columns, rows, payload)).
using GroupSpecs =
        std::vector<std::vector<std::tuple<std::uint64_t, MetadataSpec, std::vector<DatasetSpec>, std::vector<TableSpec>>>>;

std::vector<std::vector<apps::Read>> make_groups(const GroupSpecs& groups) {
    std::vector<std::vector<apps::Read>> reads;
    for (const auto& group : groups) {
        auto& out = reads.emplace_back();
        for (const auto& [tag, metadata, datasets, tables] : group) {
            apps::Read& read = out.emplace_back();
            read.set_read_tag(tag);
            read.get_metadata() = make_metadata(metadata);
            for (const auto& [id, type, element_size, count, rows, cols, payload] : datasets) {
                read.get_datasets().emplace(static_cast<dataset>(id),
                                            make_dataset(type, element_size, count, rows, cols, payload));
            }
            for (const auto& [id, fields, rows, payload] : tables) {
                read.get_datasets().emplace(static_cast<dataset>(id), make_table(fields, rows, payload));
            }
        }
    }
    return reads;
}

// Frees converted reads as the module does: without the lock, a few at a time.
void free_without_lock(std::vector<apps::Read>& converted) {
    py::gil_scoped_release release;
    converted.clear();
}

py::object with_problems(py::object result, const apps::ConversionProblems* problems) {
    if (!problems) {
        return result;
    }
    return py::make_tuple(result, problems->lines);
}

}  // namespace

PYBIND11_MODULE(strandpy_probe, m) {
    // strandpy registers the record type and the enumerations the
    // conversions hand out; they are registered once per process.
    py::module_::import("strandpy");

    m.def("dataset_to_array",
          [](int type, std::uint64_t element_size, std::uint64_t count, std::uint64_t rows,
             std::uint64_t cols, py::bytes payload) {
              const DataSetData data = make_dataset(type, element_size, count, rows, cols, payload);
              return apps::dataset_to_array(data);
          },
          "dataset_to_array of a dataset owning the payload and described by the numbers given.");

    m.def("table_to_array",
          [](const std::vector<std::tuple<std::string, int, std::size_t>>& fields, std::size_t rows,
             py::bytes payload) {
              const DataSetData data = make_table(fields, rows, payload);
              return py::make_tuple(apps::dataset_to_array(data), data.info.element_size);
          },
          "dataset_to_array of a table with the columns given, its rows filled from the payload; "
          "also the table's row size.");

    m.def("metadata_to_dict",
          [](const std::vector<std::tuple<std::string, std::string, py::object>>& entries, bool tolerant) {
              const Metadata metadata = make_metadata(entries);
              apps::ConversionProblems problems;
              return with_problems(apps::metadata_to_dict(metadata, tolerant ? &problems : nullptr),
                                   tolerant ? &problems : nullptr);
          },
          py::arg("entries"), py::arg("tolerant") = false,
          "metadata_to_dict of (key, native type name, value) entries; tolerant: (dict, problems).");

    m.def("metadata_to_dicts",
          [](const std::vector<std::vector<std::tuple<std::string, std::string, py::object>>>& steps,
             bool tolerant) {
              // One key scope over every step, as over the reads of one
              // hand-over; a step that raises gives its exception's type.
              const apps::MetadataKeyScope keys;
              py::list results;
              for (const auto& entries : steps) {
                  const Metadata metadata = make_metadata(entries);
                  apps::ConversionProblems problems;
                  try {
                      results.append(with_problems(apps::metadata_to_dict(metadata, tolerant ? &problems : nullptr),
                                                   tolerant ? &problems : nullptr));
                  } catch (py::error_already_set& e) {
                      results.append(e.type());
                  } catch (const std::exception&) {
                      results.append(py::handle(PyExc_RuntimeError));
                  }
              }
              return results;
          },
          py::arg("steps"), py::arg("tolerant") = false,
          "metadata_to_dict of each list of entries in turn, under one key scope; a step that raises "
          "gives the type of its exception.");

    m.def("datasets_to_dict",
          [](const std::vector<DatasetSpec>& specs, bool tolerant) {
              apps::DataSetMap datasets;
              for (const auto& [id, type, element_size, count, rows, cols, payload] : specs) {
                  datasets.emplace(static_cast<dataset>(id),
                                   make_dataset(type, element_size, count, rows, cols, payload));
              }
              apps::ConversionProblems problems;
              return with_problems(apps::datasets_to_dict(datasets, tolerant ? &problems : nullptr),
                                   tolerant ? &problems : nullptr);
          },
          py::arg("datasets"), py::arg("tolerant") = false,
          "datasets_to_dict of (id, type, element size, count, rows, cols, payload) datasets; "
          "tolerant: (dict, problems).");

    m.def("option_value_to_metadata",
          [](const std::string& name, py::object value, const std::string& type) {
              Metadata metadata;
              apps::option_value_to_metadata(metadata, name, value, std::type_index(*native_types.at(type)));
              if (!metadata.exists(name)) {
                  return py::make_tuple(py::none(), py::none());
              }
              py::dict entry = apps::metadata_to_dict(metadata);
              return py::make_tuple(native_type_name(metadata.check_type(name)), entry[py::str(name)]);
          },
          "option_value_to_metadata into an empty Metadata: (stored native type name, value), "
          "or (None, None) when nothing was stored.");

    m.def("connection_option_type",
          [](const std::string& name) -> py::object {
              const std::type_info* type = apps::connection_option_type(name);
              return type ? py::object(py::str(native_type_name(*type))) : py::object(py::none());
          },
          "Native type name of a connection option, or None.");

    m.def("dict_to_read",
          [](const py::dict& dict) {
              apps::Read read;
              const bool filled = apps::dict_to_read(dict, read);
              return py::make_tuple(filled, apps::read_to_dict(read));
          },
          "dict_to_read into a new read: (result, read_to_dict of the read as filled).");

    m.def("completed_reads_to_list",
          [](const GroupSpecs& groups, bool free_as_converted) {
              std::vector<std::vector<apps::Read>> reads = make_groups(groups);
              if (!free_as_converted) {
                  return apps::completed_reads_to_list(reads);
              }
              return apps::completed_reads_to_list(reads, free_without_lock);
          },
          py::arg("groups"), py::arg("free_as_converted") = false,
          "completed_reads_to_list of groups of reads, each (read tag, metadata entries, dataset specs, "
          "table specs (id, columns, rows, payload)); free_as_converted: the reads are freed as they are "
          "converted.");

    m.def("completed_reads_to_list_between",
          [](const GroupSpecs& groups, const py::function& before, const py::function& after) {
              std::vector<std::vector<apps::Read>> reads = make_groups(groups);
              py::list converted;
              py::object error = py::none();
              before();
              try {
                  converted = apps::completed_reads_to_list(reads, free_without_lock);
              } catch (py::error_already_set& e) {
                  after();
                  error = py::str(e.type().attr("__name__"));
              } catch (const std::exception& e) {
                  after();
                  error = py::str(e.what());
              }
              after();
              // What is left, as it is now, by copy.
              py::list left;
              for (const auto& group : reads) {
                  py::list out;
                  for (const auto& read : group) {
                      out.append(apps::read_to_dict(read));
                  }
                  left.append(std::move(out));
              }
              return py::make_tuple(std::move(converted), std::move(left), std::move(error));
          },
          py::arg("groups"), py::arg("before"), py::arg("after"),
          "completed_reads_to_list (freeing as it converts) of groups of reads as above, run between the "
          "calls before() and after(): (the groups converted, read_to_dict of every read left in the groups, "
          "the name of the exception that came out or None).");

    m.def("cpp_stream_reads",
          [](const std::string& address, const std::string& config, const std::vector<std::vector<std::int16_t>>& signals,
             std::size_t batch, int rounds) {
              // The benchmark's loop of strandpy written against the library
              // directly: the same reads, batches, waits and polls.
              py::gil_scoped_release release;
              apps::Strandlink client(address, config, "", true);
              if (client.connect() != apps::Result::success) {
                  throw std::runtime_error("cpp_stream_reads: cannot connect: " + client.get_error_message());
              }
              std::vector<double> seconds;
              for (int round = 0; round < rounds; ++round) {
                  const auto start = std::chrono::steady_clock::now();
                  std::size_t sent = 0;
                  std::size_t got = 0;
                  while (got < signals.size()) {
                      if (sent < signals.size()) {
                          std::vector<apps::Read> reads;
                          const std::size_t end = std::min(signals.size(), sent + batch);
                          for (std::size_t i = sent; i < end; ++i) {
                              apps::Read& read = reads.emplace_back();
                              read.set_read_tag(i + 1);
                              auto& metadata = read.get_metadata();
                              metadata.insert("read_id", "bench_read_" + std::to_string(i + 1));
                              metadata.insert<float>("daq_offset", 4.0f);
                              metadata.insert<float>("daq_scaling", 0.5f);
                              metadata.insert<float>("sampling_rate", 4000.0f);
                              metadata.insert<unsigned long long>("start_time", i + 1);
                              DataSetData raw;
                              raw.own(std::vector<std::int16_t>(signals[i]));
                              read.get_datasets().emplace(dataset::raw_data, std::move(raw));
                          }
                          if (client.pass_reads(reads, 10) == apps::PassReadResult::success) {
                              sent = end;
                          }
                      }
                      std::vector<std::vector<apps::Read>> completed;
                      client.get_completed_reads(completed);
                      for (const auto& group : completed) {
                          got += group.size();
                      }
                  }
                  seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
              }
              client.disconnect();
              return seconds;
          },
          "Streams the signals through one library client in C++, as the benchmark does from Python: "
          "seconds per round.");
}
