#include "strandlink/read_buffer.h"

#include "common/contract.h"
#include "data_model/key_tags.h"
#include "ipc_tools/fbbuilder_read_helper.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <stdexcept>

namespace strandlink {

namespace {

using common::diagnostics::tracing::Trace;
using interfaces::ReadHolder;
using ipc_tools::Message;

// Reads this short are never sent: the server cannot call them.
constexpr std::uint64_t MAX_SAMPLES_NOT_SENT = 99;

// Waits at least this long are waits without a deadline: the deadline of a
// longer one would not fit the steady clock.
constexpr std::uint64_t MAX_TIMED_WAIT_MS = 1000ull * 60 * 60 * 24 * 365 * 100;

const char* const QUEUING_TEXT = "Queuing read to be sent to the server.";
const char* const BYPASS_TEXT = "Read placed directly on output queue without sending to server.";
const char* const RETURNED_TEXT = "Read returned from server, placing on output queue.";
const char* const HANDED_OVER_TEXT = "Read being returned from basecall client.";
const char* const SKIPPED_TEXT = "Read skipped due to repeated server failures.";
const char* const REQUEUED_TEXT = "Requeued read following successful (re)connection.";
const char* const CONNECTION_ENDED_TEXT = "Read handed back unprocessed: the connection has ended.";
const char* const ARRIVAL_FAILED_TEXT = "Read handed back unprocessed: building the messages of its list failed.";

const char* const SINGLE_READ_FAILURE =
        "Failed to construct IPC message(s) for single read, possibly due to insufficient memory.";
const char* const LISTED_READ_FAILURE =
        "Failed to construct IPC message(s) for read, possibly due to insufficient memory.";
const char* const BATCH_FAILURE =
        "Failed to construct IPC message for read(s), possibly due to insufficient memory.";

// Reads that failed the metadata validation, over every buffer of the process.
std::atomic<int> message_count{0};

bool any_unset(const std::vector<Message>& messages) {
    return std::any_of(messages.begin(), messages.end(),
                       [](const Message& message) { return message.get_type() == ipc_tools::UNSET; });
}

std::string read_description(const ReadHolder& read) {
    std::string* read_id = nullptr;
    return "read tag " + std::to_string(read.read_tag) + " (read_id " +
           (read.metadata.extract("read_id", read_id) ? *read_id : std::string("unknown")) + ")";
}

}  // namespace

std::string to_string(BufferQueueReadsResult result) {
    switch (result) {
    case BufferQueueReadsResult::queued:
        return "queued";
    case BufferQueueReadsResult::timed_out_waiting:
        return "timed_out_waiting";
    case BufferQueueReadsResult::not_accepting:
        return "not_accepting";
    }
    throw std::runtime_error("unrecognised BufferQueueReadsResult value");
}

std::ostream& operator<<(std::ostream& out, BufferQueueReadsResult result) {
    return out << to_string(result);
}

ReadBuffer::ReadBuffer() = default;

ReadBuffer::~ReadBuffer() {
    auto trace = create_trace("~ReadBuffer");
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        m_no_more_data = true;
        trace.message("creating latch for thread count: " + std::to_string(m_num_queue_read_waiting_threads));
        m_queue_read_latch = std::make_unique<corvid::utils::concurrency::Latch>(m_num_queue_read_waiting_threads);
    }
    m_input_queue_event.notify_all();
    trace.message("notified m_input_queue_event");
    // Every waiting caller counts the latch down as its last touch of the
    // buffer, holding the mutex.
    m_queue_read_latch->wait();
    trace.message("m_queue_read_latch zeroed");
    {
        // The last caller to leave has released the mutex once this is ours.
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        trace.message("acquired queue mutex");
    }
}

void ReadBuffer::set_block_size(std::uint64_t block_size) {
    if (block_size == 0) {
        throw std::invalid_argument("The block size of a read buffer must be at least 1 sample; 0 was given.");
    }
    get_trace_context()->write_message("set_block_size", std::to_string(block_size));
    m_block_size = block_size;
}

void ReadBuffer::set_max_input_queue_size(std::uint64_t max_input_queue_size) {
    get_trace_context()->write_message("set_max_input_queue_size", std::to_string(max_input_queue_size));
    m_max_input_queue_size = max_input_queue_size;
}

void ReadBuffer::set_max_read_failures(std::uint64_t max_read_failures) {
    get_trace_context()->write_message("set_max_read_failures", std::to_string(max_read_failures));
    m_max_read_failures = max_read_failures;
}

// --- Admission -----------------------------------------------------------------

BufferQueueReadsResult ReadBuffer::queue_read(ReadHolder& read, std::uint64_t wait_ms) {
    auto trace = create_hftrace("queue_read");
    return testable_queue_read(read, wait_ms, nullptr);
}

