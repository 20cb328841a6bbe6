// The Python module strandpy: declarations only. What each method does is in
// strandlink_py, server_queries, sample_data and the conversions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "apps/read.h"
#include "apps/result.h"
#include "python/align_results.h"
#include "python/docstrings.h"
#include "python/enum_objects.h"
#include "python/gil.h"
#include "python/sample_data.h"
#include "python/server_queries.h"
#include "python/strandlink_py.h"

namespace py = pybind11;

PYBIND11_MODULE(strandpy, m) {
    using apps::StrandlinkPy;
    namespace doc = apps::docstrings;

    // Registering the record type loads numpy's array interface; without
    // numpy the import fails here, with ImportError.
    apps::register_align_results_dtype();
    apps::install_exit_gate();

    py::class_<StrandlinkPy> cls(m, "Strandlink");
    cls.def(py::init<const std::string&, const std::string&, int>(), py::arg("address"), py::arg("config"),
            py::arg("num_threads") = 1, doc::init)
            .def("set_params", [](StrandlinkPy& self, const py::dict& params) {
                    return apps::enum_object(self.set_params(params)); },
                 py::arg("params"), doc::set_params)
            .def("get_status", [](const StrandlinkPy& self) { return apps::enum_object(self.get_status()); },
                 doc::get_status)
            .def("get_error_message", &StrandlinkPy::get_error_message, doc::get_error_message)
            .def("get_internal_state", &StrandlinkPy::get_internal_state, doc::get_internal_state)
            .def("connect", [](StrandlinkPy& self) { return apps::enum_object(self.connect()); }, doc::connect)
            .def("pass_read", [](StrandlinkPy& self, const py::dict& read, int wait_duration_ms) {
                    return apps::enum_object(self.pass_read(read, wait_duration_ms)); },
                 py::arg("read"), py::arg("wait_duration_ms") = 0, doc::pass_read)
            .def("pass_reads", [](StrandlinkPy& self, const py::list& reads, int wait_duration_ms) {
                    return apps::enum_object(self.pass_reads(reads, wait_duration_ms)); },
                 py::arg("reads"), py::arg("wait_duration_ms") = 0, doc::pass_reads)
            .def("get_completed_reads", &StrandlinkPy::get_completed_reads, doc::get_completed_reads)
            .def("finish", [](StrandlinkPy& self, int timeout) { return apps::enum_object(self.finish(timeout)); },
                 py::arg("timeout") = 0, doc::finish)
            .def("disconnect", [](StrandlinkPy& self) { return apps::enum_object(self.disconnect()); },
                 doc::disconnect)
            .def("get_basecalling_config", &StrandlinkPy::get_basecalling_config, doc::get_basecalling_config)
            .def("get_alignment_sam_header", &StrandlinkPy::get_alignment_sam_header,
                 doc::get_alignment_sam_header)
            .def("__repr__", &StrandlinkPy::repr);

    // Positional only: the arguments carry no names.
    cls.def_static("get_barcode_kits", &apps::get_barcode_kits, doc::get_barcode_kits)
            .def_static("get_server_stats", &apps::get_server_stats, doc::get_server_stats)
            .def_static("get_server_information", &apps::get_server_information, doc::get_server_information)
            .def_static("get_server_internal_state", &apps::get_server_internal_state,
                        doc::get_server_internal_state)
            .def_static("get_software_version", &apps::get_software_version, doc::get_software_version)
            .def_static("get_protocol_version", &apps::get_protocol_version, doc::get_protocol_version);

    py::enum_<apps::ConnectionStatus>(cls, "status")
            .value("disconnected", apps::ConnectionStatus::disconnected)
            .value("preparing_connection", apps::ConnectionStatus::preparing_connection)
            .value("loading_config", apps::ConnectionStatus::loading_config)
            .value("loading_alignment_index", apps::ConnectionStatus::loading_alignment_index)
            .value("loading_bed_file", apps::ConnectionStatus::loading_bed_file)
            .value("connecting", apps::ConnectionStatus::connecting)
            .value("connected", apps::ConnectionStatus::connected)
            .value("error_state", apps::ConnectionStatus::error)
            .export_values();

    py::enum_<apps::Result>(cls, "result")
            .value("success", apps::Result::success)
            .value("no_connection", apps::Result::no_connection)
            .value("already_connected", apps::Result::already_connected)
            .value("not_ready", apps::Result::not_ready)
            .value("timed_out", apps::Result::timed_out)
            .value("invalid_response", apps::Result::invalid_response)
            .value("basecall_config_unavailable", apps::Result::basecall_config_unavailable)
            .value("barcode_kit_unavailable", apps::Result::barcode_kit_unavailable)
            .value("align_index_unavailable", apps::Result::align_index_unavailable)
            .value("bed_file_unavailable", apps::Result::bed_file_unavailable)
            .value("file_load_timeout", apps::Result::file_load_timeout)
            .value("failed", apps::Result::failed)
            .value("bad_request", apps::Result::bad_request)
            .value("bad_reply", apps::Result::bad_reply)
            .value("invalid_aligner_options", apps::Result::invalid_aligner_options)
            .export_values();

    py::enum_<apps::PassReadResult>(cls, "pass_read_result")
            .value("read_accepted", apps::PassReadResult::success)
            .value("not_accepting_reads", apps::PassReadResult::not_accepting_reads)
            .value("queue_full", apps::PassReadResult::queue_full)
            .value("bad_read", apps::PassReadResult::bad_read)
            .export_values();

    py::enum_<apps::Read::Priority>(cls, "read_priority")
            .value("high_priority", apps::Read::Priority::HIGH_PRIORITY)
            .value("medium_priority", apps::Read::Priority::MEDIUM_PRIORITY)
            .value("low_priority", apps::Read::Priority::LOW_PRIORITY)
            .export_values();

    // Found now, while memory is there: the methods above return these
    // objects rather than casting (see enum_objects.h).
    apps::keep_enum_objects<apps::ConnectionStatus>();
    apps::keep_enum_objects<apps::Result>();
    apps::keep_enum_objects<apps::PassReadResult>();
    apps::keep_enum_objects<apps::Read::Priority>();

    m.def("test_metadata_to_dict", &apps::test_metadata_to_dict, doc::test_metadata_to_dict);
    m.def("test_datasets_to_dict", &apps::test_datasets_to_dict, doc::test_datasets_to_dict);
    m.def("test_dict_to_readholder", &apps::test_dict_to_readholder, doc::test_dict_to_readholder);
    m.def("test_readholder_to_dict", &apps::test_readholder_to_dict, doc::test_readholder_to_dict);
    m.def("test_str_list_concat", &apps::test_str_list_concat, doc::test_str_list_concat);
    m.def("test_config_details_to_dict", &apps::test_config_details_to_dict, doc::test_config_details_to_dict);
}
