#include "ipc_tools/fbbuilder_read_helper.h"

#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using namespace ipc_tools;
using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataTable;

interfaces::ReadHolder make_read(std::size_t num_samples, unsigned long long read_tag = 17) {
    interfaces::ReadHolder read;
    read.read_tag = read_tag;
    read.sub_tag = 3;
    std::vector<short> samples(num_samples);
    for (std::size_t i = 0; i < num_samples; ++i) {
        samples[i] = static_cast<short>(i * 7 - 3000);
    }
    DataSetData raw;
    raw.own(std::move(samples));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    auto& metadata = read.metadata;
    metadata.insert("duration", static_cast<unsigned long long>(num_samples));
    metadata.insert("daq_offset", 4.5f);
    metadata.insert("daq_scaling", 0.25f);
    metadata.insert("read_id", std::string("6f1b2c3d-0000-4000-8000-123456789abc"));
    metadata.insert("strand_id", std::string("6f1b2c3d-0000-4000-8000-123456789abc_1"));
    metadata.insert("sampling_rate", 4000.0f);
    return read;
}

// A message as the server receives it.
Message received(const Message& message) {
    zmq::message_t frame;
    Message copy = message.copy();
    copy.transfer_to_zmq(frame);
    return Message(std::move(frame));
}

// Builds one block with `append` into a fresh buffer and returns the verified
// block as a received message (kept alive by `holder`).
template <typename Append>
const tessel_ipc::ReadBlockData* build_block(Message& holder, Append append) {
    flatbuffers::FlatBufferBuilder builder;
    const auto block = append(builder);
    const auto root = tessel_ipc::CreateMessageData(builder, &current_version(), 0,
                                                    tessel_ipc::Content_ReadBlockData, block.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    holder = received(Message(builder));
    return holder.get_message_data()->content_as_ReadBlockData();
}

template <typename T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

TEST(ReadBlockMessagesTest, CutsTheSignalIntoBlocks) {
    struct Case {
        std::size_t duration;
        std::size_t block_size;
        std::vector<std::size_t> block_lengths;
    };
    const std::vector<Case> cases = {
            {1000, 1000, {1000}},
            {1001, 1000, {1000, 1}},
            {2500, 1000, {1000, 1000, 500}},
            {999, 1000, {999}},
            {0, 1000, {}},
            {5, 1, {1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("duration " + std::to_string(c.duration) + ", block size " +
                     std::to_string(c.block_size));
        const auto read = make_read(c.duration);
        const short* samples = read.datasets.at(dataset::raw_data).get_array<short>();
        const auto messages = create_read_block_messages(read, "conn-1", c.block_size);
        ASSERT_EQ(messages.size(), c.block_lengths.size());
        std::size_t offset = 0;
        for (std::size_t k = 0; k < messages.size(); ++k) {
            SCOPED_TRACE("block " + std::to_string(k));
            EXPECT_EQ(messages[k].get_type(), k == 0 ? PASS_FIRST_RAW_BLOCK : PASS_NEXT_RAW_BLOCK);
            const Message message = received(messages[k]);
            const auto* data = message.get_message_data();
            EXPECT_EQ(data->client_id()->str(), "conn-1");
            const auto* block = data->content_as_ReadBlockData();
            ASSERT_NE(block, nullptr);
            // Block 0's type is the default and so is not on the wire.
            EXPECT_EQ(has_field(block, tessel_ipc::ReadBlockData::VT_TYPE), k != 0);
            EXPECT_EQ(block->block_index(), k);
            EXPECT_EQ(block->num_blocks(), c.block_lengths.size());
            EXPECT_EQ(block->duration(), c.duration);
            ASSERT_NE(block->raw_data(), nullptr);
            ASSERT_EQ(block->raw_data()->size(), c.block_lengths[k]);
            EXPECT_EQ(std::memcmp(block->raw_data()->data(), samples + offset,
                                  c.block_lengths[k] * sizeof(short)),
                      0);
            EXPECT_EQ(block->read_id()->str(), "6f1b2c3d-0000-4000-8000-123456789abc");
            offset += c.block_lengths[k];
        }
        EXPECT_EQ(offset, c.duration);
    }
}

TEST(ReadBlockMessagesTest, DurationBeyondTheSignalIsRefused) {
    // The block count comes from "duration"; one that the raw signal does not
    // cover must fail, not wrap into a small count or read past the samples.
    const std::vector<unsigned long long> durations = {101, 1ull << 32, ~0ull, ~0ull - 998};
    for (const auto duration : durations) {
        SCOPED_TRACE("duration " + std::to_string(duration));
        auto read = make_read(100);
        read.metadata.insert("duration", duration);
        EXPECT_THROW(create_read_block_messages(read, "id", 1000), std::out_of_range);
        std::vector<interfaces::ReadHolder> reads;
        reads.push_back(make_read(10));
        reads.push_back(std::move(read));
        EXPECT_THROW(create_read_batch_message(reads, "id"), std::out_of_range);
    }
    auto unmeasured = make_read(100);
    unmeasured.metadata.remove("duration");
    EXPECT_THROW(create_read_block_messages(unmeasured, "id", 1000), std::out_of_range);
}

TEST(ReadBlockMessagesTest, EmptyClientIdIsStillWritten) {
    const auto messages = create_read_block_messages(make_read(10), "", 100);
    ASSERT_EQ(messages.size(), 1u);
    const Message message = received(messages[0]);
    const auto* client_id = message.get_message_data()->client_id();
    ASSERT_NE(client_id, nullptr);
    EXPECT_EQ(client_id->size(), 0u);
}

TEST(ReadBlockMessagesTest, FullBlockIsWrittenWithoutTheBuilderGrowing) {
    // Counts buffer growth of a builder that starts at the size we promise.
    class CountingAllocator : public flatbuffers::DefaultAllocator {
    public:
        uint8_t* reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size,
                                     size_t in_use_back, size_t in_use_front) override {
            ++reallocations;
            return flatbuffers::DefaultAllocator::reallocate_downward(old_p, old_size, new_size,
                                                                     in_use_back, in_use_front);
        }
        int reallocations = 0;
    };
    auto read = make_read(256000);
    read.metadata.insert("run_id", std::string(200, 'r'));
    read.metadata.insert("channel", 12);
    read.metadata.insert("mux", 3u);
    read.metadata.insert("sequencing_kit", std::string(100, 'k'));
    read.metadata.insert("flow_cell_product_code", std::string(100, 'f'));
    const std::string client_id(64, 'c');

    CountingAllocator allocator;
    {
        flatbuffers::FlatBufferBuilder builder(block_message_initial_size(read, 256000, client_id),
                                               &allocator);
        const auto block = append_read_block_data(builder, read, 256000, 0, 1, 0);
        const auto root = tessel_ipc::CreateMessageData(builder, &current_version(),
                                                        builder.CreateString(client_id),
                                                        tessel_ipc::Content_ReadBlockData,
                                                        block.Union());
        tessel_ipc::FinishMessageDataBuffer(builder, root);
        EXPECT_EQ(allocator.reallocations, 0);
    }
}

TEST(ReadBlockDataTest, CarriesTheReadsMetadata) {
    auto read = make_read(100, (1ull << 32) + 5);
    read.sub_tag = (1ull << 32) + 9;
    read.metadata.insert("duration", (1ull << 32) + 100);  // more than the samples: not read here
    read.metadata.insert("start_time", (1ull << 40) + 1);
    read.metadata.insert("num_sequor_events", (1ull << 33) + 2);
    read.metadata.insert("sequencing_kit", std::string("kit-1"));
    Message holder;
    const auto* block = build_block(holder, [&](auto& builder) {
        return append_read_block_data(builder, read, 40, 2, 3, 60);
    });
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->type(), tessel_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK);
    EXPECT_EQ(block->read_tag(), 5u);
    EXPECT_EQ(block->sub_tag(), 9u);
    EXPECT_EQ(block->duration(), 100u);
    EXPECT_EQ(block->block_index(), 2u);
    EXPECT_EQ(block->num_blocks(), 3u);
    EXPECT_FLOAT_EQ(block->daq_offset(), 4.5f);
    EXPECT_FLOAT_EQ(block->daq_scaling(), 0.25f);
    EXPECT_FLOAT_EQ(block->sampling_rate(), 4000.0f);
    EXPECT_EQ(block->start_time(), (1ull << 40) + 1);
    EXPECT_EQ(block->num_sequor_events(), (1ull << 33) + 2);
    EXPECT_EQ(block->strand_id()->str(), "6f1b2c3d-0000-4000-8000-123456789abc_1");
    EXPECT_EQ(block->sequencing_kit()->str(), "kit-1");
    EXPECT_EQ(block->flow_cell_product_code(), nullptr);
    EXPECT_EQ(block->duplex_pairing(), nullptr);
    EXPECT_EQ(block->called_data(), nullptr);
    EXPECT_FALSE(block->is_duplex_parent());
    ASSERT_EQ(block->raw_data()->size(), 40u);
    EXPECT_EQ(block->raw_data()->Get(0), static_cast<short>(60 * 7 - 3000));
}

TEST(ReadBlockDataTest, OptionalKeys) {
    struct Case {
        const char* name;
        void (*edit)(kelp::data_wrappers::v2::Metadata&);
        bool duplex;
        unsigned long long start_time;
    };
    const Case cases[] = {
            {"no optional keys", [](auto&) {}, false, 0},
            {"channel and mux without run_id",
             [](auto& m) { m.insert("channel", 5); m.insert("mux", 2u); }, false, 0},
            {"all duplex keys",
             [](auto& m) { m.insert("channel", 5); m.insert("mux", 2u); m.insert("run_id", std::string("run")); },
             true, 0},
            {"start_time of another type counts as missing",
             [](auto& m) { m.insert("start_time", 12); }, false, 0},
            {"start_time", [](auto& m) { m.insert("start_time", 12ull); }, false, 12},
            {"num_sequor_events of another type counts as missing",
             [](auto& m) { m.insert("num_sequor_events", 7u); }, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = make_read(250);
        c.edit(read.metadata);
        for (const auto& message : create_read_block_messages(read, "id", 100)) {
            const Message copy = received(message);
            const auto* block = copy.get_message_data()->content_as_ReadBlockData();
            EXPECT_EQ(block->start_time(), c.start_time);
            EXPECT_EQ(block->num_sequor_events(), 0u);
            ASSERT_EQ(block->duplex_pairing() != nullptr, c.duplex);
            if (c.duplex) {
                EXPECT_EQ(block->duplex_pairing()->channel(), 5);
                EXPECT_EQ(block->duplex_pairing()->mux(), 2u);
                EXPECT_EQ(block->duplex_pairing()->run_id()->str(), "run");
            }
        }
    }
}

TEST(ReadBlockDataTest, FailuresLeaveTheBuilderUsable) {
    struct Case {
        const char* name;
        void (*edit)(interfaces::ReadHolder&);
        std::size_t num_samples;
        std::size_t offset;
        const char* what;  // null: only the exception type is checked
        bool out_of_range;
    };
    const Case cases[] = {
            {"no raw signal", [](auto& r) { r.datasets.clear(); }, 10, 0, nullptr, true},
            {"32-bit samples, empty block",
             [](auto& r) {
                 DataSetData wide;
                 wide.own(std::vector<int>(100));
                 r.datasets.erase(dataset::raw_data);
                 r.datasets.emplace(dataset::raw_data, std::move(wide));
             },
             0, 0, "Invalid array type requested.", false},
            {"no sampling_rate", [](auto& r) { r.metadata.remove("sampling_rate"); }, 10, 0, nullptr, true},
            {"no read_id", [](auto& r) { r.metadata.remove("read_id"); }, 10, 0, nullptr, true},
            {"channel of another type",
             [](auto& r) { r.metadata.insert("channel", 1u); r.metadata.insert("mux", 1u);
                           r.metadata.insert("run_id", std::string("x")); },
             10, 0, nullptr, true},
            {"sequencing_kit of another type",
             [](auto& r) { r.metadata.insert("sequencing_kit", 3); }, 10, 0, nullptr, true},
            {"flow_cell_product_code of another type",
             [](auto& r) { r.metadata.insert("flow_cell_product_code", 3); }, 10, 0, nullptr, true},
            {"mux of another type",
             [](auto& r) { r.metadata.insert("channel", 1); r.metadata.insert("mux", 1);
                           r.metadata.insert("run_id", std::string("x")); },
             10, 0, nullptr, true},
            {"run_id of another type",
             [](auto& r) { r.metadata.insert("channel", 1); r.metadata.insert("mux", 1u);
                           r.metadata.insert("run_id", 5); },
             10, 0, nullptr, true},
            {"duration of another type",
             [](auto& r) { r.metadata.insert("duration", 100u); }, 10, 0, nullptr, true},
            {"block past the end", [](auto&) {}, 11, 90, nullptr, true},
            {"offset past the end", [](auto&) {}, 0, 101, nullptr, true},
            {"huge block", [](auto&) {}, ~std::size_t{0}, 1, nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = make_read(100);
        c.edit(read);
        flatbuffers::FlatBufferBuilder builder;
        try {
            append_read_block_data(builder, read, c.num_samples, 0, 1, c.offset);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range&) {
            EXPECT_TRUE(c.out_of_range);
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(c.out_of_range);
            if (c.what) {
                EXPECT_STREQ(error.what(), c.what);
            }
        }
        // The same builder still makes a valid message.
        const auto good = make_read(100);
        const auto block = append_read_block_data(builder, good, 100, 0, 1, 0);
        const auto root = tessel_ipc::CreateMessageData(builder, &current_version(), 0,
                                                        tessel_ipc::Content_ReadBlockData,
                                                        block.Union());
        tessel_ipc::FinishMessageDataBuffer(builder, root);
        EXPECT_EQ(received(Message(builder)).get_type(), PASS_FIRST_RAW_BLOCK);
    }
}

TEST(ReadBatchMessageTest, HoldsEachReadWholeInOrder) {
    std::vector<interfaces::ReadHolder> reads;
    reads.push_back(make_read(400, 1));
    reads.push_back(make_read(0, 2));
    reads.push_back(make_read(700, 3));
    const Message batch = create_read_batch_message(reads, "conn-9");
    EXPECT_EQ(batch.get_type(), PASS_READ_BATCH);
    const Message message = received(batch);
    const auto* data = message.get_message_data();
    EXPECT_EQ(data->client_id()->str(), "conn-9");
    const auto* content = data->content_as_ReadBatchData();
    ASSERT_NE(content, nullptr);
    EXPECT_FALSE(has_field(content, tessel_ipc::ReadBatchData::VT_TYPE));
    ASSERT_EQ(content->blocks()->size(), 3u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(i);
        const auto* block = content->blocks()->Get(static_cast<flatbuffers::uoffset_t>(i));
        EXPECT_EQ(block->read_tag(), reads[i].read_tag);
        EXPECT_EQ(block->type(), tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK);
        EXPECT_EQ(block->block_index(), 0u);
        EXPECT_EQ(block->num_blocks(), 1u);
        const auto samples = reads[i].metadata.get<read_data::duration>();
        ASSERT_EQ(block->raw_data()->size(), samples);
        if (samples > 0) {
            EXPECT_EQ(std::memcmp(block->raw_data()->data(),
                                  reads[i].datasets.at(dataset::raw_data).get_array<short>(),
                                  samples * sizeof(short)),
                      0);
        }
    }
}

TEST(BarcodingArrangementsTest, DefaultsAndValues) {
    interfaces::ReadHolder bare;
    flatbuffers::FlatBufferBuilder builder;
    auto offset = append_barcoding_arrangements(builder, bare);
    builder.Finish(offset);
    const auto* empty = flatbuffers::GetRoot<tessel_ipc::BarcodeArrangementResults>(builder.GetBufferPointer());
    EXPECT_EQ(empty->barcode_kit()->str(), "");
    EXPECT_EQ(empty->barcode_arrangement()->str(), "");
    EXPECT_EQ(empty->barcode_variant()->str(), "");
    EXPECT_EQ(empty->barcode_score(), 0.0f);
    EXPECT_EQ(empty->trim_front(), 0);
    ASSERT_NE(empty->front(), nullptr);
    ASSERT_NE(empty->rear(), nullptr);
    EXPECT_EQ(empty->front()->label()->str(), "");
    EXPECT_EQ(empty->rear()->index(), 0);

    interfaces::ReadHolder read;
    auto& m = read.metadata;
    m.insert("barcode_kit", std::string("KIT"));
    m.insert("barcode_arrangement", std::string("barcode07"));
    m.insert("barcode_variant", std::string("var1"));
    m.insert("barcode_score", 88.5f);
    m.insert("trim_front", 31);
    m.insert("trim_rear", 42);
    m.insert("barcode_front_score", 90.0f);
    m.insert("barcode_front_begin_index", 3);
    m.insert("barcode_front_foundseq_length", 24);
    m.insert("barcode_rear_score", 70.0f);
    m.insert("barcode_rear_end_index", 900);
    m.insert("barcode_rear_foundseq_length", 22);
    m.insert("trim_rear_ignored_type", 1.0);
    flatbuffers::FlatBufferBuilder second;
    second.Finish(append_barcoding_arrangements(second, read));
    const auto* full = flatbuffers::GetRoot<tessel_ipc::BarcodeArrangementResults>(second.GetBufferPointer());
    EXPECT_EQ(full->barcode_kit()->str(), "KIT");
    EXPECT_EQ(full->barcode_arrangement()->str(), "barcode07");
    EXPECT_EQ(full->barcode_variant()->str(), "var1");
    EXPECT_FLOAT_EQ(full->barcode_score(), 88.5f);
    EXPECT_EQ(full->trim_front(), 31);
    EXPECT_EQ(full->trim_rear(), 42);
    EXPECT_FLOAT_EQ(full->front()->score(), 90.0f);
    EXPECT_EQ(full->front()->index(), 3);
    EXPECT_EQ(full->front()->foundseq_length(), 24);
    EXPECT_FLOAT_EQ(full->rear()->score(), 70.0f);
    EXPECT_EQ(full->rear()->index(), 900);
    EXPECT_EQ(full->rear()->foundseq_length(), 22);
}

TEST(BarcodingArrangementsTest, KeysOfAnotherTypeGiveDefaults) {
    interfaces::ReadHolder read;
    auto& m = read.metadata;
    m.insert("barcode_kit", 1);
    m.insert("barcode_arrangement", 2.0);
    m.insert("barcode_variant", true);
    m.insert("barcode_score", 88.5);
    m.insert("trim_front", 31u);
    m.insert("trim_rear", 42ll);
    m.insert("barcode_front_score", std::string("90"));
    m.insert("barcode_front_begin_index", 3u);
    m.insert("barcode_front_foundseq_length", 24.0f);
    m.insert("barcode_rear_score", 70);
    m.insert("barcode_rear_end_index", 900ull);
    m.insert("barcode_rear_foundseq_length", static_cast<short>(22));
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(append_barcoding_arrangements(builder, read));
    const auto* results = flatbuffers::GetRoot<tessel_ipc::BarcodeArrangementResults>(builder.GetBufferPointer());
    EXPECT_EQ(results->barcode_kit()->str(), "");
    EXPECT_EQ(results->barcode_arrangement()->str(), "");
    EXPECT_EQ(results->barcode_variant()->str(), "");
    EXPECT_EQ(results->barcode_score(), 0.0f);
    EXPECT_EQ(results->trim_front(), 0);
    EXPECT_EQ(results->trim_rear(), 0);
    for (const auto* side : {results->front(), results->rear()}) {
        ASSERT_NE(side, nullptr);
        EXPECT_EQ(side->label()->str(), "");
        EXPECT_EQ(side->score(), 0.0f);
        EXPECT_EQ(side->index(), 0);
        EXPECT_EQ(side->foundseq_length(), 0);
    }
}

class AlignmentResultsTest : public ::testing::Test {
protected:
    // A read with `rows` alignment rows; row r has BedHits bed_hits[r].
    static interfaces::ReadHolder make_aligned_read(const std::vector<int>& bed_hits) {
        interfaces::ReadHolder read;
        DataTable table = interfaces::ReadAlignmentHelper::create_alignment_table(bed_hits.size());
        auto ints = [&table](const char* name) { return table.view_field<int>(table.field_position(name)); };
        for (std::size_t r = 0; r < bed_hits.size(); ++r) {
            char* row = table.data.data() + r * table.row_size;
            const std::string genome = "chr" + std::to_string(r + 1);
            std::memcpy(row + table.fields.at(table.field_position("Genome")).offset, genome.c_str(),
                        genome.size() + 1);
            ints("GenomeStart")[r] = 100 + static_cast<int>(r);
            ints("GenomeEnd")[r] = 200;
            ints("StrandStart")[r] = 1;
            ints("StrandEnd")[r] = 99;
            ints("NumEvents")[r] = 500;
            ints("NumInsertions")[r] = 4;
            ints("NumDeletions")[r] = 5;
            ints("NumAligned")[r] = 90;
            ints("NumCorrect")[r] = 80;
            ints("StrandScore")[r] = 150;
            ints("BedHits")[r] = bed_hits[r];
            ints("MappingQuality")[r] = 60;
            table.view_field<float>(table.field_position("Coverage"))[r] = 0.5f;
            table.view_field<float>(table.field_position("Identity"))[r] = 0.75f;
            table.view_field<float>(table.field_position("Accuracy"))[r] = 0.875f;
            table.view_field<signed char>(table.field_position("Direction"))[r] = r == 0 ? '+' : '-';
            table.view_field<unsigned char>(table.field_position("IsSecondary"))[r] = r == 0 ? 0 : 1;
            table.view_field<unsigned char>(table.field_position("IsSupplementary"))[r] = 0;
        }
        DataSetData results;
        results.own(std::move(table));
        read.datasets.emplace(dataset::align_results, std::move(results));
        return read;
    }

    // The vector written for the read, kept in `builder`.
    static const flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>>* build(
            flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read) {
        const auto offset = append_alignment_results(builder, read);
        if (offset.IsNull()) {
            return nullptr;
        }
        builder.Finish(offset);
        return flatbuffers::GetRoot<flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>>>(
                builder.GetBufferPointer());
    }
};

TEST_F(AlignmentResultsTest, RowsTakeTheirSamAndBedLines) {
    auto read = make_aligned_read({2, 0});
    read.metadata.insert("alignment_sam_record", std::string("sam line 1\nsam line 2"));
    read.metadata.insert("alignment_bed_lines", std::string("bed a\nbed b"));
    flatbuffers::FlatBufferBuilder builder;
    const auto* results = build(builder, read);
    ASSERT_NE(results, nullptr);
    ASSERT_EQ(results->size(), 2u);
    const auto* first = results->Get(0);
    EXPECT_EQ(first->Genome()->str(), "chr1");
    EXPECT_EQ(first->SamRecord()->str(), "sam line 1");
    EXPECT_EQ(first->BedLines()->str(), "bed a\nbed b");
    EXPECT_EQ(first->BedHits(), 2);
    EXPECT_EQ(first->GenomeStart(), 100);
    EXPECT_EQ(first->GenomeEnd(), 200);
    EXPECT_EQ(first->StrandStart(), 1);
    EXPECT_EQ(first->StrandEnd(), 99);
    EXPECT_EQ(first->NumEvents(), 500);
    EXPECT_EQ(first->NumInsertions(), 4);
    EXPECT_EQ(first->NumDeletions(), 5);
    EXPECT_EQ(first->NumAligned(), 90);
    EXPECT_EQ(first->NumCorrect(), 80);
    EXPECT_EQ(first->StrandScore(), 150);
    EXPECT_EQ(first->MappingQuality(), 60);
    EXPECT_FLOAT_EQ(first->Coverage(), 0.5f);
    EXPECT_FLOAT_EQ(first->Identity(), 0.75f);
    EXPECT_FLOAT_EQ(first->Accuracy(), 0.875f);
    EXPECT_EQ(first->Direction(), '+');
    EXPECT_FALSE(first->IsSecondary());
    const auto* second = results->Get(1);
    EXPECT_EQ(second->Genome()->str(), "chr2");
    EXPECT_EQ(second->SamRecord()->str(), "sam line 2");
    ASSERT_NE(second->BedLines(), nullptr);
    EXPECT_EQ(second->BedLines()->str(), "");
    EXPECT_EQ(second->GenomeStart(), 101);
    EXPECT_EQ(second->Direction(), '-');
    EXPECT_TRUE(second->IsSecondary());
    EXPECT_FALSE(second->IsSupplementary());
}

TEST_F(AlignmentResultsTest, NoTableAndNoRows) {
    flatbuffers::FlatBufferBuilder builder;
    EXPECT_TRUE(append_alignment_results(builder, interfaces::ReadHolder()).IsNull());
    flatbuffers::FlatBufferBuilder second;
    const auto* results = build(second, make_aligned_read({}));
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results->size(), 0u);
}

TEST_F(AlignmentResultsTest, MissingSamLinesAreEmpty) {
    auto read = make_aligned_read({0, 0});
    read.metadata.insert("alignment_sam_record", std::string("only one"));
    flatbuffers::FlatBufferBuilder builder;
    const auto* results = build(builder, read);
    ASSERT_EQ(results->size(), 2u);
    EXPECT_EQ(results->Get(0)->SamRecord()->str(), "only one");
    EXPECT_EQ(results->Get(1)->SamRecord()->str(), "");
}

TEST_F(AlignmentResultsTest, GenomeWithoutTerminatorStaysInsideItsCell) {
    auto read = make_aligned_read({0});
    auto& table = read.datasets.at(dataset::align_results);
    // Fill the whole cell and the byte after it: the name must stop at the cell.
    char* row = static_cast<char*>(table.data);
    std::memset(row, 'G', 254);
    row[254] = 'X';
    flatbuffers::FlatBufferBuilder builder;
    const auto* results = build(builder, read);
    ASSERT_EQ(results->size(), 1u);
    EXPECT_EQ(results->Get(0)->Genome()->str(), std::string(254, 'G'));
}

TEST_F(AlignmentResultsTest, TablesWithoutTheExpectedColumnsAreRefused) {
    using kelp::data_wrappers::v2::DataSetType;
    struct Case {
        const char* name;
        const char* changed;  // the column left out, or given another width
        bool left_out;
    };
    const Case cases[] = {
            {"no BedHits column", "BedHits", true},
            {"no Genome column", "Genome", true},
            {"no IsSupplementary column", "IsSupplementary", true},
            {"Coverage of double width", "Coverage", false},
            {"Direction of int32 width", "Direction", false},
    };
    const DataTable full = interfaces::ReadAlignmentHelper::create_alignment_table(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DataTable table;
        for (const auto& field : full.fields) {
            if (field.name != c.changed) {
                table.add_field(field.name, field.type, field.size);
            } else if (!c.left_out) {
                table.add_field(field.name, field.size == 1 ? DataSetType::int32 : DataSetType::float64);
            }
        }
        table.allocate(1);
        interfaces::ReadHolder read;
        DataSetData results;
        results.own(std::move(table));
        read.datasets.emplace(dataset::align_results, std::move(results));
        flatbuffers::FlatBufferBuilder builder;
        if (c.left_out) {
            EXPECT_THROW(append_alignment_results(builder, read), std::out_of_range);
        } else {
            EXPECT_THROW(append_alignment_results(builder, read), std::runtime_error);
        }
    }
}

TEST_F(AlignmentResultsTest, MissingBedLinesAreAnError) {
    struct Case {
        std::vector<int> bed_hits;
        std::string bed_text;
    };
    const std::vector<Case> cases = {
            {{1}, ""},
            {{2}, "only one"},
            {{1, 1}, "a"},
            {{2}, "a\n\nb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("BED text '" + c.bed_text + "'");
        auto read = make_aligned_read(c.bed_hits);
        read.metadata.insert("alignment_bed_lines", c.bed_text);
        flatbuffers::FlatBufferBuilder builder;
        try {
            append_alignment_results(builder, read);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "BED hit without a corresponding BED line: " + c.bed_text);
        }
    }
}


namespace byte_identity {

// The block builders read each read's metadata in one walk and build from
// what they gathered. This reference reads every key on its own, the plain
// way, and writes the same tables in the same order: the frames must match
// byte for byte, so that the gathering changes nothing on the wire.
const std::string* optional_string(const kelp::data_wrappers::v2::Metadata& m, const char* key) {
    std::string* value = nullptr;
    return m.extract(key, value) ? value : nullptr;
}

unsigned long long optional_count(const kelp::data_wrappers::v2::Metadata& m, const char* key) {
    unsigned long long* value = nullptr;
    return m.extract(key, value) ? *value : 0;
}

flatbuffers::Offset<tessel_ipc::ReadBlockData> reference_block(flatbuffers::FlatBufferBuilder& builder,
                                                               const interfaces::ReadHolder& read,
                                                               std::size_t num_samples,
                                                               std::size_t block_index,
                                                               std::size_t num_blocks,
                                                               std::size_t offset) {
    const auto& m = read.metadata;
    const short* samples = read.datasets.at(dataset::raw_data).get_array<short>();
    const auto raw = builder.CreateVector(samples + offset, num_samples);
    const std::string* kit = optional_string(m, "sequencing_kit");
    const std::string* flow_cell = optional_string(m, "flow_cell_product_code");
    const auto kit_offset = kit ? builder.CreateString(*kit) : flatbuffers::Offset<flatbuffers::String>();
    const auto flow_cell_offset =
            flow_cell ? builder.CreateString(*flow_cell) : flatbuffers::Offset<flatbuffers::String>();
    flatbuffers::Offset<tessel_ipc::DuplexPairingData> duplex;
    if (m.exists("channel") && m.exists("mux") && m.exists("run_id")) {
        const auto run_id = builder.CreateString(m.get<read_data::run_id>());
        duplex = tessel_ipc::CreateDuplexPairingData(builder, m.get<read_data::channel>(),
                                                      m.get<read_data::mux>(), run_id);
    }
    const auto read_id = builder.CreateString(m.get<read_data::read_id>());
    const auto strand_id = builder.CreateString(m.get<read_data::strand_id>());
    return tessel_ipc::CreateReadBlockData(
            builder,
            block_index == 0 ? tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                             : tessel_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK,
            static_cast<std::uint32_t>(read.read_tag), static_cast<std::uint32_t>(block_index),
            static_cast<std::uint32_t>(num_blocks),
            static_cast<std::uint32_t>(m.get<read_data::duration>()), m.get<read_data::daq_offset>(),
            m.get<read_data::daq_scaling>(), read_id, raw, 0, static_cast<std::uint32_t>(read.sub_tag),
            strand_id, optional_count(m, "start_time"), optional_count(m, "num_sequor_events"),
            m.get<read_data::sampling_rate>(), duplex, 0, 0, false, kit_offset, flow_cell_offset);
}

std::vector<std::uint8_t> finish(flatbuffers::FlatBufferBuilder& builder, const std::string& client_id,
                                 tessel_ipc::Content type, flatbuffers::Offset<void> content) {
    const auto id = builder.CreateString(client_id);
    tessel_ipc::FinishMessageDataBuffer(
            builder, tessel_ipc::CreateMessageData(builder, &current_version(), id, type, content));
    return std::vector<std::uint8_t>(builder.GetBufferPointer(),
                                     builder.GetBufferPointer() + builder.GetSize());
}

std::vector<std::uint8_t> bytes_of(const Message& message) {
    zmq::message_t frame;
    Message copy = message.copy();
    copy.transfer_to_zmq(frame);
    const auto* data = static_cast<const std::uint8_t*>(frame.data());
    return std::vector<std::uint8_t>(data, data + frame.size());
}

struct Variant {
    const char* name;
    void (*edit)(interfaces::ReadHolder&);
};

const Variant VARIANTS[] = {
        {"required keys only", [](auto&) {}},
        {"every optional key",
         [](auto& r) {
             r.metadata.insert("start_time", 123456789ull);
             r.metadata.insert("num_sequor_events", 77ull);
             r.metadata.insert("sequencing_kit", std::string("kit-114"));
             r.metadata.insert("flow_cell_product_code", std::string("fc-r10"));
             r.metadata.insert("channel", 412);
             r.metadata.insert("mux", 2u);
             r.metadata.insert("run_id", std::string(40, 'r'));
         }},
        {"duplex keys without run_id, optional counts of another type",
         [](auto& r) {
             r.metadata.insert("channel", 1);
             r.metadata.insert("mux", 4u);
             r.metadata.insert("start_time", 5);
             r.metadata.insert("num_sequor_events", 6u);
         }},
        {"unrelated keys around the ones read, empty strings, wide tags",
         [](auto& r) {
             r.metadata.insert("a_first_key", 1.5);
             r.metadata.insert("zz_last_key", std::string("z"));
             r.metadata.insert("durations", 3ull);
             r.metadata.insert("read_id", std::string());
             r.metadata.insert("sequencing_kit", std::string());
             r.read_tag = (1ull << 33) + 7;
             r.sub_tag = (1ull << 35) + 2;
         }},
};

TEST(BlockBuilderBytesTest, BlockMessagesMatchTheKeyByKeyReference) {
    for (const auto& variant : VARIANTS) {
        SCOPED_TRACE(variant.name);
        auto read = make_read(2500);
        variant.edit(read);
        for (const std::string client_id : {"", "7c9e6679-7425-40de-944b-e07fc1f90ae7"}) {
            const auto messages = create_read_block_messages(read, client_id, 1000);
            ASSERT_EQ(messages.size(), 3u);
            for (std::size_t k = 0; k < messages.size(); ++k) {
                SCOPED_TRACE("block " + std::to_string(k));
                flatbuffers::FlatBufferBuilder builder;
                const auto block =
                        reference_block(builder, read, std::min<std::size_t>(1000, 2500 - k * 1000), k, 3, k * 1000);
                EXPECT_EQ(bytes_of(messages[k]),
                          finish(builder, client_id, tessel_ipc::Content_ReadBlockData, block.Union()));
            }
        }
    }
}

TEST(BlockBuilderBytesTest, BatchMessageMatchesTheKeyByKeyReference) {
    std::vector<interfaces::ReadHolder> reads;
    unsigned long long tag = 1;
    for (const auto& variant : VARIANTS) {
        for (const std::size_t samples : {0, 1, 333}) {
            reads.push_back(make_read(samples, tag++));
            variant.edit(reads.back());
        }
    }
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::ReadBlockData>> blocks;
    for (const auto& read : reads) {
        blocks.push_back(reference_block(builder, read, read.metadata.get<read_data::duration>(), 0, 1, 0));
    }
    const auto batch = tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_PASS_READ_BATCH,
                                                       builder.CreateVector(blocks));
    EXPECT_EQ(bytes_of(create_read_batch_message(reads, "conn-9")),
              finish(builder, "conn-9", tessel_ipc::Content_ReadBatchData, batch.Union()));
}

}  // namespace byte_identity

}  // namespace
