#pragma once

// The store between the application's threads and the client's worker: reads
// wait here, with their wire messages ready, until the worker pushes them to
// the server; submitted reads wait here until the server hands them back
// called; finished reads wait here until the application collects them.
//
// Every read handed in comes back exactly once, called or unprocessed, or
// stays with the caller when admission refuses it.

#include "common/concurrency.h"
#include "common/state_logger.h"
#include "common/trace.h"
#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/ipc_tools.h"
#include "strandlink/client_connection_state.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace strandlink {

// The outcome of handing reads to the buffer.
enum class BufferQueueReadsResult : std::int32_t {
    queued = 0,             // the read or the list is now the buffer's
    timed_out_waiting = 1,  // no room before the deadline; nothing was taken
    not_accepting = 2,      // the buffer accepts no more reads, or building messages failed
};

// "queued", "timed_out_waiting", "not_accepting"; any other value throws
// std::runtime_error "unrecognised BufferQueueReadsResult value".
std::string to_string(BufferQueueReadsResult result);
std::ostream& operator<<(std::ostream& out, BufferQueueReadsResult result);

// Called data received for finished reads, still to be written into them.
// The buffer has it written by the thread that takes the reads out: what a
// read allocates is then allocated on the thread that will free it, not on
// the worker, whose time bounds the rate at which reads stream.
class PendingFill {
public:
    virtual ~PendingFill() = default;
    // Writes the called data of the read at `index` of its batch into read.
    // Thread-safe (const, on data that no longer changes). Throws only
    // std::bad_alloc; writing again after a failure gives the same read.
    virtual void fill(std::size_t index, interfaces::ReadHolder& read) const = 0;
};

