#include "testing/basecaller.h"

#include <gtest/gtest.h>

#include <functional>

#include "traffic_support.h"

namespace {

using namespace test_server;
using namespace traffic_support;
using interfaces::ReadHolder;

// A block message cut by hand, for pushes the client's builders never make.
Message block_message(const ReadHolder& read, const std::string& client_id, std::size_t samples,
                      std::size_t index, std::size_t num_blocks, std::size_t offset) {
    flatbuffers::FlatBufferBuilder builder;
    const auto block = ipc_tools::append_read_block_data(builder, read, samples, index, num_blocks, offset);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(),
                                                    builder.CreateString(client_id),
                                                    tessel_ipc::Content_ReadBlockData, block.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    return Message(builder);
}

// A batch of whole reads, each given as its number of blocks (1 for a
// proper batch); with `no_blocks`, a batch without its blocks vector.
Message batch_message(const std::vector<const ReadHolder*>& reads, const std::string& client_id,
                      std::size_t num_blocks = 1, bool no_blocks = false) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::ReadBlockData>> blocks;
    for (const ReadHolder* read : reads) {
        const auto duration = read->metadata.get<read_data::duration>();
        blocks.push_back(ipc_tools::append_read_block_data(builder, *read, duration, 0, num_blocks, 0));
    }
    const auto vector = no_blocks ? 0 : builder.CreateVector(blocks);
    const auto batch = tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_PASS_READ_BATCH, vector);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(),
                                                    builder.CreateString(client_id),
                                                    tessel_ipc::Content_ReadBatchData, batch.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    return Message(builder);
}

// Reads made with make_read, from (read tag, samples) pairs.
std::vector<ReadHolder> make_reads(const std::vector<std::pair<unsigned long long, std::size_t>>& specs) {
    std::vector<ReadHolder> reads;
    for (const auto& spec : specs) {
        reads.push_back(make_read(spec.first, spec.second));
    }
    return reads;
}

CalledRead expected(const ClientSetup& client, const ReadHolder& read, bool moves = false) {
    return expected_call(raw_read_of(read), Basecaller::call_options(client, moves));
}

void expect_calls(const std::vector<CalledRead>& pulled, const std::vector<CalledRead>& wanted) {
    ASSERT_EQ(pulled.size(), wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        EXPECT_EQ(joined(differences(wanted[i], pulled[i])), "") << "read " << i;
    }
}

BasecallerOptions unlimited() {
    BasecallerOptions options;
    options.max_reads = 0;
    options.max_samples = 0;
    return options;
}

// Reads of every length class go in as the client cuts them and come back as
// the function predicts, in called blocks when they are long.
TEST(BasecallerTest, ReadsComeBackAsCalled) {
    struct Case {
        std::size_t samples;
        std::size_t push_block;
        bool moves;
    };
    const Case cases[] = {{100, 256000, false}, {1000, 256000, true},  {30000, 10000, true},
                          {30001, 10000, false}, {256001, 256000, true}, {600, 1, false}};
    BasecallerOptions options = unlimited();
    options.called_block_bases = 1000;
    Basecaller basecaller(options);
    const ClientSetup client = make_client("c1");
    basecaller.client_connected(client);
    unsigned long long tag = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples in blocks of " + std::to_string(c.push_block));
        const ReadHolder read = make_read(tag++, c.samples);
        const std::vector<MessageType> pushed = push_read(basecaller, client, read, c.push_block);
        EXPECT_EQ(pushed, std::vector<MessageType>((c.samples + c.push_block - 1) / c.push_block,
                                                   MessageType::RAW_BLOCK_ACCEPTED));
        const Pulled pulled = pull(basecaller, client, c.moves);
        ASSERT_EQ(pulled.type, MessageType::RETURN_FIRST_CALLED_BLOCK);
        const CalledRead want = expected(client, read, c.moves);
        expect_calls(pulled.reads, {want});
        EXPECT_EQ(pulled.num_blocks[0], (want.sequence.size() + 999) / 1000);
        EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
    }
    const std::size_t n = sizeof(cases) / sizeof(cases[0]);
    EXPECT_EQ(basecaller.counts("c1").reads_in, n);
    EXPECT_EQ(basecaller.counts("c1").reads_out, n);
}

