// Called reads as the server returns them, assembled into the reads the
// client submitted. Each input is a script: a few reads the client passes
// (pushed to an in-process server that takes every block and batch), then
// the server's answers to the client's pulls: RETURN_FIRST_CALLED_BLOCK,
// RETURN_NEXT_CALLED_BLOCK and RETURN_COMPLETED_BATCH frames whose every
// field is present or absent and fuzzed (tags that name submitted reads or
// none, sub reads, block counts, sequences and qualities of any length,
// moves, modified-base data, barcoding, alignments with their SAM and BED
// texts), now and then with one byte of the finished frame changed. When the
// script runs out the server answers a pull with SUCCESS, which ends the
// read traffic with an error; when every read is back first, the server stops
// it. Every read that comes back then goes on to its SAM and BED lines.
//
// The read traffic may end with any error it reports, never with a crash; a
// read is refused whole or assembled from what the reply holds.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <zmq.hpp>

#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "fuzz_support.h"
#include "ipc_tools/ipc_tools.h"
#include "strandlink/read_buffer.h"
#include "strandlink/read_processing_protocol.h"
#include "strandlink/request_broker_adapter.h"

namespace {

namespace fb = flatbuffers;
using ipc_tools::Message;
using ipc_tools::MessageType;

const std::string CONNECTION_ID = "fuzz-client";

// Tag of the read that wakes an idle client; the fuzzed reads have 1 to 3.
constexpr unsigned long long WAKE_TAG = 1000;

interfaces::ReadHolder make_read(unsigned long long tag, std::size_t num_samples) {
    interfaces::ReadHolder read;
    read.read_tag = tag;
    std::vector<std::int16_t> samples(num_samples);
    for (std::size_t i = 0; i < num_samples; ++i) {
        samples[i] = static_cast<std::int16_t>(400 + (i * 37 + tag) % 200);
    }
    read.datasets[dataset::raw_data].own(std::move(samples));
    auto& m = read.metadata;
    const std::string id = "read-" + std::to_string(tag);
    m.insert("duration", static_cast<unsigned long long>(num_samples));
    m.insert("daq_offset", 4.5f);
    m.insert("daq_scaling", 0.25f);
    m.insert("read_id", id);
    m.insert("strand_id", id);
    m.insert("sampling_rate", 4000.0f);
    return read;
}

// The in-process server: answers every push, and each pull with the next
// scripted frame. It also stands in for the application's end: a client
// whose reads are all back waits for more, so once that happens the server
// stops the read traffic and wakes it with one more read.
class ScriptedServer {
public:
    ScriptedServer()
        : m_endpoint("ipc:///tmp/strandlink_fuzz_assembly_" + std::to_string(getpid())),
          m_context(1),
          m_socket(m_context, zmq::socket_type::rep) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(m_endpoint);
        m_thread = std::thread([this] { serve(); });
    }

    const std::string& endpoint() const { return m_endpoint; }

    void begin_run(std::deque<std::string> frames, strandlink::ReadBuffer* buffer,
                   strandlink::ReadProcessingProtocol* protocol) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames = std::move(frames);
        m_buffer = buffer;
        m_protocol = protocol;
    }

    // After this the server no longer touches the run's buffer or protocol.
    void end_run() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.clear();
        m_buffer = nullptr;
        m_protocol = nullptr;
    }