// Thread-safe: one mutex guards all state. Application threads admit reads,
// read the counters, collect finished reads and stop the buffer; the single
// worker thread takes messages, marks submissions and retrievals and
// requeues at every (re)connection. The owner makes it, sets the three
// limits, and only then shares it.
class ReadBuffer : private common::diagnostics::tracing::TraceDomain<ReadBuffer>,
                   public common::diagnostics::state::StateProvider {
public:
    // Owns the high-frequency trace domain that switches the metadata
    // validation of every hand-over on.
    struct MetadataValidationTrace {};

    ReadBuffer();
    // Refuses further reads, wakes every waiting caller and returns only once
    // all of them have left. Reads still held are destroyed.
    ~ReadBuffer() override;

    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    ReadBuffer(ReadBuffer&&) = delete;
    ReadBuffer& operator=(ReadBuffer&&) = delete;

    // Limits; called by the owner before the buffer is shared.
    // Samples per block message, and the sample budget of one batch. Throws
    // std::invalid_argument for 0, keeping the former value.
    void set_block_size(std::uint64_t block_size);
    // Admission waits while the input queue holds this many entries or more.
    void set_max_input_queue_size(std::uint64_t max_input_queue_size);
    // A read still submitted at more (re)connections than this is handed
    // back, together with every other read submitted at that moment.
    void set_max_read_failures(std::uint64_t max_read_failures);

    // --- Admission (application threads) ----------------------------------

    // Queues one read, waiting up to `wait_ms` for room. A read of 99
    // samples or fewer goes straight to the output queue, unprocessed. On
    // `queued` the read has been moved out of `read`; otherwise `read` is
    // unchanged. Throws std::out_of_range when the read has no "duration"
    // (and whatever building its messages throws), `read` unchanged.
    BufferQueueReadsResult queue_read(interfaces::ReadHolder& read, std::uint64_t wait_ms);
    // As queue_read; `wait_guaranteed_flag` (may be null) is counted down
    // once the caller holds the lock, about to decide or wait, and again on
    // the way out. A test hook.
    BufferQueueReadsResult testable_queue_read(interfaces::ReadHolder& read, std::uint64_t wait_ms,
                                               corvid::utils::concurrency::Flag* wait_guaranteed_flag);
    // Queues a whole list, waiting up to `wait_ms` for one free entry: reads
    // of 99 samples or fewer go straight to the output queue, longer than a
    // block travel alone in block messages, the rest share batch messages.
    // On `queued` the list is left empty; otherwise it holds its reads as
    // given. Throws, with the list as given, std::invalid_argument when two
    // reads share a read tag, std::out_of_range when a read has no
    // "duration" (naming the read), and whatever building messages throws.
    // Once admitted, the list's first entry is queued at once and the others
    // as their messages are built, before the call returns; should building
    // one fail then (for want of memory), the buffer fails and the rest of
    // the list comes back unprocessed, as queued reads do at such a failure.
    BufferQueueReadsResult queue_reads(interfaces::ReadList& reads, std::uint64_t wait_ms);

    // --- Stopping (any thread) ---------------------------------------------

    // No read is admitted from now on (reads of 99 samples or fewer still
    // pass to the output queue through queue_read); waiting callers return.
    void set_no_more_data();
    // As set_no_more_data, and keeps `error` for the worker (get_error_state).
    void set_error_state(const ErrorState& error);

    // --- Counters (any thread; snapshots) -----------------------------------

    // Reads waiting to be pushed, counting those of a list still being taken
    // in (see wait_for_next_entry).
    std::uint64_t num_queued_reads() const;
    // Waits up to `timeout` for a read to be queued after the call began;
    // true when one was. The worker's idle wait: it polls the server at that
    // pace, also while reads wait that the server would not take yet, and
    // new reads start on their way at once. A list counts once, when it is
    // admitted: its later entries, queued as they are built, do not end the
    // wait, so a server refusing reads for now is asked again at the same
    // pace as for a list queued whole.
    bool wait_for_queued_reads(std::chrono::milliseconds timeout) const;
    std::uint64_t num_samples_in_queued_reads() const;
    std::uint64_t num_submitted_reads() const;
    std::uint64_t num_reads_out() const;
    // No read waits to be pushed and none is at the server. Reads in the
    // output queue or among the sub reads do not count.
    bool all_reads_processed() const;

    // --- Messages (any thread) ----------------------------------------------

    // The block messages of a read cut at the block size, carrying the current
    // connection id. Throws as ipc_tools::create_read_block_messages.
    std::vector<ipc_tools::Message> create_read_messages(const interfaces::ReadHolder& read) const;
    // One batch message of the reads, whole, carrying the current connection id.
    ipc_tools::Message create_reads_message(const std::vector<interfaces::ReadHolder>& reads) const;

    // --- Worker thread, sending ---------------------------------------------

    // A list is queued entry by entry as its messages are built: its reads
    // count as queued from its admission, but the next of its entries may
    // not be in the queue yet. Waits up to `timeout` for an entry to send;
    // true when the queue holds one. The wait is no longer than building
    // one entry takes.
    bool wait_for_next_entry(std::chrono::milliseconds timeout) const;

    // The messages of the front input entry: one batch message, or the block
    // messages of one read in block order. The entry stays in place until
    // reads_submitted; only the worker removes entries, so the reference
    // stays valid until then.
    // REQUIRES: num_queued_reads() > 0.
    std::vector<ipc_tools::Message>& next_read_messages();
    // The server has taken every message of the front entry: its reads are
    // now submitted. Wakes callers waiting for room.
    // REQUIRES: num_queued_reads() > 0.
    void reads_submitted();

    // --- Worker thread, receiving -------------------------------------------

    // The submitted read with that tag, or null. The worker fills it through
    // the pointer without the lock until it retrieves, requeues or clears it.
    // The first call for a read sets its metadata as passed in aside (for its
    // sub reads, a resubmission or a hand-back): from then on the read's
    // metadata holds only what the worker writes, and retrieving the read
    // lays that over what was set aside, the written values winning. Ask for
    // the read here before writing into it, and write into its metadata
    // without reading it.
    interfaces::ReadHolder* get_submitted_read_holder(std::uint64_t read_tag);
    // The submitted read with that tag, or null, to be filled whole in place:
    // nothing is set aside (what an earlier call set aside comes back into
    // the read), the called values are written straight over the metadata
    // passed in, and retrieving the read has nothing to merge. Only for a
    // read retrieved right after it is filled, with nothing in between that
    // could send it again or hand it back, and no sub read of it to make:
    // once writing has begun, the read is no longer kept as it was passed in.
    interfaces::ReadHolder* get_submitted_read_to_fill_in_place(std::uint64_t read_tag);
    // Makes sub read `sub_tag` of submitted read `read_tag` from what that
    // read held when it was passed in (tags, priority, metadata, datasets and
    // its attachment; none of the called data written into it since, and no
    // coordinator), stores it among the sub reads being filled and returns
    // it. When that sub read exists already, returns it as it is. Null when
    // no read with that tag is submitted. Throws std::invalid_argument for a
    // `sub_tag` of 0. Use this rather than copying the submitted read: once
    // the read has been filled, a copy would carry its called data.
    interfaces::ReadHolder* create_temp_sub_read(std::uint64_t read_tag, std::uint64_t sub_tag);
    // Moves `read` in among the sub reads being filled, under its read tag
    // and sub tag, and returns the stored read; when that pair exists
    // already, the stored read stays, `read` is untouched, and the stored one
    // is returned.
    interfaces::ReadHolder* add_temp_sub_read(interfaces::ReadHolder& read);
    // Submitted read `read_tag` is finished: it goes to the output queue,
    // followed by its finished sub reads. Throws std::out_of_range, changing
    // nothing, when no read with that tag is submitted.
    void read_retrieved(std::uint64_t read_tag);
    // Sub read (read_tag, sub_tag) is finished: it waits for its parent, or
    // goes straight to the output queue when the parent is already there.
    // Throws std::out_of_range, changing nothing, when no such sub read is
    // being filled.
    void sub_read_retrieved(std::uint64_t read_tag, std::uint64_t sub_tag);
    // The reads of one completed batch, as returned by the operations above:
    // each by its tags as read_retrieved or sub_read_retrieved, in order,
    // under one lock. Every entry is checked first: on std::out_of_range (a
    // read not submitted or being filled) or std::invalid_argument (a null
    // pointer, a read or sub read twice) nothing has changed.
    void reads_retrieved(const std::vector<interfaces::ReadHolder*>& reads);
    // As above, for whole reads (sub tag 0) whose called data is still in
    // `fill`: the read at index i of `reads` is filled with fill->fill(i, ...)
    // by the thread that takes it out (get_reads_out), before it is handed
    // over.
    void reads_retrieved(const std::vector<interfaces::ReadHolder*>& reads, std::shared_ptr<const PendingFill> fill);
    // The server reports that it lost reads: every submitted read goes back
    // to the end of the output queue unprocessed, as it was passed in; their
    // sub reads are dropped (the reads carry no results).
    void clear_submitted_reads();
    // What building messages left: no_error, or the failure the worker ends
    // the read processing with.
    ErrorState get_error_state() const;

    // --- Worker thread, at every successful (re)connection -----------------

    // Takes the connection id and requeues: the reads the server may have
    // lost (submitted, in ascending tag order; handed back unprocessed once
    // one of them passes the resubmission limit) and then the queued ones,
    // each alone with new block messages carrying the new id. Resubmitted
    // reads are sent as they were passed in, with the samples they were
    // admitted with.
    void set_connection_id(std::string connection_id);

    // --- Worker thread, when the connection has ended for good -------------

    // Admission closes, and every read queued or at the server goes to the
    // output queue unprocessed, as it was passed in (those at the server
    // first, in tag order); sub reads being filled are dropped. A list still
    // being taken in is waited for and handed back with them. Returns how
    // many reads were handed back.
    std::uint64_t hand_back_unfinished_reads();

    // --- Application threads -------------------------------------------------

    // Moves every finished read to the end of `reads`, in output order,
    // writing the called data still pending into them first (outside the
    // lock). Should that throw (std::bad_alloc), the reads stay in the
    // buffer, to be taken out again, and `reads` is unchanged.
    void get_reads_out(interfaces::ReadList& reads);
    // Puts reads from get_reads_out back at the front of the output queue,
    // in their order, for a caller that could not take them after all.
    // Leaves `reads` empty; asks for no memory and never throws.
    void return_reads_out(interfaces::ReadList& reads) noexcept;
    void report_state(common::diagnostics::state::StateLogger& logger) const override;

    // Traces a read's barcoding keys when the validation domain is on: the
    // keys must all be there or all be absent. Changes nothing.
    // Takes a view: it is called with a fixed text at every hand-over of
    // every read, and only builds a string when the domain is on.
    static void validate_and_trace_metadata(const interfaces::ReadHolder& read, std::string_view text);

private:
    // What a read held when it was passed in: kept from the moment the
    // worker may first write called data into it, so that a sub read copies
    // only that, and a read sent again or handed back goes as it came. The
    // metadata is the read's own, moved here rather than copied: a returned
    // read gets it back with the called keys laid over it, which costs no
    // allocation, where a copy would cost one per entry of every read.
    struct PassedIn {
        kelp::data_wrappers::v2::Metadata metadata;
        std::vector<dataset> datasets;
    };

    // A read held between admission and retrieval.
    struct BufferedRead {
        interfaces::ReadHolder read;
        // The "duration" it was admitted with: the samples it is cut into,
        // whatever the server later writes into the read.
        std::uint64_t duration = 0;
        std::unique_ptr<PassedIn> passed_in;
    };

    using Entry = std::vector<BufferedRead>;
    using SubReadKey = std::pair<std::uint64_t, std::uint64_t>;

    // A read of a list being admitted: it stays in the caller's list until
    // its entry is queued.
    struct ListedRead {
        interfaces::ReadHolder* read;
        std::uint64_t duration;
    };

    // One entry of a list: a read travelling alone in block messages, or a
    // batch.
    struct ListEntry {
        std::vector<ListedRead> reads;
        bool single = false;
    };

    // The entry's messages into `messages`: the failure text when one comes
    // out UNSET (`messages` is then empty), else null. Throws as building
    // messages throws.
    const char* build_entry_messages(const ListEntry& entry, const std::string& connection_id,
                                     std::vector<ipc_tools::Message>& messages) const;
    // As build_entry_messages, a throw turned into the failure text.
    const char* build_arriving_entry_messages(const ListEntry& entry, const std::string& connection_id,
                                              std::vector<ipc_tools::Message>& messages) const;
    // Builds and queues the entries after the first of an admitted list, one
    // at a time, and leaves the waiting section after the last. A failure to
    // build hands the rest back unprocessed and fails the buffer.
    void queue_arriving_entries(const std::vector<ListEntry>& list_entries, std::string connection_id,
                                common::diagnostics::tracing::Trace& trace);
    // Mutex held: moves the entry's reads in and queues them with `messages`;
    // `arriving` for an entry after a list's first (see queue_entry_impl).
    void queue_list_entry(const ListEntry& listed, std::vector<ipc_tools::Message> messages, bool arriving);
    std::string current_connection_id() const;
    // Takes the mutex itself.
    void put_read_on_output_queue(interfaces::ReadHolder& read);

    // Mutex held by the caller for all of these.
    void wait_for_room(std::unique_lock<std::mutex>& lock, std::uint64_t wait_ms);
    bool has_room() const;
    // Leaves the waiting section: the last touch of the buffer by a caller
    // that entered it.
    void leave_waiting(common::diagnostics::tracing::Trace& trace);
    // Building messages failed: the buffer accepts nothing more and the
    // worker ends with the error. The caller notifies after unlocking.
    void fail_locked(const std::string& message);
    void queue_read_impl(BufferedRead read, std::vector<ipc_tools::Message> messages);
    // Appends one entry with its messages. An `arriving` entry (after a
    // list's first) wakes only the waits for a list's next entry, not the
    // worker's idle wait.
    void queue_entry_impl(Entry entry, std::vector<ipc_tools::Message> messages, const char* record_name,
                          bool arriving = false);
    std::string queues_string() const;
    // A high-frequency record of the queue sizes (nothing is built unless
    // that domain writes).
    void record_queues(const char* name) const;
    static common::diagnostics::tracing::details::TraceContext& hftrace_context();
    // The tags of a completed batch's reads, checked as reads_retrieved
    // says; with `whole_only`, every read must be a submitted whole read.
    // Under the lock.
    std::vector<SubReadKey> completed_batch_keys(const std::vector<interfaces::ReadHolder*>& reads,
                                                 bool whole_only) const;
    // Returns the read's place in the output queue.
    interfaces::ReadHolder* read_retrieved_impl(std::uint64_t read_tag, bool filled = true);
    void sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag);
    void fetch_and_empty_input_queue(std::deque<BufferedRead>& reads);
    void fetch_and_empty_submitted_reads(std::deque<BufferedRead>& reads, bool& ok);
    // True when building some read's messages failed.
    bool requeue_reads(std::deque<BufferedRead>& reads);
    void release_sub_reads(std::uint64_t read_tag);
    void hand_back_unprocessed(BufferedRead& read, const char* text);
    // Every read at the server goes back unprocessed with `text` and its sub
    // reads are released; returns how many went back.
    std::uint64_t hand_back_submitted_reads(const char* text);

    // The submitted read with that tag, or null; takes the mutex itself.
    // The read stays where it is until the worker, the caller, moves it.
    BufferedRead* find_submitted(std::uint64_t read_tag);
    static void keep_passed_in(BufferedRead& read);
    // The metadata passed in, with what the worker wrote laid over it, the
    // written values winning; nothing is set aside any more.
    static void lay_written_over_passed_in(BufferedRead& finished);
    static void restore_passed_in(BufferedRead& read);

    mutable std::mutex m_queue_mutex;
    std::condition_variable m_input_queue_event;
    // Wakes the worker's idle wait when a read is queued.
    mutable std::condition_variable m_reads_queued_event;
    std::deque<Entry> m_input_queue;
    // Entries queued over the buffer's life: the worker's idle wait ends
    // when it changes.
    std::uint64_t m_queued_entries_total = 0;
    std::map<std::uint64_t, BufferedRead> m_submitted_reads;
    std::map<std::uint64_t, std::uint32_t> m_resubmission_counts;
    std::map<SubReadKey, interfaces::ReadHolder> m_temp_sub_reads;
    std::list<std::vector<ipc_tools::Message>> m_message_queue_in;
    std::list<interfaces::ReadHolder> m_reads_out;
    // The reads of m_reads_out (by their place) whose called data is
    // pending, batch by batch in output order. The reads before `next` are
    // filled already (a fill that failed stopped there). A list, so that a
    // caller who fails to fill can put it back without asking for memory.
    struct UnfilledBatch {
        std::shared_ptr<const PendingFill> fill;
        std::vector<interfaces::ReadHolder*> reads;
        std::size_t next = 0;
    };
    std::list<UnfilledBatch> m_unfilled;
    std::uint64_t m_queued_reads = 0;
    // The reads and entries of admitted lists not queued yet: they count as
    // queued and take their room in the queue.
    std::uint64_t m_arriving_reads = 0;
    std::uint64_t m_arriving_entries = 0;
    // Reads of admitted lists handed back because building their messages
    // failed; counted into the next hand_back_unfinished_reads.
    std::uint64_t m_reads_handed_back_on_arrival = 0;
    std::uint64_t m_num_samples_in_queued_reads = 0;
    std::uint64_t m_max_input_queue_size = 0;
    std::uint64_t m_block_size = 256000;
    std::uint64_t m_max_read_failures = 10;
    std::string m_connection_id;
    bool m_no_more_data = false;
    ErrorState m_error_state;
    std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, interfaces::ReadHolder>>
            m_retrieved_sub_reads;
    std::uint64_t m_num_queue_read_waiting_threads = 0;
    std::unique_ptr<corvid::utils::concurrency::Latch> m_queue_read_latch;
};

}  // namespace strandlink