BufferQueueReadsResult ReadBuffer::testable_queue_read(ReadHolder& read, std::uint64_t wait_ms,
                                                       corvid::utils::concurrency::Flag* wait_guaranteed_flag) {
    auto trace = create_hftrace("testable_queue_read");
    struct SignalOnExit {
        corvid::utils::concurrency::Flag* flag;
        Trace& trace;
        ~SignalOnExit() {
            if (flag) {
                trace.message("on exit signalling wait_guaranteed_flag");
                flag->count_down();
            }
        }
    } signal_on_exit{wait_guaranteed_flag, trace};

    const std::uint64_t duration = read.metadata.get<read_data::duration>();
    if (duration <= MAX_SAMPLES_NOT_SENT) {
        put_read_on_output_queue(read);
        return BufferQueueReadsResult::queued;
    }

    // Built before the lock is taken: the costliest step of admission.
    std::string connection_id = current_connection_id();
    auto messages = ipc_tools::create_read_block_messages(read, connection_id, m_block_size);
    if (any_unset(messages)) {
        set_error_state({ConnectionError::failed, SINGLE_READ_FAILURE});
        return BufferQueueReadsResult::not_accepting;
    }

    bool failed_to_rebuild = false;
    BufferQueueReadsResult result = BufferQueueReadsResult::not_accepting;
    {
        std::unique_lock<std::mutex> lock(m_queue_mutex);
        trace.message("lock acquired");
        if (wait_guaranteed_flag) {
            wait_guaranteed_flag->count_down();
            trace.message("signalled wait_guaranteed_flag");
        }
        if (m_no_more_data) {
            trace.message("exiting before wait (m_no_more_data)");
            return BufferQueueReadsResult::not_accepting;
        }
        ++m_num_queue_read_waiting_threads;
        try {
            wait_for_room(lock, wait_ms);
            if (m_no_more_data) {
                trace.message("no more data");
            } else if (has_room()) {
                // A reconnection while the messages were built or while
                // waiting: they carry a connection id the server no longer
                // knows.
                if (connection_id != m_connection_id) {
                    messages = ipc_tools::create_read_block_messages(read, m_connection_id, m_block_size);
                    failed_to_rebuild = any_unset(messages);
                }
                if (failed_to_rebuild) {
                    fail_locked(SINGLE_READ_FAILURE);
                } else {
                    validate_and_trace_metadata(read, QUEUING_TEXT);
                    queue_read_impl(BufferedRead{std::move(read), duration, nullptr}, std::move(messages));
                    result = BufferQueueReadsResult::queued;
                }
            } else {
                trace.message("timeout");
                result = BufferQueueReadsResult::timed_out_waiting;
            }
        } catch (...) {
            leave_waiting(trace);
            throw;
        }
        // Notified before leaving: once this caller has left, the buffer may
        // be destroyed.
        if (failed_to_rebuild) {
            m_input_queue_event.notify_all();
        }
        leave_waiting(trace);
    }
    return result;
}

BufferQueueReadsResult ReadBuffer::queue_reads(interfaces::ReadList& reads, std::uint64_t wait_ms) {
    auto trace = create_hftrace("queue_reads");

    // Every read is checked before any is taken: a list that cannot be
    // admitted whole stays with the caller exactly as given.
    std::vector<std::pair<std::uint64_t, std::size_t>> tags;
    tags.reserve(reads.size());
    std::vector<ListedRead> listed;
    listed.reserve(reads.size());
    for (auto& read : reads) {
        const std::size_t position = listed.size();
        unsigned long long* duration = nullptr;
        if (!read.metadata.extract("duration", duration)) {
            throw std::out_of_range("Key 'duration' not found in read " + std::to_string(position) +
                                    " of the list, " + read_description(read) + "; nothing was queued.");
        }
        listed.push_back({&read, *duration});
        tags.emplace_back(read.read_tag, position);
    }
    // The buffer keys submitted reads by tag: two reads of one tag would
    // share one place, and one of them would be lost.
    std::sort(tags.begin(), tags.end());
    const auto repeated = std::adjacent_find(
            tags.begin(), tags.end(), [](const auto& a, const auto& b) { return a.first == b.first; });
    if (repeated != tags.end()) {
        throw std::invalid_argument("Read tag " + std::to_string(repeated->first) +
                                    " appears more than once in the list (reads " +
                                    std::to_string(repeated->second) + " and " +
                                    std::to_string((repeated + 1)->second) + "); nothing was queued.");
    }

    // Short reads bypass the server; reads longer than a block travel alone;
    // the others fill batches of at most a block's samples, a batch closing
    // when the next read would overflow it (a batch of one read closed early
    // travels alone, the last batch travels as a batch whatever its size).
    // The entries go in that order: the single reads, then the batches.
    std::vector<ListedRead> short_reads;
    std::vector<ListEntry> list_entries;
    std::vector<ListEntry> batches;
    ListEntry batch;
    std::uint64_t batch_samples = 0;
    for (const auto& entry : listed) {
        if (entry.duration <= MAX_SAMPLES_NOT_SENT) {
            short_reads.push_back(entry);
            continue;
        }
        if (entry.duration > m_block_size) {
            list_entries.push_back({{entry}, true});
        } else {
            if (batch_samples + entry.duration > m_block_size) {
                if (batch.reads.size() == 1) {
                    list_entries.push_back({std::move(batch.reads), true});
                } else {
                    batches.push_back(std::move(batch));
                }
                batch = ListEntry{};
                batch_samples = 0;
            }
            batch.reads.push_back(entry);
            batch_samples += entry.duration;
        }
    }
    if (!batch.reads.empty()) {
        batches.push_back(std::move(batch));
    }
    for (auto& full_batch : batches) {
        list_entries.push_back(std::move(full_batch));
    }
    // Whatever building the later entries' messages would throw, thrown now,
    // with the list as given: they are built once it is taken. The first
    // entry is built before, so building it checks it.
    for (std::size_t k = 1; k < list_entries.size(); ++k) {
        for (const auto& listed_read : list_entries[k].reads) {
            ipc_tools::check_read_for_messages(*listed_read.read);
        }
    }

    // The first entry's messages, before the lock is taken. The others are
    // built after admission, one at a time, each queued as soon as it is
    // ready: the worker sends the first entries of a long list while the
    // later ones are built, instead of waiting for the whole list.
    std::string connection_id = current_connection_id();
    std::vector<Message> first_messages;
    if (!list_entries.empty()) {
        const char* failure = build_entry_messages(list_entries.front(), connection_id, first_messages);
        if (failure) {
            set_error_state({ConnectionError::failed, failure});
            return BufferQueueReadsResult::not_accepting;
        }
    }

    bool admitted = false;
    bool failed_to_rebuild = false;
    BufferQueueReadsResult result = BufferQueueReadsResult::not_accepting;
    {
        std::unique_lock<std::mutex> lock(m_queue_mutex);
        if (m_no_more_data) {
            return BufferQueueReadsResult::not_accepting;
        }
        ++m_num_queue_read_waiting_threads;
        try {
            wait_for_room(lock, wait_ms);
            if (m_no_more_data) {
                trace.message("no more data");
            } else if (!has_room()) {
                trace.message("timeout");
                result = BufferQueueReadsResult::timed_out_waiting;
            } else {
                // A reconnection while the messages were built or while
                // waiting: they carry a connection id the server no longer
                // knows.
                if (!list_entries.empty() && connection_id != m_connection_id) {
                    connection_id = m_connection_id;
                    first_messages.clear();
                    const char* rebuild_failure =
                            build_entry_messages(list_entries.front(), connection_id, first_messages);
                    if (rebuild_failure) {
                        failed_to_rebuild = true;
                        fail_locked(rebuild_failure);
                    }
                }
                if (!failed_to_rebuild) {
                    if (!list_entries.empty()) {
                        queue_list_entry(list_entries.front(), std::move(first_messages), false);
                    }
                    for (const auto& short_read : short_reads) {
                        validate_and_trace_metadata(*short_read.read, BYPASS_TEXT);
                        m_reads_out.push_back(std::move(*short_read.read));
                        record_queues("put_read_on_output_queue");
                    }
                    // The rest of the list counts as queued from now on, and
                    // takes its room in the queue, as if it were there.
                    for (std::size_t k = 1; k < list_entries.size(); ++k) {
                        m_arriving_reads += list_entries[k].reads.size();
                        ++m_arriving_entries;
                    }
                    admitted = true;
                    result = BufferQueueReadsResult::queued;
                }
            }
        } catch (...) {
            leave_waiting(trace);
            throw;
        }
        if (failed_to_rebuild) {
            m_input_queue_event.notify_all();
        }
        // Notified before leaving: once this caller has left, the buffer may
        // be destroyed.
        if (!admitted || list_entries.size() <= 1) {
            leave_waiting(trace);
        }
    }
    if (admitted) {
        if (list_entries.size() > 1) {
            queue_arriving_entries(list_entries, connection_id, trace);
        }
        reads.clear();
    }
    return result;
}