private:
    void serve() {
        for (;;) {
            zmq::pollitem_t item{m_socket.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq::poll(&item, 1, std::chrono::milliseconds(1)) == 0) {
                stop_idle_run();
                continue;
            }
            zmq::message_t request;
            if (!m_socket.recv(request)) {
                continue;
            }
            MessageType type = MessageType::UNSET;
            try {
                type = Message(std::move(request)).get_type();
            } catch (const std::runtime_error&) {
            }
            zmq::message_t reply = answer(type);
            m_socket.send(reply, zmq::send_flags::none);
        }
    }

    void stop_idle_run() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_buffer == nullptr || !m_buffer->all_reads_processed()) {
            return;
        }
        m_protocol->stop();
        // A read of its own tag ends the client's idle wait at once.
        interfaces::ReadHolder wake = make_read(WAKE_TAG, 100);
        m_buffer->queue_read(wake, 0);
        m_buffer = nullptr;
        m_protocol = nullptr;
    }

    static zmq::message_t simple(MessageType type) {
        zmq::message_t frame;
        Message(type, "", 0, "").transfer_to_zmq(frame);
        return frame;
    }

    zmq::message_t answer(MessageType type) {
        switch (type) {
            case MessageType::HEARTBEAT_PING: return simple(MessageType::HEARTBEAT_ECHO);
            case MessageType::PASS_FIRST_RAW_BLOCK:
            case MessageType::PASS_NEXT_RAW_BLOCK: return simple(MessageType::RAW_BLOCK_ACCEPTED);
            case MessageType::PASS_READ_BATCH: return simple(MessageType::BATCH_ACCEPTED);
            case MessageType::GET_FIRST_CALLED_BLOCK:
            case MessageType::GET_NEXT_CALLED_BLOCK: {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_frames.empty()) {
                    return simple(MessageType::SUCCESS);  // ends the read traffic
                }
                zmq::message_t frame(m_frames.front().data(), m_frames.front().size());
                m_frames.pop_front();
                return frame;
            }
            default: return simple(MessageType::BAD_REQUEST);
        }
    }

    std::string m_endpoint;
    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::thread m_thread;
    std::mutex m_mutex;
    std::deque<std::string> m_frames;
    strandlink::ReadBuffer* m_buffer = nullptr;
    strandlink::ReadProcessingProtocol* m_protocol = nullptr;
};

// True one time in `n`; false once the input is used up, so that a short
// input takes the common path.
bool rare(FuzzedDataProvider& p, int n) { return p.ConsumeIntegralInRange(1, n) == n; }

// Floats from raw bits, so NaN, infinities and subnormals come up.
float any_float(FuzzedDataProvider& p) {
    const auto bits = p.ConsumeIntegral<std::uint32_t>();
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::string text_of(FuzzedDataProvider& p, const std::vector<std::string>& pieces, std::size_t max_pieces) {
    std::string text;
    const std::size_t count = p.ConsumeIntegralInRange<std::size_t>(0, max_pieces);
    for (std::size_t i = 0; i < count; ++i) {
        text += p.ConsumeBool() ? pieces[p.ConsumeIntegralInRange<std::size_t>(0, pieces.size() - 1)]
                                : p.ConsumeRandomLengthString(6);
    }
    return text;
}

std::string bases(FuzzedDataProvider& p, std::size_t length) {
    static const char CODES[] = "ACGTACGTACGTN";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += CODES[p.ConsumeIntegralInRange<std::size_t>(0, sizeof(CODES) - 2)];
    }
    return text;
}

// A string offset, absent one time in `absent_one_in`.
fb::Offset<fb::String> maybe_string(fb::FlatBufferBuilder& b, FuzzedDataProvider& p, const std::string& text,
                                    int absent_one_in = 8) {
    if (rare(p, absent_one_in)) {
        return 0;
    }
    return b.CreateString(text);
}

std::string sam_text(FuzzedDataProvider& p, int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        if (i > 0) {
            text += '\n';
        }
        const int columns = !p.ConsumeBool() ? 11 : p.ConsumeIntegralInRange(0, 13);
        for (int c = 0; c < columns; ++c) {
            if (c > 0) {
                text += '\t';
            }
            text += c == 2 && p.ConsumeBool() ? (p.ConsumeBool() ? "*" : "chr1") : p.ConsumeRandomLengthString(10);
        }
    }
    return text;
}