TEST(BasecallerTest, BatchesComeBackAsBatchesOfAtMostTheirLimit) {
    struct Case {
        std::size_t max_batch;
        std::vector<MessageType> replies;
        std::vector<std::size_t> sizes;
    };
    const MessageType batch = MessageType::RETURN_COMPLETED_BATCH;
    const MessageType single = MessageType::RETURN_FIRST_CALLED_BLOCK;
    const Case cases[] = {
            {20, {batch}, {5}},
            {3, {batch, batch}, {3, 2}},
            {2, {batch, batch, single}, {2, 2, 1}},
            {1, {single, single, single, single, single}, {1, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.max_batch);
        BasecallerOptions options;
        options.max_batch_reads = c.max_batch;
        Basecaller basecaller(options);
        const ClientSetup client = make_client("c");
        std::vector<ReadHolder> reads;
        std::vector<CalledRead> wanted;
        for (unsigned long long tag = 10; tag < 15; ++tag) {
            reads.push_back(make_read(tag, 300 + tag));
            wanted.push_back(expected(client, reads.back(), true));
        }
        ASSERT_EQ(push_batch(basecaller, client, reads), MessageType::BATCH_ACCEPTED);
        std::vector<CalledRead> all;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            Pulled pulled = pull(basecaller, client, true);
            EXPECT_EQ(pulled.type, c.replies[i]);
            EXPECT_EQ(pulled.reads.size(), c.sizes[i]);
            all.insert(all.end(), pulled.reads.begin(), pulled.reads.end());
        }
        expect_calls(all, wanted);
        EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
    }
}

TEST(BasecallerTest, LongReadsJoinABatchOnlyWhenAllowed) {
    const ClientSetup client = make_client("c");
    std::vector<ReadHolder> reads;
    reads.push_back(make_read(1, 400));
    reads.push_back(make_read(2, 20000));
    reads.push_back(make_read(3, 500));
    std::vector<CalledRead> wanted;
    for (const auto& read : reads) {
        wanted.push_back(expected(client, read));
    }
    for (bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        BasecallerOptions options;
        options.called_block_bases = 500;
        options.batch_long_reads = allowed;
        Basecaller basecaller(options);
        ASSERT_EQ(push_batch(basecaller, client, reads), MessageType::BATCH_ACCEPTED);
        std::vector<MessageType> replies;
        std::vector<CalledRead> all;
        for (Pulled pulled = pull(basecaller, client); pulled.type != MessageType::NONE_PENDING;
             pulled = pull(basecaller, client)) {
            replies.push_back(pulled.type);
            all.insert(all.end(), pulled.reads.begin(), pulled.reads.end());
        }
        if (allowed) {
            EXPECT_EQ(replies, std::vector<MessageType>{MessageType::RETURN_COMPLETED_BATCH});
        } else {
            EXPECT_EQ(replies, std::vector<MessageType>(3, MessageType::RETURN_FIRST_CALLED_BLOCK));
        }
        expect_calls(all, wanted);
        EXPECT_EQ(basecaller.counts("c").reads_out, 3u);
    }
}