void ReadBuffer::queue_arriving_entries(const std::vector<ListEntry>& list_entries, std::string connection_id,
                                        Trace& trace) {
    // The caller counts as waiting until the last entry is in: the buffer is
    // not destroyed under it, and the worker hands nothing back at the end of
    // the connection before the whole list is there to be handed back.
    for (std::size_t k = 1; k < list_entries.size(); ++k) {
        std::vector<Message> messages;
        const char* failure = build_arriving_entry_messages(list_entries[k], connection_id, messages);
        std::unique_lock<std::mutex> lock(m_queue_mutex);
        if (!failure && connection_id != m_connection_id) {
            connection_id = m_connection_id;
            messages.clear();
            failure = build_arriving_entry_messages(list_entries[k], connection_id, messages);
        }
        const bool last = failure != nullptr || k + 1 == list_entries.size();
        try {
            if (failure) {
                // The list was admitted: what is not queued yet comes back
                // unprocessed, as it would when the connection fails with
                // the reads queued.
                fail_locked(failure);
                for (std::size_t j = k; j < list_entries.size(); ++j) {
                    for (const auto& listed_read : list_entries[j].reads) {
                        validate_and_trace_metadata(*listed_read.read, ARRIVAL_FAILED_TEXT);
                        m_reads_out.push_back(std::move(*listed_read.read));
                        ++m_reads_handed_back_on_arrival;
                    }
                }
                m_arriving_reads = 0;
                m_arriving_entries = 0;
                record_queues("queue_reads_impl");
            } else {
                m_arriving_reads -= list_entries[k].reads.size();
                --m_arriving_entries;
                queue_list_entry(list_entries[k], std::move(messages), true);
            }
        } catch (...) {
            // Out of memory under the lock: nothing may wait for the rest.
            m_arriving_reads = 0;
            m_arriving_entries = 0;
            fail_locked(LISTED_READ_FAILURE);
            m_reads_queued_event.notify_all();
            m_input_queue_event.notify_all();
            leave_waiting(trace);
            throw;
        }
        if (last) {
            // Notified before leaving: once this caller has left, the
            // buffer may be destroyed.
            m_reads_queued_event.notify_all();
            if (failure) {
                m_input_queue_event.notify_all();
            }
            leave_waiting(trace);
            return;
        }
    }
}