fb::Offset<tessel_ipc::AlignmentResults> alignment(fb::FlatBufferBuilder& b, FuzzedDataProvider& p) {
    const std::size_t genome_length =
            !p.ConsumeBool() ? p.ConsumeIntegralInRange<std::size_t>(0, 12) : p.ConsumeIntegralInRange<std::size_t>(240, 300);
    const auto genome = maybe_string(b, p, std::string(genome_length, 'g') + p.ConsumeRandomLengthString(4));
    const int bed_hits = !p.ConsumeBool() ? p.ConsumeIntegralInRange(-1, 3) : p.ConsumeIntegral<int>();
    const auto sam = maybe_string(b, p, sam_text(p, p.ConsumeIntegralInRange(0, 2)));
    static const std::vector<std::string> BED{"chr1\t10\t20\tgene", "\n", "\t"};
    const auto bed = maybe_string(b, p, text_of(p, BED, 6));
    tessel_ipc::AlignmentResultsBuilder r(b);
    if (!genome.IsNull()) r.add_Genome(genome);
    r.add_GenomeStart(p.ConsumeIntegral<int>());
    r.add_GenomeEnd(p.ConsumeIntegral<int>());
    r.add_StrandStart(p.ConsumeIntegral<int>());
    r.add_StrandEnd(p.ConsumeIntegral<int>());
    r.add_NumEvents(p.ConsumeIntegral<int>());
    r.add_NumInsertions(p.ConsumeIntegral<int>());
    r.add_NumDeletions(p.ConsumeIntegral<int>());
    r.add_NumAligned(p.ConsumeIntegral<int>());
    r.add_NumCorrect(p.ConsumeIntegral<int>());
    r.add_Coverage(any_float(p));
    r.add_Identity(any_float(p));
    r.add_Accuracy(any_float(p));
    r.add_StrandScore(p.ConsumeIntegral<int>());
    if (!sam.IsNull()) r.add_SamRecord(sam);
    r.add_BedHits(bed_hits);
    if (!bed.IsNull()) r.add_BedLines(bed);
    r.add_Direction(p.ConsumeIntegral<std::int8_t>());
    r.add_MappingQuality(p.ConsumeIntegral<int>());
    r.add_IsSecondary(p.ConsumeBool());
    r.add_IsSupplementary(p.ConsumeBool());
    return r.Finish();
}

fb::Offset<tessel_ipc::BarcodeResults> barcode_end(fb::FlatBufferBuilder& b, FuzzedDataProvider& p) {
    return tessel_ipc::CreateBarcodeResults(b, maybe_string(b, p, "", 2), any_float(p), p.ConsumeIntegral<int>(),
                                            p.ConsumeIntegral<int>());
}

