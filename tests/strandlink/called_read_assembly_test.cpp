// Filling a submitted read with what the server called: the results of this
// call replace whatever results the read was passed in with.

#include "strandlink/read_processing_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "data_model/data_set.h"
#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "testing/called_blocks.h"
#include "testing/called_read.h"

namespace {

using kelp::data_wrappers::v2::DataSetData;

// A read that comes back from an earlier call and is passed in again still
// holds that call's datasets. The new results replace them: its sequence is
// the new one, and its alignment keys are read from the new alignment table,
// not from the old one, which need not even be well formed.
TEST(CalledReadAssemblyTest, ThisCallsResultsReplaceThoseTheReadWasPassedWith) {
    test_server::RawRead raw;
    raw.read_tag = 1;
    raw.read_id = "read-1";
    raw.strand_id = "strand-1";
    for (int i = 0; i < 3000; ++i) {
        raw.samples.push_back(static_cast<std::int16_t>(400 + (i * 37) % 300));
    }
    test_server::CallOptions options;
    options.model_version_id = "model-2";
    options.moves = true;
    options.references = {{"chr7", 1000000}};
    const test_server::CalledRead call = test_server::expected_call(raw, options);
    ASSERT_FALSE(call.alignments.empty());
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(test_server::append_called_block(builder, call, 0, 1, call.sequence.size() + 1));
    const auto* block = flatbuffers::GetRoot<tessel_ipc::ReadBlockData>(builder.GetBufferPointer());

    interfaces::ReadHolder read;
    read.read_tag = 1;
    read.datasets.emplace(dataset::sequence, DataSetData::take_ownership(std::string("STALE")));
    read.datasets.emplace(dataset::movement, DataSetData::take_ownership(std::string("\x01\x00")));
    DataSetData old_table;
    old_table.own(interfaces::ReadAlignmentHelper::create_alignment_table(1));
    old_table.info.element_size += 1;  // rows that do not match the fields
    read.datasets.emplace(dataset::align_results, std::move(old_table));

    ASSERT_NO_THROW(strandlink::fill_checked_whole_read(*block, read));
    EXPECT_EQ(read.datasets.at(dataset::sequence).get_string(), call.sequence);
    EXPECT_EQ(read.datasets.at(dataset::movement).info.count, call.moves.size());
    EXPECT_EQ(read.get_by_name("alignment_genome"), call.alignments.front().genome);
    EXPECT_EQ(read.get_by_name("model_version_id"), "model-2");
}

}  // namespace