const char* ReadBuffer::build_entry_messages(const ListEntry& entry, const std::string& connection_id,
                                             std::vector<Message>& messages) const {
    if (entry.single) {
        messages = ipc_tools::create_read_block_messages(*entry.reads.front().read, connection_id, m_block_size);
        if (any_unset(messages)) {
            messages.clear();
            return LISTED_READ_FAILURE;
        }
        return nullptr;
    }
    std::vector<const ReadHolder*> members;
    members.reserve(entry.reads.size());
    for (const auto& member : entry.reads) {
        members.push_back(member.read);
    }
    messages.push_back(ipc_tools::create_read_batch_message(members, connection_id));
    if (any_unset(messages)) {
        messages.clear();
        return BATCH_FAILURE;
    }
    return nullptr;
}

const char* ReadBuffer::build_arriving_entry_messages(const ListEntry& entry, const std::string& connection_id,
                                                      std::vector<Message>& messages) const {
    // Every read was checked before the list was taken, so only a lack of
    // memory gets here; the list is the buffer's by now and must not throw
    // back at its caller half taken.
    try {
        return build_entry_messages(entry, connection_id, messages);
    } catch (const std::exception&) {
        messages.clear();
        return entry.single ? LISTED_READ_FAILURE : BATCH_FAILURE;
    }
}

void ReadBuffer::queue_list_entry(const ListEntry& listed, std::vector<Message> messages, bool arriving) {
    Entry entry;
    entry.reserve(listed.reads.size());
    for (const auto& listed_read : listed.reads) {
        entry.push_back(BufferedRead{std::move(*listed_read.read), listed_read.duration, nullptr});
    }
    for (const auto& queued : entry) {
        validate_and_trace_metadata(queued.read, QUEUING_TEXT);
    }
    queue_entry_impl(std::move(entry), std::move(messages), listed.single ? "queue_read_impl" : "queue_reads_impl",
                     arriving);
}

void ReadBuffer::wait_for_room(std::unique_lock<std::mutex>& lock, std::uint64_t wait_ms) {
    const auto ready = [this] { return has_room() || m_no_more_data; };
    if (wait_ms >= MAX_TIMED_WAIT_MS) {
        m_input_queue_event.wait(lock, ready);
        return;
    }
    // The condition is tested before the first wait, after every wake-up and
    // once more at the deadline: a wait of 0 tests once and does not block.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    m_input_queue_event.wait_until(lock, deadline, ready);
}

bool ReadBuffer::has_room() const {
    return m_input_queue.size() + m_arriving_entries < m_max_input_queue_size;
}

void ReadBuffer::leave_waiting(Trace& trace) {
    --m_num_queue_read_waiting_threads;
    if (m_queue_read_latch) {
        m_queue_read_latch->count_down();
        trace.message("counted down latch. m_num_queue_read_waiting_threads: " +
                      std::to_string(m_num_queue_read_waiting_threads));
    }
}

void ReadBuffer::fail_locked(const std::string& message) {
    m_no_more_data = true;
    m_error_state = ErrorState{ConnectionError::failed, message};
}

std::string ReadBuffer::current_connection_id() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_connection_id;
}

void ReadBuffer::queue_read_impl(BufferedRead read, std::vector<Message> messages) {
    Entry entry;
    entry.push_back(std::move(read));
    queue_entry_impl(std::move(entry), std::move(messages), "queue_read_impl");
}

void ReadBuffer::queue_entry_impl(Entry entry, std::vector<Message> messages, const char* record_name,
                                  bool arriving) {
    m_message_queue_in.push_back(std::move(messages));
    m_input_queue.push_back(std::move(entry));
    for (const auto& read : m_input_queue.back()) {
        m_num_samples_in_queued_reads += read.duration;
    }
    m_queued_reads += m_input_queue.back().size();
    if (!arriving) {
        ++m_queued_entries_total;
    }
    record_queues(record_name);
    m_reads_queued_event.notify_all();
}

void ReadBuffer::put_read_on_output_queue(ReadHolder& read) {
    validate_and_trace_metadata(read, BYPASS_TEXT);
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    m_reads_out.push_back(std::move(read));
    record_queues("put_read_on_output_queue");
}

// --- Stopping and counters -------------------------------------------------------

void ReadBuffer::set_no_more_data() {
    auto trace = create_trace("set_no_more_data");
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        m_no_more_data = true;
    }
    m_input_queue_event.notify_all();
}

void ReadBuffer::set_error_state(const ErrorState& error) {
    auto trace = create_trace("set_error_state");
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        m_no_more_data = true;
        m_error_state = error;
    }
    m_input_queue_event.notify_all();
}

bool ReadBuffer::wait_for_queued_reads(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_queue_mutex);
    // A queue that already holds reads the server would not take (NOT_READY)
    // must not end the wait: only a read queued from now on does.
    const std::uint64_t seen = m_queued_entries_total;
    return m_reads_queued_event.wait_for(lock, timeout, [this, seen] { return m_queued_entries_total != seen; });
}

std::uint64_t ReadBuffer::num_queued_reads() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_queued_reads + m_arriving_reads;
}

std::uint64_t ReadBuffer::num_samples_in_queued_reads() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_num_samples_in_queued_reads;
}

std::uint64_t ReadBuffer::num_submitted_reads() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_submitted_reads.size();
}

std::uint64_t ReadBuffer::num_reads_out() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_reads_out.size();
}

bool ReadBuffer::all_reads_processed() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_submitted_reads.empty() && m_input_queue.empty() && m_arriving_entries == 0;
}

std::vector<Message> ReadBuffer::create_read_messages(const ReadHolder& read) const {
    return ipc_tools::create_read_block_messages(read, current_connection_id(), m_block_size);
}