// The called data of one block; `first` carries everything, later blocks
// their pieces of sequence, qualities, moves and probabilities.
fb::Offset<tessel_ipc::CalledBlockData> called_data(fb::FlatBufferBuilder& b, FuzzedDataProvider& p, bool first) {
    const std::size_t length = p.ConsumeIntegralInRange<std::size_t>(0, 48);
    const auto sequence = maybe_string(b, p, rare(p, 8) ? p.ConsumeRandomLengthString(48)
                                                                                : bases(p, length));
    const std::size_t qlength = rare(p, 8) ? p.ConsumeIntegralInRange<std::size_t>(0, 48) : length;
    std::string qualities;
    for (std::size_t i = 0; i < qlength; ++i) {
        qualities += static_cast<char>(rare(p, 8) ? p.ConsumeIntegral<char>()
                                                                                 : p.ConsumeIntegralInRange<int>('!', 'J'));
    }
    const auto qstring = maybe_string(b, p, qualities);

    fb::Offset<fb::Vector<std::uint8_t>> moves;
    if (p.ConsumeBool()) {
        moves = b.CreateVector(p.ConsumeBytes<std::uint8_t>(p.ConsumeIntegralInRange<std::size_t>(0, 96)));
    }
    fb::Offset<tessel_ipc::BaseModData> base_mod;
    if (p.ConsumeBool()) {
        static const std::vector<std::string> TOKENS{"C", "m", "h", " ", "A", "a", "G", "123", "CG", "mx"};
        static const std::vector<std::string> CONTEXT{"_", ":", "XG", "X", "CXG", "_:XG:_:_", "N"};
        const std::string alphabet = !p.ConsumeBool() ? std::string("C m h") : text_of(p, TOKENS, 6);
        std::size_t channels = 0;
        for (std::size_t i = 0; i < alphabet.size(); ++i) {
            channels += alphabet[i] != ' ' && (i == 0 || alphabet[i - 1] == ' ');
        }
        std::size_t count = length * channels;
        if (rare(p, 6)) {
            count = p.ConsumeIntegralInRange<std::size_t>(0, 200);
        }
        const auto probs = b.CreateVector(p.ConsumeBytes<std::uint8_t>(count));
        if (first) {
            base_mod = tessel_ipc::CreateBaseModData(
                    b, maybe_string(b, p, alphabet), maybe_string(b, p, "5mC 5hmC"),
                    maybe_string(b, p, !p.ConsumeBool() ? std::string("_:XG:_:_") : text_of(p, CONTEXT, 5)),
                    rare(p, 8) ? 0 : probs);
        } else {
            base_mod = tessel_ipc::CreateBaseModData(b, 0, 0, 0, probs);
        }
    }
    if (!first) {
        tessel_ipc::CalledBlockDataBuilder c(b);
        if (!sequence.IsNull()) c.add_sequence(sequence);
        if (!qstring.IsNull()) c.add_qstring(qstring);
        if (!moves.IsNull()) c.add_moves(moves);
        if (!base_mod.IsNull()) c.add_base_mod(base_mod);
        return c.Finish();
    }

    const auto basecall_type = maybe_string(b, p, "1D");
    const auto model = maybe_string(b, p, p.ConsumeRandomLengthString(16));
    const auto modbase_model = maybe_string(b, p, p.ConsumeRandomLengthString(16));
    fb::Offset<tessel_ipc::ScalingData> scaling;
    if (p.ConsumeBool()) {
        scaling = tessel_ipc::CreateScalingData(b, any_float(p), any_float(p),
                                                maybe_string(b, p, p.ConsumeRandomLengthString(12), 3));
    }
    fb::Offset<tessel_ipc::BarcodeArrangementResults> barcoding;
    if (p.ConsumeBool()) {
        const auto arrangement = maybe_string(b, p, p.ConsumeRandomLengthString(12));
        const auto kit = maybe_string(b, p, p.ConsumeRandomLengthString(12));
        const auto variant = maybe_string(b, p, "n/a");
        const auto front = rare(p, 8) ? 0 : barcode_end(b, p);
        const auto rear = rare(p, 8) ? 0 : barcode_end(b, p);
        barcoding = tessel_ipc::CreateBarcodeArrangementResults(b, p.ConsumeIntegral<int>(), p.ConsumeIntegral<int>(),
                                                                arrangement, kit, variant, any_float(p), front, rear);
    }
    fb::Offset<fb::Vector<fb::Offset<tessel_ipc::AlignmentResults>>> alignments;
    if (p.ConsumeBool()) {
        std::vector<fb::Offset<tessel_ipc::AlignmentResults>> hits;
        const int n = p.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < n; ++i) {
            hits.push_back(alignment(b, p));
        }
        alignments = b.CreateVector(hits);
    }
    const std::uint32_t moves_length =
            !p.ConsumeBool() ? p.ConsumeIntegralInRange<std::uint32_t>(0, 200) : p.ConsumeIntegral<std::uint32_t>();
    const std::uint32_t sequence_length =
            !p.ConsumeBool() ? p.ConsumeIntegralInRange<std::uint32_t>(0, 100) : p.ConsumeIntegral<std::uint32_t>();
    const std::uint32_t stride = rare(p, 12) ? 0 : p.ConsumeIntegralInRange<std::uint32_t>(1, 12);
    const std::uint32_t trimmed = p.ConsumeIntegralInRange<std::uint32_t>(0, 600);
    return tessel_ipc::CreateCalledBlockData(b, moves_length, sequence_length, any_float(p), any_float(p),
                                             any_float(p), stride, trimmed, sequence, qstring, basecall_type, scaling,
                                             moves, base_mod, barcoding, alignments, model, modbase_model,
                                             p.ConsumeIntegral<int>());
}

