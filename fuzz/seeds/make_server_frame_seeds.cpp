// Writes seed frames of the server_reply_frame target as the project's test
// server sends them: called blocks and completed batches of its simulated
// basecaller, with every result (moves, modified bases, barcoding, alignment
// with BED hits, poly tail) and with each way a faulty server spoils them.
// Usage: make_server_frame_seeds <folder>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "testing/called_blocks.h"
#include "testing/called_read.h"

namespace {

using namespace test_server;

void write(const std::string& path, Reply reply) {
    zmq::message_t frame = reply.take_frame();
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
}

RawRead raw_read(std::uint32_t tag, std::size_t num_samples) {
    RawRead read;
    read.read_tag = tag;
    read.read_id = "6f1b2c3d-0000-4000-8000-00000000000" + std::to_string(tag % 10);
    read.strand_id = read.read_id;
    read.start_time = 1000 * tag;
    read.num_sequor_events = num_samples;
    std::uint32_t state = tag * 2654435761u + 1;
    for (std::size_t i = 0; i < num_samples; ++i) {
        state = state * 1664525u + 1013904223u;
        read.samples.push_back(static_cast<std::int16_t>(300 + (state >> 24)));
    }
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_server_frame_seeds <folder>\n";
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/test_server_";

    CallOptions everything;
    everything.moves = true;
    everything.model_version_id = "model_v1";
    everything.modbase_model_version_id = "model_v1_5mCG";
    everything.barcode_kit = "kit_1";
    everything.references = {{"chr1", 100000}, {"chr2", 50000}};
    everything.bed = true;
    everything.poly_tail = true;

    const std::size_t bases_per_block = 40;
    const CalledRead full = expected_call(raw_read(7, 1200), everything);
    const std::size_t blocks = num_called_blocks(full, bases_per_block);
    write(folder + "first_called_block", called_block_reply(full, 0, blocks, bases_per_block));
    write(folder + "next_called_block", called_block_reply(full, 1, blocks, bases_per_block));
    write(folder + "last_called_block",
          called_block_reply(full, blocks - 1, blocks, bases_per_block));

    const CalledRead plain = expected_call(raw_read(8, 300), CallOptions{});
    write(folder + "plain_called_block", called_block_reply(plain, 0, 1, DEFAULT_CALLED_BLOCK_BASES));

    const CalledRead other = expected_call(raw_read(9, 500), everything);
    write(folder + "completed_batch",
          completed_batch_reply({{&full, 1, {}}, {&plain, 1, {}}, {&other, 1, {}}},
                                DEFAULT_CALLED_BLOCK_BASES));

    struct Spoiled {
        const char* name;
        Spoil spoil;
    };
    const Spoiled spoiled[] = {
            {"no_called_data", {Malformation::missing_field, WireField::called_data}},
            {"no_sequence", {Malformation::missing_field, WireField::sequence}},
            {"no_sam_record", {Malformation::missing_field, WireField::sam_record}},
            {"no_barcode_front", {Malformation::missing_field, WireField::barcode_front}},
            {"stride_zero", {Malformation::stride_zero, {}}},
            {"trimmed_over_duration", {Malformation::trimmed_over_duration, {}}},
            {"duration_zero", {Malformation::duration_zero, {}}},
            {"probs_mismatch", {Malformation::probs_mismatch, {}}},
            {"huge_lengths", {Malformation::huge_lengths, {}}},
            {"foreign_tag", {Malformation::foreign_tag, {}}},
            {"long_genome", {Malformation::long_genome, {}}},
            {"batch_without_blocks", {Malformation::batch_without_blocks, {}}},
            {"garbage", {Malformation::garbage, {}}},
    };
    for (const auto& s : spoiled) {
        const CalledRead call = expected_call(raw_read(10, 600), options_for_spoil(everything, s.spoil));
        const std::size_t n = num_called_blocks(call, bases_per_block);
        write(folder + "spoiled_" + s.name, called_block_reply(call, 0, n, bases_per_block, s.spoil));
    }
    write(folder + "spoiled_duplicate_tag",
          completed_batch_reply({{&full, 1, {Malformation::duplicate_tag, {}}}, {&plain, 1, {}}},
                                DEFAULT_CALLED_BLOCK_BASES));
    return 0;
}
