#include "python/strandlink_py.h"

#include <iterator>
#include <list>
#include <optional>
#include <stdexcept>
#include <utility>

#include "python/conversions.h"
#include "python/enum_objects.h"
#include "python/gil.h"
#include "python/params.h"
#include "python/read_conversion.h"

namespace apps {

namespace {

constexpr unsigned MAX_CLIENTS = 100;

// Combines the results of asking every client: the first client's result,
// replaced by each later one that is not success.
Result combine(Result so_far, Result next, bool first) {
    return first || next != Result::success ? next : so_far;
}

void check_wait(int wait_duration_ms) {
    if (wait_duration_ms < 0) {
        throw std::invalid_argument("wait_duration_ms. Must be greater than or equal to zero.");
    }
}

}  // namespace

StrandlinkPy::StrandlinkPy(const std::string& address, const std::string& config, int num_threads) {
    if (static_cast<unsigned>(num_threads) - 1u >= MAX_CLIENTS) {
        throw std::runtime_error("Invalid number of worker threads specified.");
    }
    clients.resize(static_cast<std::size_t>(num_threads));
    for (auto& client : clients) {
        client = std::make_unique<Strandlink>(address, config, "", true);
    }
}

StrandlinkPy::~StrandlinkPy() {
    const auto stop_clients = [this] {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        while (!clients.empty()) {
            clients.pop_back();
        }
    };
    if (PyGILState_Check()) {
        // A client's destructor joins its worker, which may wait on a
        // server; other Python threads go on meanwhile.
        PyThreadState* state = PyEval_SaveThread();
        stop_clients();
        reacquire_gil(state);
    } else {
        stop_clients();
    }
}

Strandlink& StrandlinkPy::take_turn() {
    const std::uint64_t turn = next_client;
    next_client = (turn + 1) % clients.size();
    return *clients[turn];
}

bool StrandlinkPy::all_disconnected() const {
    // Every client is looked at, not only the first: parameters that reach
    // some clients and not others would leave them configured apart.
    for (const auto& client : clients) {
        if (client->get_status() != ConnectionStatus::disconnected) {
            return false;
        }
    }
    return true;
}

Result StrandlinkPy::set_params(const py::dict& params) {
    if (!all_disconnected()) {
        return Result::already_connected;
    }
    kelp::data_wrappers::v2::Metadata metadata;
    std::optional<Read::Priority> priority;
    if (!params_to_metadata(params, metadata, priority)) {
        return Result::failed;
    }
    return without_gil([&] {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        // Another thread may have connected since the first look.
        if (!all_disconnected()) {
            return Result::already_connected;
        }
        Result result = Result::success;
        bool first = true;
        for (auto& client : clients) {
            Result client_result = Result::success;
            if (priority) {
                client_result = client->set_priority(*priority);
            }
            if (!metadata.empty()) {
                const Result params_result = client->set_params(metadata);
                if (params_result != Result::success) {
                    client_result = params_result;
                }
            }
            result = combine(result, client_result, first);
            first = false;
        }
        return result;
    });
}

ConnectionStatus StrandlinkPy::get_status() const {
    return clients.front()->get_status();
}

py::str StrandlinkPy::get_error_message() const {
    std::string result;
    for (const auto& client : clients) {
        const std::string message = client->get_error_message();
        if (message.empty()) {
            continue;
        }
        if (!result.empty()) {
            result += '\n';
        }
        result += message;
    }
    return external_text(result);
}

py::str StrandlinkPy::get_internal_state() const {
    std::string result;
    for (const auto& client : clients) {
        if (!result.empty()) {
            result += '\n';
        }
        result += client->get_internal_state();
    }
    return external_text(result);
}

Result StrandlinkPy::connect() {
    return without_gil([&] {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const Result result = clients[i]->connect();
            if (result != Result::success) {
                for (std::size_t j = 0; j < i; ++j) {
                    clients[j]->disconnect();
                }
                return result;
            }
        }
        return Result::success;
    });
}

PassReadResult StrandlinkPy::pass_read(const py::dict& read_dict, int wait_duration_ms) {
    Read read;
    if (!dict_to_read(read_dict, read)) {
        return PassReadResult::bad_read;
    }
    check_wait(wait_duration_ms);
    Strandlink& client = take_turn();
    return without_gil([&] { return client.pass_read(read, static_cast<std::uint32_t>(wait_duration_ms)); });
}