fb::Offset<tessel_ipc::ReadBlockData> block(fb::FlatBufferBuilder& b, FuzzedDataProvider& p,
                                            tessel_ipc::ReadBlockType type, std::uint32_t read_tag,
                                            std::uint32_t sub_tag, std::uint32_t block_index, std::uint32_t num_blocks) {
    const bool first = type != tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK;
    const auto called = rare(p, 16) ? 0 : called_data(b, p, first);
    const auto strand_id = maybe_string(b, p, "strand-" + p.ConsumeRandomLengthString(8), 12);
    fb::Offset<fb::String> duplex_1;
    fb::Offset<fb::String> duplex_2;
    if (rare(p, 6)) {
        duplex_1 = maybe_string(b, p, p.ConsumeRandomLengthString(8), 3);
        duplex_2 = maybe_string(b, p, p.ConsumeRandomLengthString(8), 3);
    }
    const std::uint32_t duration =
            rare(p, 8) ? p.ConsumeIntegral<std::uint32_t>() : p.ConsumeIntegralInRange<std::uint32_t>(1, 600);
    tessel_ipc::ReadBlockDataBuilder r(b);
    r.add_type(type);
    r.add_read_tag(read_tag);
    r.add_block_index(block_index);
    r.add_num_blocks(num_blocks);
    r.add_duration(duration);
    if (!called.IsNull()) r.add_called_data(called);
    r.add_sub_tag(sub_tag);
    if (!strand_id.IsNull()) r.add_strand_id(strand_id);
    r.add_start_time(p.ConsumeIntegral<std::uint64_t>());
    r.add_num_sequor_events(p.ConsumeIntegral<std::uint64_t>());
    if (!duplex_1.IsNull()) r.add_duplex_strand_1(duplex_1);
    if (!duplex_2.IsNull()) r.add_duplex_strand_2(duplex_2);
    r.add_is_duplex_parent(rare(p, 8));
    return r.Finish();
}

std::string finish(fb::FlatBufferBuilder& b, FuzzedDataProvider& p, tessel_ipc::Content content,
                   fb::Offset<void> table) {
    b.Finish(tessel_ipc::CreateMessageData(b, &ipc_tools::current_version(), b.CreateString(CONNECTION_ID), content,
                                           table),
             tessel_ipc::MessageDataIdentifier());
    std::string frame(reinterpret_cast<const char*>(b.GetBufferPointer()), b.GetSize());
    if (rare(p, 16)) {
        // Damage one byte: a frame that fails verification, or one that
        // passes with another field than was built.
        frame[p.ConsumeIntegralInRange<std::size_t>(0, frame.size() - 1)] = p.ConsumeIntegral<char>();
    }
    return frame;
}

// A read tag: one of the submitted reads' mostly, any other now and then.
std::uint32_t pick_tag(FuzzedDataProvider& p, std::size_t num_reads) {
    if (rare(p, 10)) {
        return p.ConsumeIntegral<std::uint32_t>();
    }
    return static_cast<std::uint32_t>(p.ConsumeIntegralInRange<std::size_t>(1, num_reads));
}

std::uint32_t pick_sub_tag(FuzzedDataProvider& p) {
    return rare(p, 4) ? p.ConsumeIntegralInRange<std::uint32_t>(1, 3) : 0;
}