Message ReadBuffer::create_reads_message(const std::vector<ReadHolder>& reads) const {
    return ipc_tools::create_read_batch_message(reads, current_connection_id());
}

// --- Worker thread ---------------------------------------------------------------

bool ReadBuffer::wait_for_next_entry(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_queue_mutex);
    m_reads_queued_event.wait_for(lock, timeout,
                                  [this] { return !m_input_queue.empty() || m_arriving_entries == 0; });
    return !m_input_queue.empty();
}

std::vector<Message>& ReadBuffer::next_read_messages() {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    CONTRACT_CHECK(!m_message_queue_in.empty(), "next_read_messages requires a queued read");
    return m_message_queue_in.front();
}

void ReadBuffer::reads_submitted() {
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        CONTRACT_CHECK(!m_input_queue.empty(), "reads_submitted requires a queued read");
        for (auto& read : m_input_queue.front()) {
            m_num_samples_in_queued_reads -= read.duration;
            const std::uint64_t tag = read.read.read_tag;
            m_submitted_reads.insert_or_assign(tag, std::move(read));
            --m_queued_reads;
        }
        m_input_queue.pop_front();
        m_message_queue_in.pop_front();
        record_queues("reads_submitted");
    }
    // An input entry has become free.
    m_input_queue_event.notify_all();
}

ReadBuffer::BufferedRead* ReadBuffer::find_submitted(std::uint64_t read_tag) {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    const auto it = m_submitted_reads.find(read_tag);
    return it == m_submitted_reads.end() ? nullptr : &it->second;
}

ReadHolder* ReadBuffer::get_submitted_read_holder(std::uint64_t read_tag) {
    BufferedRead* submitted = find_submitted(read_tag);
    if (submitted == nullptr) {
        return nullptr;
    }
    // The caller is about to write called data into the read. Only the
    // worker touches a submitted read, so this needs no lock.
    keep_passed_in(*submitted);
    return &submitted->read;
}

ReadHolder* ReadBuffer::get_submitted_read_to_fill_in_place(std::uint64_t read_tag) {
    BufferedRead* submitted = find_submitted(read_tag);
    if (submitted == nullptr) {
        return nullptr;
    }
    lay_written_over_passed_in(*submitted);
    return &submitted->read;
}

ReadHolder* ReadBuffer::create_temp_sub_read(std::uint64_t read_tag, std::uint64_t sub_tag) {
    if (sub_tag == 0) {
        throw std::invalid_argument("A sub read needs a sub tag other than 0 (read tag " +
                                    std::to_string(read_tag) + ")");
    }
    BufferedRead* parent = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        const auto existing = m_temp_sub_reads.find({read_tag, sub_tag});
        if (existing != m_temp_sub_reads.end()) {
            return &existing->second;
        }
        const auto it = m_submitted_reads.find(read_tag);
        if (it == m_submitted_reads.end()) {
            return nullptr;
        }
        parent = &it->second;
    }
    // Copied without the lock: only the worker touches submitted reads and
    // the sub reads being filled.
    keep_passed_in(*parent);
    ReadHolder sub_read;
    sub_read.read_tag = parent->read.read_tag;
    sub_read.priority = parent->read.priority;
    sub_read.sub_tag = sub_tag;
    sub_read.metadata = parent->passed_in->metadata;
    for (const dataset code : parent->passed_in->datasets) {
        const auto source = parent->read.datasets.find(code);
        if (source == parent->read.datasets.end()) {
            continue;
        }
        auto& target = sub_read.datasets[code];
        target.info = source->second.info;
        target.metadata = source->second.metadata;
        target.copy_data(source->second);
    }
    sub_read.attachment = parent->read.attachment;

    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return &m_temp_sub_reads.try_emplace({read_tag, sub_tag}, std::move(sub_read)).first->second;
}

ReadHolder* ReadBuffer::add_temp_sub_read(ReadHolder& read) {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    const SubReadKey key{read.read_tag, read.sub_tag};
    const auto existing = m_temp_sub_reads.find(key);
    if (existing != m_temp_sub_reads.end()) {
        return &existing->second;
    }
    return &m_temp_sub_reads.emplace(key, std::move(read)).first->second;
}

void ReadBuffer::read_retrieved(std::uint64_t read_tag) {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    if (m_submitted_reads.count(read_tag) == 0) {
        throw std::out_of_range("No submitted read has read tag " + std::to_string(read_tag));
    }
    read_retrieved_impl(read_tag);
}

void ReadBuffer::sub_read_retrieved(std::uint64_t read_tag, std::uint64_t sub_tag) {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    if (m_temp_sub_reads.count({read_tag, sub_tag}) == 0) {
        throw std::out_of_range("No sub read with read tag " + std::to_string(read_tag) + " and sub tag " +
                                std::to_string(sub_tag) + " is being filled");
    }
    sub_read_retrieved_impl(read_tag, sub_tag);
}

