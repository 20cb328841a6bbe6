#include "data_model/metadata.h"

#include <gtest/gtest.h>

#include <sstream>

using kelp::data_wrappers::v2::MapWrapper;
using kelp::data_wrappers::v2::Metadata;

namespace {

template <typename F>
std::string what_of(F&& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "<no out_of_range>";
}

template <typename Tag, typename Expected>
void expect_tag(const char* key) {
    static_assert(std::is_same_v<typename Tag::value_type, Expected>);
    EXPECT_EQ(std::string(Tag::key), key);
}

TEST(MetadataTest, KeyTagsNameTheirKeyAndType) {
    expect_tag<read_data::read_id, std::string>("read_id");
    expect_tag<read_data::strand_id, std::string>("strand_id");
    expect_tag<read_data::run_id, std::string>("run_id");
    expect_tag<read_data::filename, std::string>("filename");
    expect_tag<read_data::time_stamp, std::string>("time_stamp");
    expect_tag<read_data::sequencing_kit, std::string>("sequencing_kit");
    expect_tag<read_data::flow_cell_product_code, std::string>("flow_cell_product_code");
    expect_tag<read_data::duplex_strand_1, std::string>("duplex_strand_1");
    expect_tag<read_data::duplex_strand_2, std::string>("duplex_strand_2");
    expect_tag<read_data::channel, int>("channel");
    expect_tag<read_data::mux, unsigned int>("mux");
    expect_tag<read_data::read_number, unsigned int>("read_number");
    expect_tag<read_data::duration, unsigned long long>("duration");
    expect_tag<read_data::trimmed_samples, unsigned long long>("trimmed_samples");
    expect_tag<read_data::sampling_rate, float>("sampling_rate");
    expect_tag<read_data::daq_offset, float>("daq_offset");
    expect_tag<read_data::daq_scaling, float>("daq_scaling");
    expect_tag<basecall_data::mean_qscore, float>("mean_qscore");
    expect_tag<basecall_data::scaling_median, float>("scaling_median");
    expect_tag<basecall_data::scaling_med_abs_dev, float>("scaling_med_abs_dev");
    expect_tag<basecall_data::sequence_length, unsigned long long>("sequence_length");
    expect_tag<basecall_data::base_mod_alphabet, std::string>("base_mod_alphabet");
    expect_tag<basecall_data::trimmed_events, unsigned long long>("trimmed_events");
    expect_tag<basecall_data::num_events, unsigned long long>("num_events");
    expect_tag<basecall_data::model_stride, unsigned long long>("model_stride");
    expect_tag<apps::config_details::duplex, bool>("duplex");
}

TEST(MetadataTest, GetReadsThroughTheTagsType) {
    Metadata m;
    m.insert("read_id", std::string("r1"));
    m.insert<unsigned long long>("duration", 4000);
    m.insert<int>("channel", 3);
    EXPECT_EQ(m.get<read_data::read_id>(), "r1");
    EXPECT_EQ(m.get<read_data::duration>(), 4000u);

    m.get<read_data::channel>() = 7;  // the reference is writable
    EXPECT_EQ(m.get_value<int>("channel"), 7);
}

TEST(MetadataTest, GetErrorsForAbsentKeyAndForWrongType) {
    Metadata m;
    EXPECT_EQ(what_of([&] { m.get<read_data::read_id>(); }), "Key 'read_id' not found.");
    m.insert<int>("mux", 1);  // mux belongs under unsigned int
    EXPECT_TRUE(m.exists("mux"));
    EXPECT_EQ(what_of([&] { m.get<read_data::mux>(); }), "Key 'mux' not found.");
    m.insert<unsigned int>("duration", 1);  // duration belongs under unsigned long long
    EXPECT_EQ(what_of([&] { m.get<read_data::duration>(); }), "Key 'duration' not found.");
}

TEST(MetadataTest, ConstructionFromWrapperAndSchema) {
    auto entries = [] {
        MapWrapper w;
        w.insert("read_id", std::string("r"));
        w.insert<unsigned int>("channel", 1);
        w.insert<int>("extra", 2);
        return w;
    };
    const MapWrapper::Schema schema{{"read_id", typeid(std::string)}, {"channel", typeid(int)}};

    MapWrapper w1 = entries();
    Metadata filtered(std::move(w1), schema);
    EXPECT_EQ(filtered.size(), 1u);
    EXPECT_EQ(filtered.get<read_data::read_id>(), "r");
    EXPECT_FALSE(filtered.exists("channel"));
    EXPECT_TRUE(w1.empty());

    MapWrapper w2 = entries();
    Metadata all(std::move(w2), {});
    EXPECT_EQ(all.size(), 3u);
    EXPECT_TRUE(w2.empty());

    MapWrapper w3;
    w3.insert("read_id", std::string("r"));
    Metadata no_added(std::move(w3), schema);
    EXPECT_EQ(no_added.size(), 1u);
    EXPECT_FALSE(no_added.exists("channel"));
}

TEST(MetadataTest, CopyAndMoveLikeTheWrapper) {
    static_assert(sizeof(Metadata) == sizeof(MapWrapper));
    static_assert(std::is_nothrow_move_constructible_v<Metadata>);
    static_assert(std::is_nothrow_move_assignable_v<Metadata>);

    Metadata a;
    a.insert("read_id", std::string("r"));
    Metadata copy = a;
    copy.get<read_data::read_id>() = "changed";
    EXPECT_EQ(a.get<read_data::read_id>(), "r");

    Metadata moved(std::move(a));
    EXPECT_TRUE(a.empty());
    a.insert<int>("channel", 1);
    EXPECT_EQ(a.get<read_data::channel>(), 1);

    copy = std::move(moved);
    EXPECT_EQ(copy.get<read_data::read_id>(), "r");
    EXPECT_TRUE(moved.empty());
}

TEST(MetadataTest, WriteToStreamMatchesTheWrapper) {
    Metadata m;
    std::ostringstream empty;
    m.write_to_stream(empty);
    EXPECT_EQ(empty.str(), "{}");

    m.insert<int>("a", 1);
    m.insert("b", std::string("x"));
    std::ostringstream meta_text, wrapper_text;
    m.write_to_stream(meta_text);
    static_cast<const MapWrapper&>(m).write_to_stream(wrapper_text);
    EXPECT_EQ(meta_text.str(), "{ (a=1), (b=x) }");
    EXPECT_EQ(meta_text.str(), wrapper_text.str());
}

}  // namespace