std::deque<std::string> script(FuzzedDataProvider& p, std::size_t num_reads) {
    std::deque<std::string> frames;
    const int replies = p.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < replies && p.remaining_bytes() > 0; ++i) {
        fb::FlatBufferBuilder b;
        switch (p.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                // A batch of whole reads.
                std::vector<fb::Offset<tessel_ipc::ReadBlockData>> blocks;
                const int n = p.ConsumeIntegralInRange(0, 3);
                for (int k = 0; k < n; ++k) {
                    blocks.push_back(block(b, p, tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, pick_tag(p, num_reads),
                                           pick_sub_tag(p), 0, 1));
                }
                const auto vector = rare(p, 10) ? 0 : b.CreateVector(blocks);
                const auto type = rare(p, 10) ? tessel_ipc::ReadBatchType_PASS_READ_BATCH
                                                                      : tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH;
                frames.push_back(finish(b, p, tessel_ipc::Content_ReadBatchData,
                                        tessel_ipc::CreateReadBatchData(b, type, vector).Union()));
                break;
            }
            case 1: {
                // A lone later block, out of order.
                const auto t = block(b, p, tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK, pick_tag(p, num_reads),
                                     pick_sub_tag(p), p.ConsumeIntegralInRange<std::uint32_t>(0, 3),
                                     p.ConsumeIntegralInRange<std::uint32_t>(0, 3));
                frames.push_back(finish(b, p, tessel_ipc::Content_ReadBlockData, t.Union()));
                break;
            }
            default: {
                // A read in blocks: the first, then its later ones as the
                // client asks for them.
                const std::uint32_t tag = pick_tag(p, num_reads);
                const std::uint32_t sub_tag = pick_sub_tag(p);
                const std::uint32_t num_blocks = rare(p, 16)
                                                         ? p.ConsumeIntegral<std::uint32_t>()
                                                         : p.ConsumeIntegralInRange<std::uint32_t>(1, 3);
                const auto t = block(b, p, tessel_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, tag, sub_tag, 0,
                                     num_blocks);
                frames.push_back(finish(b, p, tessel_ipc::Content_ReadBlockData, t.Union()));
                for (std::uint32_t k = 1; k < num_blocks && k < 4; ++k) {
                    fb::FlatBufferBuilder next;
                    const bool same = p.ConsumeIntegralInRange(0, 9) != 0;
                    const auto n = block(next, p, tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK,
                                         same ? tag : pick_tag(p, num_reads), same ? sub_tag : pick_sub_tag(p), k,
                                         num_blocks);
                    frames.push_back(finish(next, p, tessel_ipc::Content_ReadBlockData, n.Union()));
                }
                break;
            }
        }
    }
    return frames;
}

struct Connection {
    ScriptedServer server;
    strandlink::RequestBrokerAdapter adapter;
    Connection() { FUZZ_CHECK(adapter.prepare_connection(server.endpoint(), 2000)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // One server and one connection for the whole run, as a client keeps its
    // connection from read to read.
    static Connection* connection = new Connection();
    FuzzedDataProvider p(bytes, size);

    strandlink::ReadBuffer buffer;
    buffer.set_block_size(p.ConsumeBool() ? 128 : 256000);
    buffer.set_max_input_queue_size(100);
    buffer.set_connection_id(CONNECTION_ID);
    // One by one (each read in block messages), or as one list (short reads
    // share a batch message).
    const std::size_t num_reads = p.ConsumeIntegralInRange<std::size_t>(1, 3);
    interfaces::ReadList list;
    for (std::size_t tag = 1; tag <= num_reads; ++tag) {
        list.push_back(make_read(tag, p.ConsumeIntegralInRange<std::size_t>(100, 400)));
    }
    if (p.ConsumeBool()) {
        FUZZ_CHECK(buffer.queue_reads(list, 0) == strandlink::BufferQueueReadsResult::queued);
    } else {
        for (auto& read : list) {
            FUZZ_CHECK(buffer.queue_read(read, 0) == strandlink::BufferQueueReadsResult::queued);
        }
    }

    strandlink::ReadProcessingProtocol protocol;
    protocol.set_connection_id(CONNECTION_ID);
    protocol.set_enable_moves(p.ConsumeBool());
    connection->server.begin_run(script(p, num_reads), &buffer, &protocol);
    const strandlink::ErrorState error = protocol.process_reads(&buffer, &connection->adapter);
    connection->server.end_run();
    // Stopped once every read is back, or ended by a reply it cannot use,
    // with a reason; the server always answers at once.
    FUZZ_CHECK(error.code == strandlink::ConnectionError::no_error || !error.message.empty());
    FUZZ_CHECK(error.code != strandlink::ConnectionError::timed_out);

    interfaces::ReadList reads;
    buffer.get_reads_out(reads);
    fuzz_support::Sink sink;
    const auto threshold = p.ConsumeIntegral<unsigned char>();
    for (const auto& read : reads) {
        try {
            for (const auto& line :
                 interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, threshold, true)) {
                FUZZ_CHECK(line.sam_line.find('\n') == std::string::npos);
                sink.take(line.sam_line);
            }
        } catch (const std::runtime_error&) {
        } catch (const std::out_of_range&) {
        }
    }
    return 0;
}