std::vector<ReadBuffer::SubReadKey> ReadBuffer::completed_batch_keys(const std::vector<ReadHolder*>& reads,
                                                                     bool whole_only) const {
    // The tags are read first: a retrieved read's pointer dies with its
    // place among the submitted reads.
    std::vector<SubReadKey> keys;
    keys.reserve(reads.size());
    for (const ReadHolder* read : reads) {
        if (read == nullptr) {
            throw std::invalid_argument("A completed batch holds no read at one of its places");
        }
        const SubReadKey key{read->read_tag, read->sub_tag};
        const bool known = key.second == 0 ? m_submitted_reads.count(key.first) != 0
                                           : !whole_only && m_temp_sub_reads.count(key) != 0;
        if (!known) {
            throw std::out_of_range("Read " + std::to_string(key.first) + ":" + std::to_string(key.second) +
                                    (whole_only ? " of a completed batch to be filled is not a submitted whole read"
                                                : " of a completed batch is neither submitted nor being filled"));
        }
        keys.push_back(key);
    }
    std::vector<SubReadKey> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    const auto repeated = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeated != sorted.end()) {
        throw std::invalid_argument("Read " + std::to_string(repeated->first) + ":" +
                                    std::to_string(repeated->second) +
                                    " appears more than once in a completed batch");
    }
    return keys;
}

void ReadBuffer::reads_retrieved(const std::vector<ReadHolder*>& reads) {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    for (const auto& key : completed_batch_keys(reads, false)) {
        if (key.second == 0) {
            read_retrieved_impl(key.first);
        } else {
            sub_read_retrieved_impl(key.first, key.second);
        }
    }
}

void ReadBuffer::reads_retrieved(const std::vector<ReadHolder*>& reads, std::shared_ptr<const PendingFill> fill) {
    if (!fill) {
        throw std::invalid_argument("A completed batch to be filled needs its called data");
    }
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    const std::vector<SubReadKey> keys = completed_batch_keys(reads, true);
    // Room first: once the reads move, nothing may fail.
    std::list<UnfilledBatch> batch(1);
    batch.front().fill = std::move(fill);
    batch.front().reads.reserve(keys.size());
    for (const auto& key : keys) {
        batch.front().reads.push_back(read_retrieved_impl(key.first, false));
    }
    m_unfilled.splice(m_unfilled.end(), batch);
}

ReadHolder* ReadBuffer::read_retrieved_impl(std::uint64_t read_tag, bool filled) {
    const auto it = m_submitted_reads.find(read_tag);
    BufferedRead& finished = it->second;
    lay_written_over_passed_in(finished);
    m_reads_out.push_back(std::move(finished.read));
    ReadHolder* const placed = &m_reads_out.back();
    if (filled) {
        validate_and_trace_metadata(*placed, RETURNED_TEXT);
    }
    m_submitted_reads.erase(it);
    // Its resubmissions are counted no more: the read has left.
    if (!m_resubmission_counts.empty()) {
        m_resubmission_counts.erase(read_tag);
    }
    const auto sub_reads = m_retrieved_sub_reads.find(read_tag);
    if (sub_reads != m_retrieved_sub_reads.end()) {
        for (auto& sub_read : sub_reads->second) {
            m_reads_out.push_back(std::move(sub_read.second));
        }
        m_retrieved_sub_reads.erase(sub_reads);
    }
    record_queues("read_retrieved_impl");
    return placed;
}

void ReadBuffer::sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag) {
    const auto it = m_temp_sub_reads.find({read_tag, sub_tag});
    validate_and_trace_metadata(it->second, "Sub read, with sub_tag: " + std::to_string(sub_tag) +
                                                    ", returned from server, placing on output queue.");
    if (m_submitted_reads.count(read_tag) != 0) {
        // Waits for its parent, and follows it to the output queue.
        m_retrieved_sub_reads[read_tag][sub_tag] = std::move(it->second);
    } else {
        // The parent has gone to the output queue already: waiting for it
        // would strand this sub read.
        m_reads_out.push_back(std::move(it->second));
    }
    m_temp_sub_reads.erase(it);
}

void ReadBuffer::clear_submitted_reads() {
    auto trace = create_trace("clear_submitted_reads");
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    trace.message("handing back reads lost by the server, total: " + std::to_string(m_submitted_reads.size()));
    hand_back_submitted_reads(SKIPPED_TEXT);
}

std::uint64_t ReadBuffer::hand_back_submitted_reads(const char* text) {
    // The application's reads are never destroyed here: they go back
    // unprocessed, in tag order, and the application learns they carry no
    // results.
    for (auto& [tag, read] : m_submitted_reads) {
        release_sub_reads(tag);
        if (!m_resubmission_counts.empty()) {
            m_resubmission_counts.erase(tag);
        }
        hand_back_unprocessed(read, text);
    }
    const std::uint64_t count = m_submitted_reads.size();
    m_submitted_reads.clear();
    return count;
}

ErrorState ReadBuffer::get_error_state() const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    return m_error_state;
}

void ReadBuffer::set_connection_id(std::string connection_id) {
    auto trace = create_timed_trace("set_connection_id");
    trace.message(connection_id);
    bool failed_to_build = false;
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        m_connection_id = std::move(connection_id);

        std::deque<BufferedRead> queued;
        fetch_and_empty_input_queue(queued);
        std::deque<BufferedRead> submitted;
        bool ok = true;
        fetch_and_empty_submitted_reads(submitted, ok);
        // The server sends their sub reads again with the read, or never.
        for (const auto& read : submitted) {
            release_sub_reads(read.read.read_tag);
        }

        trace.message("requeuing reads, total: " + std::to_string((ok ? submitted.size() : 0) + queued.size()));
        if (ok) {
            trace.message("resending " + std::to_string(submitted.size()) + " reads previously sent");
            failed_to_build = requeue_reads(submitted) || failed_to_build;
        } else {
            trace.message("Skipping requeuing reads due to repeated server failures, total: " +
                          std::to_string(submitted.size()));
            for (auto& read : submitted) {
                hand_back_unprocessed(read, SKIPPED_TEXT);
            }
        }
        failed_to_build = requeue_reads(queued) || failed_to_build;
        record_queues("set_connection_id");
    }
    if (failed_to_build) {
        m_input_queue_event.notify_all();
    }
}