PassReadResult StrandlinkPy::pass_reads(const py::list& read_dicts, int wait_duration_ms) {
    // A strong copy: turning an item into a dict runs the caller's code,
    // which may change the list meanwhile.
    const auto items = py::reinterpret_steal<py::list>(PySequence_List(read_dicts.ptr()));
    if (!items) {
        throw py::error_already_set();
    }
    std::vector<Read> reads;
    reads.reserve(items.size());
    for (const auto item : items) {
        reads.emplace_back();
        // A non-dict item goes through Python's dict(); its error, if any,
        // propagates.
        const py::dict read_dict(py::reinterpret_borrow<py::object>(item));
        if (!dict_to_read(read_dict, reads.back())) {
            return PassReadResult::bad_read;
        }
    }
    check_wait(wait_duration_ms);
    Strandlink& client = take_turn();
    return without_gil([&] { return client.pass_reads(reads, static_cast<std::uint32_t>(wait_duration_ms)); });
}

void StrandlinkPy::take_unconverted(std::vector<std::vector<Read>>& groups) {
    std::list<std::vector<std::vector<Read>>> held;
    held.splice(held.end(), m_unconverted);
    if (held.size() == 1) {
        groups.swap(held.front());
        return;
    }
    // Several batches: calls on other threads failed while this one
    // converted. Room for all first, so that a failure leaves them held.
    std::size_t total = 0;
    for (const auto& batch : held) {
        total += batch.size();
    }
    try {
        groups.reserve(total);
    } catch (...) {
        m_unconverted.splice(m_unconverted.begin(), held);
        throw;
    }
    for (auto& batch : held) {
        std::move(batch.begin(), batch.end(), std::back_inserter(groups));
    }
}

py::list StrandlinkPy::get_completed_reads() {
    // Where this call keeps what it cannot convert, made before any read
    // moves: keeping them then asks for no memory.
    std::list<std::vector<std::vector<Read>>> keep(1);
    auto& groups = keep.front();
    take_unconverted(groups);
    // Keeps what this call could not convert (nothing when it converted all)
    // for the next call, before anything kept meanwhile.
    const auto keep_for_later = [this, &keep] {
        if (!keep.front().empty()) {
            m_unconverted.splice(m_unconverted.begin(), keep);
        }
    };
    py::list result;
    try {
        without_gil([&] {
            for (auto& client : clients) {
                // Appends, or leaves `groups` as it was should it throw.
                client->get_completed_reads(groups);
            }
        });
        if (groups.empty()) {
            // An empty poll, the usual answer between called replies: nothing
            // to convert or free.
            return checked<py::list>(PyList_New(0));
        }
        // Freeing the called reads is pure C++ work and takes long for many
        // reads: other Python threads go on meanwhile.
        result = completed_reads_to_list(
                groups, [](std::vector<Read>& reads) { without_gil([&] { reads.clear(); }); });
    } catch (...) {
        keep_for_later();
        throw;
    }
    keep_for_later();
    return result;
}

Result StrandlinkPy::finish(int timeout) {
    if (timeout < 0) {
        throw std::runtime_error("Negative timeout specified for finish() method.");
    }
    // Not a turn of the lifecycle calls: a disconnect from another thread
    // must be able to end a finish without a time limit. The clients stay
    // while this call holds the object, and each takes finish and disconnect
    // together safely.
    return without_gil([&] {
        Result result = Result::success;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            result = combine(result, clients[i]->finish(static_cast<std::uint64_t>(timeout)), i == 0);
        }
        return result;
    });
}

Result StrandlinkPy::disconnect() {
    return without_gil([&] {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle_mutex);
        Result result = Result::success;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            result = combine(result, clients[i]->disconnect(), i == 0);
        }
        return result;
    });
}

py::tuple StrandlinkPy::get_basecalling_config() {
    kelp::data_wrappers::v2::Metadata config;
    const Result result = without_gil([&] { return clients.front()->get_basecalling_config(config); });
    py::dict dict = result == Result::success ? config_details_to_dict(config) : py::dict();
    return pair_tuple(std::move(dict), enum_object(result));
}

py::tuple StrandlinkPy::get_alignment_sam_header() {
    std::string header;
    const Result result = without_gil([&] { return clients.front()->get_alignment_sam_header(header); });
    return pair_tuple(external_text(header), enum_object(result));
}

py::str StrandlinkPy::repr() const {
    std::string text;
    for (const auto& client : clients) {
        if (!text.empty()) {
            text += '\n';
        }
        const ConnectionStatus status = client->get_status();
        text += "Strandlink(status=" + to_string(status);
        if (status == ConnectionStatus::error) {
            text += ", " + client->get_error_message();
        }
        text += ")";
    }
    return external_text(text);
}

}  // namespace apps