TEST(BasecallerTest, TheClientsRegistrationDecidesWhatIsCalled) {
    struct Case {
        const char* name;
        std::function<void(ClientSetup&)> setup;
        std::function<void(const CalledRead&)> check;
    };
    const Case cases[] = {
            {"plain", [](ClientSetup&) {},
             [](const CalledRead& c) {
                 EXPECT_FALSE(c.has_base_mod);
                 EXPECT_FALSE(c.has_barcoding);
                 EXPECT_TRUE(c.alignments.empty());
                 EXPECT_EQ(c.model_version_id, "dna_fast_model_v1");
             }},
            {"modified bases", [](ClientSetup& s) { s.info.config = "dna_hac_modbases_5mc"; },
             [](const CalledRead& c) {
                 EXPECT_TRUE(c.has_base_mod);
                 EXPECT_EQ(c.modbase_model_version_id, "dna_fast_model_v1_modbases");
             }},
            {"barcoding", [](ClientSetup& s) { s.info.barcode_kits = "\"KIT-A KIT-B\""; },
             [](const CalledRead& c) { EXPECT_EQ(c.barcoding.kit, "KIT-A"); }},
            {"barcode trimming",
             [](ClientSetup& s) {
                 s.info.barcode_kits = "KIT-A,KIT-B";
                 s.info.options.insert("enable_trim_barcodes", true);
             },
             [](const CalledRead& c) { EXPECT_EQ(c.barcoding.kit, "KIT-A"); }},
            {"alignment", [](ClientSetup& s) { s.alignment_header = "@SQ\tSN:chr7\tLN:90000\n"; },
             [](const CalledRead& c) {
                 ASSERT_FALSE(c.alignments.empty());
                 EXPECT_TRUE(c.alignments[0].genome == "chr7" || c.alignments[0].genome == "*");
             }},
            {"alignment and BED",
             [](ClientSetup& s) {
                 s.alignment_header = "@SQ\tSN:chr7\tLN:90000\n";
                 s.bed_loaded = true;
             },
             [](const CalledRead& c) { EXPECT_FALSE(c.alignments.empty()); }},
            {"BED without an index", [](ClientSetup& s) { s.bed_loaded = true; },
             [](const CalledRead& c) { EXPECT_TRUE(c.alignments.empty()); }},
            {"poly tails", [](ClientSetup& s) { s.info.options.insert("estimate_poly_a", true); },
             [](const CalledRead& c) { EXPECT_GE(c.poly_tail_length, 5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Basecaller basecaller;
        ClientSetup client = make_client("c");
        c.setup(client);
        const ReadHolder read = make_read(5, 4000);
        ASSERT_EQ(push_read(basecaller, client, read), std::vector<MessageType>{MessageType::RAW_BLOCK_ACCEPTED});
        const std::vector<CalledRead> pulled = pull_all(basecaller, client);
        expect_calls(pulled, {expected(client, read)});
        if (!pulled.empty()) {
            c.check(pulled[0]);
        }
    }
}

TEST(BasecallerTest, AFullInputAnswersNotReadyUntilReadsGoBack) {
    BasecallerOptions options;
    options.max_reads = 2;
    options.max_samples = 0;
    Basecaller basecaller(options);
    const ClientSetup client = make_client("c");
    const ClientSetup other = make_client("other");
    const std::vector<MessageType> accepted{MessageType::RAW_BLOCK_ACCEPTED};
    const std::vector<MessageType> refused{MessageType::NOT_READY};
    EXPECT_EQ(push_read(basecaller, client, make_read(1, 500)), accepted);
    EXPECT_EQ(push_read(basecaller, client, make_read(2, 500)), accepted);
    EXPECT_EQ(push_read(basecaller, client, make_read(3, 500)), refused);
    EXPECT_EQ(push_batch(basecaller, client, make_reads({{4, 200}})), MessageType::NOT_READY);
    // Each client has an input of its own.
    EXPECT_EQ(push_read(basecaller, other, make_read(3, 500)), accepted);
    EXPECT_EQ(basecaller.counts("c").reads_in, 2u);

    EXPECT_EQ(pull(basecaller, client).type, MessageType::RETURN_COMPLETED_BATCH);
    EXPECT_EQ(push_read(basecaller, client, make_read(3, 500)), accepted);
}

TEST(BasecallerTest, AReadReservesItsSamplesWithItsFirstBlock) {
    BasecallerOptions options;
    options.max_reads = 0;
    options.max_samples = 10000;
    Basecaller basecaller(options);
    const ClientSetup client = make_client("c");
    // A client that holds nothing gets any read in.
    EXPECT_EQ(push_read(basecaller, client, make_read(1, 30000), 10000),
              std::vector<MessageType>(3, MessageType::RAW_BLOCK_ACCEPTED));
    EXPECT_EQ(push_read(basecaller, client, make_read(2, 100)), std::vector<MessageType>{MessageType::NOT_READY});
    pull_all(basecaller, client);

    const ReadHolder long_read = make_read(3, 9000);
    EXPECT_EQ(send(basecaller, client, block_message(long_read, "c", 3000, 0, 3, 0)).type,
              MessageType::RAW_BLOCK_ACCEPTED);
    // The rest of the first read fits in what it reserved; another read does not.
    const ReadHolder small = make_read(4, 1001);
    EXPECT_EQ(push_read(basecaller, client, small), std::vector<MessageType>{MessageType::NOT_READY});
    EXPECT_EQ(send(basecaller, client, block_message(long_read, "c", 3000, 1, 3, 3000)).type,
              MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(send(basecaller, client, block_message(long_read, "c", 3000, 2, 3, 6000)).type,
              MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(push_read(basecaller, client, make_read(5, 1000)), std::vector<MessageType>{MessageType::RAW_BLOCK_ACCEPTED});
    EXPECT_EQ(push_batch(basecaller, client, make_reads({{6, 10}, {7, 100}})), MessageType::NOT_READY);
    expect_calls(pull_all(basecaller, client), {expected(client, long_read), expected(client, make_read(5, 1000))});
    EXPECT_EQ(basecaller.counts("c").reads_in, 3u);
}

// Pushes that do not fit the reads they belong to are refused whole.
TEST(BasecallerTest, MalformedPushesAreBadRequests) {
    const ReadHolder read = make_read(8, 3000);
    const ReadHolder other = make_read(9, 200);
    struct Case {
        const char* name;
        std::vector<std::function<Message()>> pushes;  // all but the last are accepted
    };
    const Case cases[] = {
            {"later block without a first", {[&] { return block_message(read, "c", 1000, 1, 3, 1000); }}},
            {"blocks out of order",
             {[&] { return block_message(read, "c", 1000, 0, 3, 0); },
              [&] { return block_message(read, "c", 1000, 2, 3, 2000); }}},
            {"a one-block read short of its duration", {[&] { return block_message(read, "c", 2999, 0, 1, 0); }}},
            {"last block short of the duration",
             {[&] { return block_message(read, "c", 1000, 0, 2, 0); },
              [&] { return block_message(read, "c", 1000, 1, 2, 1000); }}},
            {"blocks beyond the duration",
             {[&] { return block_message(read, "c", 2000, 0, 3, 0); },
              [&] { return block_message(read, "c", 1001, 1, 3, 1999); }}},
            {"the same read twice",
             {[&] { return block_message(read, "c", 3000, 0, 1, 0); },
              [&] { return block_message(read, "c", 3000, 0, 1, 0); }}},
            {"a batch with one read twice", {[&] { return batch_message({&other, &read, &other}, "c"); }}},
            {"a batch with a read already in",
             {[&] { return block_message(read, "c", 3000, 0, 1, 0); },
              [&] { return batch_message({&other, &read}, "c"); }}},
            {"a batch of reads in blocks", {[&] { return batch_message({&other}, "c", 2); }}},
            {"a batch without blocks", {[&] { return batch_message({&other}, "c", 1, true); }}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Basecaller basecaller;
        const ClientSetup client = make_client("c");
        for (std::size_t i = 0; i < c.pushes.size(); ++i) {
            const Received reply = send(basecaller, client, c.pushes[i]());
            if (i + 1 < c.pushes.size()) {
                EXPECT_EQ(reply.type, MessageType::RAW_BLOCK_ACCEPTED);
            } else {
                EXPECT_EQ(reply.type, MessageType::BAD_REQUEST);
                EXPECT_FALSE(reply.text().empty());
            }
        }
        // Only whole reads taken before the refusal come back.
        const bool whole_read_in = std::string(c.name) == "the same read twice" ||
                                   std::string(c.name) == "a batch with a read already in";
        EXPECT_EQ(pull_all(basecaller, client).size(), whole_read_in ? 1u : 0u);
        EXPECT_EQ(basecaller.counts("c").reads_in, whole_read_in ? 1u : 0u);
    }
}

TEST(BasecallerTest, ReadsWaitThroughTheirPollsUnlessTheDataHasEnded) {
    BasecallerOptions options;
    options.polls_before_ready = 2;
    Basecaller basecaller(options);
    const ClientSetup client = make_client("c");
    push_read(basecaller, client, make_read(1, 400));
    EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
    EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
    EXPECT_EQ(pull(basecaller, client).type, MessageType::RETURN_FIRST_CALLED_BLOCK);

    push_read(basecaller, client, make_read(2, 400));
    EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
    const Received ended = send_simple(basecaller, client, MessageType::NO_MORE_DATA);
    EXPECT_EQ(ended.type, MessageType::SUCCESS);
    EXPECT_EQ(pull(basecaller, client).type, MessageType::RETURN_FIRST_CALLED_BLOCK);
    push_read(basecaller, client, make_read(3, 400));
    EXPECT_EQ(pull(basecaller, client).type, MessageType::RETURN_FIRST_CALLED_BLOCK);
}

TEST(BasecallerTest, LaterCalledBlocksFollowTheReadBeingHandedBack) {
    BasecallerOptions options;
    options.called_block_bases = 300;
    Basecaller basecaller(options);
    const ClientSetup client = make_client("c");
    EXPECT_EQ(send_simple(basecaller, client, MessageType::GET_NEXT_CALLED_BLOCK, 1).type, MessageType::BAD_REQUEST);

    const ReadHolder read = make_read(1, 20000);
    push_read(basecaller, client, read);
    const Received first = send_simple(basecaller, client, MessageType::GET_FIRST_CALLED_BLOCK);
    ASSERT_EQ(first.type, MessageType::RETURN_FIRST_CALLED_BLOCK);
    ASSERT_GE(first.block()->num_blocks(), 3u);
    const std::string strand = first.block()->strand_id()->str();
    const Received wrong = send_simple(basecaller, client, MessageType::GET_NEXT_CALLED_BLOCK, 2, strand);
    EXPECT_EQ(wrong.type, MessageType::BAD_REQUEST);
    // The text names the read's strand, as a real server checks.
    EXPECT_EQ(send_simple(basecaller, client, MessageType::GET_NEXT_CALLED_BLOCK, 1).type, MessageType::BAD_REQUEST);
    EXPECT_EQ(send_simple(basecaller, client, MessageType::GET_NEXT_CALLED_BLOCK, 1, strand + "x").type,
              MessageType::BAD_REQUEST);
    EXPECT_EQ(send_simple(basecaller, client, MessageType::GET_NEXT_CALLED_BLOCK, 1, strand).type,
              MessageType::RETURN_NEXT_CALLED_BLOCK);
    // A read left half handed back starts over at its first block.
    expect_calls(pull_all(basecaller, client), {expected(client, read)});
    EXPECT_EQ(basecaller.counts("c").reads_out, 1u);
}

// Requests whose value and text carry nothing must carry nothing: a client
// that sends otherwise is refused, as by a real server.
TEST(BasecallerTest, UnexpectedValuesAndTextsAreRefused) {
    Basecaller basecaller;
    const ClientSetup client = make_client("c");
    struct Case {
        MessageType type;
        std::uint32_t value;
        std::string text;
        MessageType reply;
    };
    const std::vector<Case> cases{
            {MessageType::GET_FIRST_CALLED_BLOCK, 0, "", MessageType::NONE_PENDING},
            {MessageType::GET_FIRST_CALLED_BLOCK, 1, "", MessageType::NONE_PENDING},
            {MessageType::GET_FIRST_CALLED_BLOCK, 2, "", MessageType::BAD_REQUEST},
            {MessageType::GET_FIRST_CALLED_BLOCK, 0, "read", MessageType::BAD_REQUEST},
            {MessageType::NO_MORE_DATA, 1, "", MessageType::BAD_REQUEST},
            {MessageType::NO_MORE_DATA, 0, "end", MessageType::BAD_REQUEST},
            {MessageType::NO_MORE_DATA, 0, "", MessageType::SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ipc_tools::message_type_as_string(c.type) + " " + std::to_string(c.value) + " '" + c.text + "'");
        EXPECT_EQ(send_simple(basecaller, client, c.type, c.value, c.text).type, c.reply);
    }
}

TEST(BasecallerTest, SplitReadsComeBackAsSubReadsBeforeTheirParent) {
    Basecaller basecaller;
    basecaller.add_fault("split:3@1");
    const ClientSetup client = make_client("c");
    const std::vector<ReadHolder> reads = make_reads({{1, 3000}, {2, 3000}});
    const ReadHolder& first = reads[0];
    const ReadHolder& second = reads[1];
    ASSERT_EQ(push_batch(basecaller, client, reads), MessageType::BATCH_ACCEPTED);
    const Pulled pulled = pull(basecaller, client, true);
    EXPECT_EQ(pulled.type, MessageType::RETURN_COMPLETED_BATCH);
    std::vector<CalledRead> wanted =
            expected_calls(raw_read_of(first), Basecaller::call_options(client, true), 3);
    wanted.push_back(expected(client, second, true));
    expect_calls(pulled.reads, wanted);
    ASSERT_EQ(pulled.reads.size(), 4u);
    EXPECT_EQ(pulled.reads[0].sub_tag, 1u);
    EXPECT_EQ(pulled.reads[1].sub_tag, 2u);
    EXPECT_EQ(pulled.reads[2].sub_tag, 0u);
    EXPECT_EQ(pulled.reads[0].read_tag, 1u);
    EXPECT_EQ(basecaller.counts("c").reads_in, 2u);
    EXPECT_EQ(basecaller.counts("c").reads_out, 4u);
}

TEST(BasecallerTest, LostReadsAreReportedOnceAndForgotten) {
    Basecaller basecaller;
    basecaller.add_fault("lose@2");
    const ClientSetup client = make_client("c");
    const ReadHolder one = make_read(1, 500);
    push_read(basecaller, client, one);
    push_read(basecaller, client, make_read(2, 500));
    const Pulled lost = pull(basecaller, client);
    EXPECT_EQ(lost.type, MessageType::NONE_PENDING);
    EXPECT_EQ(lost.value, 1u);
    const Pulled after = pull(basecaller, client);
    EXPECT_EQ(after.type, MessageType::NONE_PENDING);
    EXPECT_EQ(after.value, 0u);
    EXPECT_EQ(basecaller.counts("c").reads_in, 2u);
    EXPECT_EQ(basecaller.counts("c").reads_out, 0u);
    // Resubmitted, the read is taken in and called as before.
    EXPECT_EQ(push_read(basecaller, client, one), std::vector<MessageType>{MessageType::RAW_BLOCK_ACCEPTED});
    expect_calls(pull_all(basecaller, client), {expected(client, one)});
}

// Rules pick their reads by order of arrival or by id, and only those.
TEST(BasecallerTest, SpoilRulesSpoilTheChosenReadsOnly) {
    struct Case {
        std::string rule;
        std::vector<bool> spoiled;  // of reads 1 to 4
    };
    const Case cases[] = {
            {"stride_zero@2", {false, true, false, false}},
            {"stride_zero@%2", {false, true, false, true}},
            {"stride_zero@id=read-3", {false, false, true, false}},
            {"stride_zero", {true, true, true, true}},
            {"stride_zero@*", {true, true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        Basecaller basecaller;
        basecaller.add_fault(c.rule);
        const ClientSetup client = make_client("c");
        for (unsigned long long tag = 1; tag <= 4; ++tag) {
            push_read(basecaller, client, make_read(tag, 400));
            const Pulled pulled = pull(basecaller, client);
            ASSERT_EQ(pulled.reads.size(), 1u);
            EXPECT_EQ(pulled.reads[0].model_stride == 0, c.spoiled[tag - 1]) << tag;
        }
    }
}

// Through the basecaller, the spoils that replace a whole reply take the read
// away with them; the others hand it back spoiled.
TEST(BasecallerTest, SpoiledRepliesAsTheClientReceivesThem) {
    struct Case {
        std::string rule;
        std::function<void(const Received&)> check;
        std::uint64_t reads_out;
    };
    const Case cases[] = {
            {"garbage@1", [](const Received& r) { EXPECT_FALSE(r.verified); }, 0},
            {"batch_without_blocks@1",
             [](const Received& r) {
                 ASSERT_EQ(r.type, MessageType::RETURN_COMPLETED_BATCH);
                 EXPECT_EQ(r.batch()->blocks(), nullptr);
             },
             0},
            {"duplicate_tag@1",
             [](const Received& r) {
                 ASSERT_EQ(r.type, MessageType::RETURN_COMPLETED_BATCH);
                 ASSERT_EQ(r.batch()->blocks()->size(), 2u);
                 EXPECT_EQ(r.batch()->blocks()->Get(0)->read_tag(), r.batch()->blocks()->Get(1)->read_tag());
                 EXPECT_EQ(r.batch()->blocks()->Get(0)->num_blocks(), 1u);
             },
             1},
            {"missing:qstring@1",
             [](const Received& r) {
                 ASSERT_EQ(r.type, MessageType::RETURN_FIRST_CALLED_BLOCK);
                 EXPECT_EQ(r.block()->called_data()->qstring(), nullptr);
             },
             1},
            {"foreign_tag@1",
             [](const Received& r) { EXPECT_EQ(r.block()->read_tag(), 1u | 0x80000000u); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        BasecallerOptions options;
        options.called_block_bases = 100000;
        Basecaller basecaller(options);
        basecaller.add_fault(c.rule);
        const ClientSetup client = make_client("c");
        push_read(basecaller, client, make_read(1, 2000));
        c.check(send_simple(basecaller, client, MessageType::GET_FIRST_CALLED_BLOCK));
        EXPECT_EQ(basecaller.counts("c").reads_out, c.reads_out);
        EXPECT_EQ(pull(basecaller, client).type, MessageType::NONE_PENDING);
        // The read has left the server: the client's input is free again.
        EXPECT_EQ(push_read(basecaller, client, make_read(1, 2000)),
                  std::vector<MessageType>{MessageType::RAW_BLOCK_ACCEPTED});
    }
}

TEST(BasecallerTest, CountsPerClientAndOverTheServersLife) {
    Basecaller basecaller;
    basecaller.add_fault("split:2@4");
    const ClientSetup a = make_client("a");
    const ClientSetup b = make_client("b");
    basecaller.client_connected(a);
    basecaller.client_connected(b);
    // Read tags are the client's own: two clients may use the same.
    push_read(basecaller, a, make_read(1, 500));
    push_read(basecaller, b, make_read(1, 500));
    push_read(basecaller, b, make_read(2, 500));
    EXPECT_EQ(pull_all(basecaller, b).size(), 2u);
    EXPECT_EQ(basecaller.counts("a").reads_in, 1u);
    EXPECT_EQ(basecaller.counts("a").reads_out, 0u);
    EXPECT_EQ(basecaller.counts("b").reads_in, 2u);
    EXPECT_EQ(basecaller.counts("b").reads_out, 2u);
    EXPECT_EQ(basecaller.counts("nobody").reads_in, 0u);

    basecaller.client_disconnected("a");
    EXPECT_EQ(basecaller.counts("a").reads_in, 0u);
    EXPECT_EQ(pull(basecaller, a).type, MessageType::NONE_PENDING);

    basecaller.reset();
    EXPECT_EQ(basecaller.counts("b").reads_in, 0u);
    EXPECT_EQ(basecaller.lifetime_counts().reads_in, 3u);
    EXPECT_EQ(basecaller.lifetime_counts().reads_out, 2u);
    // The order of arrival goes on across a restart: this is read 4.
    push_read(basecaller, b, make_read(1, 500));
    EXPECT_EQ(basecaller.reads_taken_in(), 4u);
    EXPECT_EQ(pull_all(basecaller, b).size(), 2u);
    EXPECT_EQ(basecaller.lifetime_counts().reads_out, 4u);
}

TEST(BasecallerTest, OnlyReadTrafficIsHandled) {
    Basecaller basecaller;
    for (int value = 0; value < ipc_tools::NUM_MESSAGE_TYPES; ++value) {
        const auto type = static_cast<MessageType>(value);
        const bool traffic = type == MessageType::PASS_FIRST_RAW_BLOCK || type == MessageType::PASS_NEXT_RAW_BLOCK ||
                             type == MessageType::PASS_READ_BATCH || type == MessageType::GET_FIRST_CALLED_BLOCK ||
                             type == MessageType::GET_NEXT_CALLED_BLOCK || type == MessageType::NO_MORE_DATA;
        EXPECT_EQ(basecaller.handles(type), traffic) << ipc_tools::message_type_as_string(type);
    }
    EXPECT_EQ(send_simple(basecaller, make_client("c"), MessageType::HEARTBEAT_PING).type, MessageType::BAD_REQUEST);
}

TEST(BasecallerTest, FaultRulesRead) {
    struct Good {
        std::string text;
        FaultRule::Kind kind;
        Malformation spoil;
        ReadSelector::Kind selector;
    };
    const Good good[] = {
            {"split:4@3", FaultRule::Kind::split, Malformation::none, ReadSelector::Kind::nth},
            {"lose@%10", FaultRule::Kind::lose, Malformation::none, ReadSelector::Kind::every_kth},
            {"missing:bed_lines@id=a@b", FaultRule::Kind::spoil, Malformation::missing_field,
             ReadSelector::Kind::read_id},
            {"missing_later:sequence", FaultRule::Kind::spoil, Malformation::missing_field_later,
             ReadSelector::Kind::every},
            {"garbage@*", FaultRule::Kind::spoil, Malformation::garbage, ReadSelector::Kind::every},
            {"huge_lengths@1", FaultRule::Kind::spoil, Malformation::huge_lengths, ReadSelector::Kind::nth},
    };
    for (const Good& g : good) {
        const FaultRule rule = parse_fault_rule(g.text);
        EXPECT_EQ(rule.kind, g.kind) << g.text;
        EXPECT_EQ(rule.spoil.kind, g.spoil) << g.text;
        EXPECT_EQ(rule.selector.kind, g.selector) << g.text;
    }
    EXPECT_EQ(parse_fault_rule("split:4@3").pieces, 4u);
    EXPECT_EQ(parse_fault_rule("missing:bed_lines@id=a@b").selector.read_id, "a@b");
    EXPECT_EQ(parse_fault_rule("missing:bed_lines").spoil.field, WireField::bed_lines);

    for (const std::string bad : {"", "split", "split:1", "split:x", "lose:2", "missing:nothing", "missing",
                                  "garbage@0", "garbage@%0", "garbage@id=", "garbage@first", "sparkle@1"}) {
        EXPECT_THROW(parse_fault_rule(bad), std::invalid_argument) << bad;
    }
}

TEST(BasecallerTest, SettingsRead) {
    BasecallerOptions options;
    for (const char* setting : {"max_reads=7", "max_samples=0", "polls_before_ready=3", "called_block_bases=50",
                                "max_batch_reads=1", "batch_long_reads=true"}) {
        options.apply(setting);
    }
    EXPECT_EQ(options.max_reads, 7u);
    EXPECT_EQ(options.max_samples, 0u);
    EXPECT_EQ(options.polls_before_ready, 3u);
    EXPECT_EQ(options.called_block_bases, 50u);
    EXPECT_EQ(options.max_batch_reads, 1u);
    EXPECT_TRUE(options.batch_long_reads);
    for (const char* bad : {"max_reads", "max_reads=", "max_reads=-1", "called_block_bases=0", "speed=3",
                            "batch_long_reads=yes"}) {
        EXPECT_THROW(options.apply(bad), std::invalid_argument) << bad;
    }
    Basecaller basecaller;
    BasecallerOptions zero;
    zero.called_block_bases = 0;
    EXPECT_THROW(basecaller.set_options(zero), std::invalid_argument);
}

}  // namespace