void ReadBuffer::fetch_and_empty_input_queue(std::deque<BufferedRead>& reads) {
    for (auto& entry : m_input_queue) {
        for (auto& read : entry) {
            reads.push_back(std::move(read));
        }
    }
    m_input_queue.clear();
    m_message_queue_in.clear();
    m_queued_reads = 0;
    m_num_samples_in_queued_reads = 0;
}

void ReadBuffer::fetch_and_empty_submitted_reads(std::deque<BufferedRead>& reads, bool& ok) {
    auto trace = create_trace("fetch_and_empty_submitted_reads");
    trace.message("num submitted reads: " + std::to_string(m_submitted_reads.size()));
    for (auto& [tag, read] : m_submitted_reads) {
        const std::uint32_t count = ++m_resubmission_counts[tag];
        if (count > m_max_read_failures) {
            hftrace_context().write_message("fetch_and_empty_submitted_reads",
                                                 "Max resubmission count exceeded for read tag " +
                                                         std::to_string(tag));
            ok = false;
        }
        reads.push_back(std::move(read));
    }
    m_submitted_reads.clear();
    if (!ok) {
        m_resubmission_counts.clear();
    }
}

bool ReadBuffer::requeue_reads(std::deque<BufferedRead>& reads) {
    bool failed = false;
    for (auto& read : reads) {
        // Sent as it was passed in: no called data of an earlier attempt, and
        // cut by the samples it was admitted with.
        restore_passed_in(read);
        std::vector<Message> messages;
        try {
            messages = ipc_tools::create_read_block_messages(read.read, m_connection_id, m_block_size);
        } catch (const std::exception&) {
            messages.clear();
            messages.emplace_back();
        }
        if (any_unset(messages)) {
            // Queued all the same, so that the read is not lost; the worker
            // sees the error before it sends anything.
            failed = true;
            fail_locked(LISTED_READ_FAILURE);
        }
        validate_and_trace_metadata(read.read, REQUEUED_TEXT);
        queue_read_impl(std::move(read), std::move(messages));
    }
    reads.clear();
    return failed;
}

std::uint64_t ReadBuffer::hand_back_unfinished_reads() {
    auto trace = create_trace("hand_back_unfinished_reads");
    std::uint64_t count = 0;
    {
        std::unique_lock<std::mutex> lock(m_queue_mutex);
        m_no_more_data = true;
        // The rest of a list being taken in is handed back with it: its
        // caller queues it without waiting for anything.
        m_reads_queued_event.wait(lock, [this] { return m_arriving_entries == 0; });
        count = m_reads_handed_back_on_arrival;
        m_reads_handed_back_on_arrival = 0;
        // As at a reconnection: the reads that were at the server first, then
        // the queued ones in queue order.
        count += hand_back_submitted_reads(CONNECTION_ENDED_TEXT);
        m_resubmission_counts.clear();
        std::deque<BufferedRead> queued;
        fetch_and_empty_input_queue(queued);
        for (auto& read : queued) {
            hand_back_unprocessed(read, CONNECTION_ENDED_TEXT);
            ++count;
        }
        trace.message("handed back unprocessed, total: " + std::to_string(count));
        record_queues("hand_back_unfinished_reads");
    }
    m_input_queue_event.notify_all();
    return count;
}

void ReadBuffer::release_sub_reads(std::uint64_t read_tag) {
    auto it = m_temp_sub_reads.lower_bound({read_tag, 0});
    while (it != m_temp_sub_reads.end() && it->first.first == read_tag) {
        it = m_temp_sub_reads.erase(it);
    }
    m_retrieved_sub_reads.erase(read_tag);
}

void ReadBuffer::hand_back_unprocessed(BufferedRead& read, const char* text) {
    restore_passed_in(read);
    validate_and_trace_metadata(read.read, text);
    m_reads_out.push_back(std::move(read.read));
}

void ReadBuffer::keep_passed_in(BufferedRead& read) {
    if (read.passed_in) {
        return;
    }
    auto passed_in = std::make_unique<PassedIn>();
    // A moved-from map is empty: the worker writes into a fresh one.
    passed_in->metadata = std::move(read.read.metadata);
    passed_in->datasets.reserve(read.read.datasets.size());
    for (const auto& entry : read.read.datasets) {
        passed_in->datasets.push_back(entry.first);
    }
    read.passed_in = std::move(passed_in);
}

void ReadBuffer::lay_written_over_passed_in(BufferedRead& finished) {
    if (finished.passed_in) {
        interfaces::ReadHolder& read = finished.read;
        kelp::data_wrappers::v2::Metadata written = std::move(read.metadata);
        read.metadata = std::move(finished.passed_in->metadata);
        read.metadata.merge(std::move(written));
        finished.passed_in.reset();
    }
}

void ReadBuffer::restore_passed_in(BufferedRead& read) {
    if (read.passed_in) {
        // What was written is dropped, and what was set aside comes back: the
        // read is as it came, and a later attempt sets it aside afresh.
        read.read.metadata = std::move(read.passed_in->metadata);
        const auto& kept = read.passed_in->datasets;
        for (auto it = read.read.datasets.begin(); it != read.read.datasets.end();) {
            if (std::find(kept.begin(), kept.end(), it->first) == kept.end()) {
                it = read.read.datasets.erase(it);
            } else {
                ++it;
            }
        }
        read.passed_in.reset();
    }
    unsigned long long* duration = nullptr;
    if (!read.read.metadata.extract("duration", duration) || *duration != read.duration) {
        read.read.metadata.insert("duration", static_cast<unsigned long long>(read.duration));
    }
}

// --- Application threads ---------------------------------------------------------

void ReadBuffer::get_reads_out(interfaces::ReadList& reads) {
    interfaces::ReadList out;
    std::list<UnfilledBatch> unfilled;
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        if (m_reads_out.empty()) {
            return;
        }
        out.splice(out.end(), m_reads_out);
        unfilled.splice(unfilled.end(), m_unfilled);
    }
    // The reads are this caller's alone now: they are filled without the
    // lock, so that the worker never waits for it.
    try {
        while (!unfilled.empty()) {
            UnfilledBatch& batch = unfilled.front();
            for (; batch.next < batch.reads.size(); ++batch.next) {
                batch.fill->fill(batch.next, *batch.reads[batch.next]);
                validate_and_trace_metadata(*batch.reads[batch.next], RETURNED_TEXT);
            }
            unfilled.pop_front();
        }
    } catch (...) {
        // Back in front of what came since, in the same order, to be taken
        // out again: no read is lost for want of memory.
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        m_reads_out.splice(m_reads_out.begin(), out);
        m_unfilled.splice(m_unfilled.begin(), unfilled);
        throw;
    }
    for (const auto& read : out) {
        validate_and_trace_metadata(read, HANDED_OVER_TEXT);
    }
    if (hftrace_context().is_active()) {
        hftrace_context().write_message("get_reads_out", "Completed: " + std::to_string(out.size()));
    }
    reads.splice(reads.end(), out);
}

void ReadBuffer::return_reads_out(interfaces::ReadList& reads) noexcept {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    m_reads_out.splice(m_reads_out.begin(), reads);
}

void ReadBuffer::report_state(common::diagnostics::state::StateLogger& logger) const {
    std::lock_guard<std::mutex> lock(m_queue_mutex);
    using u64 = unsigned long long;
    logger.log("m_queued_reads (awaiting pushing to server)", static_cast<u64>(m_queued_reads));
    logger.log("m_num_samples_in_queued_reads", static_cast<u64>(m_num_samples_in_queued_reads));
    logger.log("m_message_queue_in (awaiting sending to server)", static_cast<u64>(m_message_queue_in.size()));
    logger.log("m_submitted_reads (pushed to server not yet pulled)", static_cast<u64>(m_submitted_reads.size()));
    logger.log("m_reads_out (output queue of reads from server)", static_cast<u64>(m_reads_out.size()));
    logger.log("m_max_input_queue_size", static_cast<u64>(m_max_input_queue_size));
    logger.log("m_block_size ", static_cast<u64>(m_block_size));
    logger.log("m_connection_id ", m_connection_id);
}

common::diagnostics::tracing::details::TraceContext& ReadBuffer::hftrace_context() {
    // Fixed at its first use; fetched once, as records are written at every
    // step of every read. Never destroyed, as the domain's own.
    static const auto* const context =
            new std::shared_ptr<common::diagnostics::tracing::details::TraceContext>(get_hftrace_context());
    return **context;
}

void ReadBuffer::record_queues(const char* name) const {
    auto& context = hftrace_context();
    if (context.is_active()) {
        context.write_message(name, queues_string());
    }
}

std::string ReadBuffer::queues_string() const {
    return "queue(in) " + std::to_string(m_queued_reads) + " samples " +
           std::to_string(m_num_samples_in_queued_reads) + ", sent " + std::to_string(m_submitted_reads.size()) +
           ", queue(out) " + std::to_string(m_reads_out.size());
}

void ReadBuffer::validate_and_trace_metadata(const ReadHolder& read, std::string_view text) {
    using Validation = common::diagnostics::tracing::TraceDomain<MetadataValidationTrace>;
    // Called at every hand-over of every read: the context is fixed at its
    // first use, so it is fetched once. Never destroyed, as the domain's own.
    static const auto* const context =
            new std::shared_ptr<common::diagnostics::tracing::details::TraceContext>(
                    Validation::get_hftrace_context());
    if (!(*context)->is_active()) {
        return;
    }
    static const char* const KEYS[] = {"barcode_kit",         "barcode_variant",          "barcode_score",
                                       "barcode_front_score", "barcode_front_begin_index", "barcode_rear_score",
                                       "barcode_rear_end_index"};
    const bool arranged = read.metadata.exists("barcode_arrangement");
    for (const char* key : KEYS) {
        if (read.metadata.exists(key) == arranged) {
            continue;
        }
        const int count = ++message_count;
        std::string* read_id = nullptr;
        const std::string id = read.metadata.extract("read_id", read_id) ? *read_id : std::string("unknown");
        (*context)->write_message(
                "validate_and_trace_metadata",
                std::string(text) +
                        (arranged ? " Missing metadata key, barcode_arrangement is present but " + std::string(key) +
                                            " is missing."
                                  : " Unexpected metadata key, barcode_arrangement is missing but " +
                                            std::string(key) + " is present.") +
                        " Read ID: " + id + ", Read tag: " + std::to_string(read.read_tag) +
                        ", failed validation count: " + std::to_string(count));
        return;
    }
}

}  // namespace strandlink
