#include "common/log_format.h"

#include "common/log_sources.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/log/attributes/attribute_set.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Signatures as g++ writes them, taken from real functions.
namespace log_format_probe {

std::string free_function(const std::string&) { return __PRETTY_FUNCTION__; }

template <typename T>
struct Holder {
    std::string member(int) const { return __PRETTY_FUNCTION__; }
    static int* pointer(std::string* text) {
        *text = __PRETTY_FUNCTION__;
        return nullptr;
    }
};

std::string lambda_in_function() {
    return [](const std::exception&) { return std::string(__PRETTY_FUNCTION__); }(
        std::runtime_error("x"));
}

const auto namespace_lambda = [](const std::exception&) {
    return std::string(__PRETTY_FUNCTION__);
};

}  // namespace log_format_probe

namespace {

using common::logging::CreateLogFormatters;
using common::logging::FormatterSettings;
using common::logging::attributes::SeverityLevel;
using common::logging::expressions::detail::shorten_pretty_function;


struct AnonymousProbe {
    virtual ~AnonymousProbe() = default;
    virtual std::string report() const { return __PRETTY_FUNCTION__; }
};

const auto anonymous_lambda = [](const std::exception&) { return std::string(__PRETTY_FUNCTION__); };

TEST(ShortenPrettyFunction, KeepsTheQualifiedName) {
    struct Case {
        std::string function, expected;
    };
    const std::vector<Case> cases = {
        {"void ipc_tools::RequestBroker::fetch_and_validate_reply(const std::string &, "
         "ipc_tools::Message &)",
         "ipc_tools::RequestBroker::fetch_and_validate_reply"},
        {"virtual void ContextBuilder::initialise()", "ContextBuilder::initialise"},
        {"apps::PassReadResult apps::StrandlinkImpl::pass_read(interfaces::ReadHolder &, uint32_t)",
         "apps::StrandlinkImpl::pass_read"},
        {"auto (anonymous namespace)::(anonymous class)::operator()(const std::exception &) const",
         ""},
        {"no parenthesis <a b> here", "no parenthesis <a b> here"},
        {"(starts with parenthesis)", ""},
        {"int *ns::make(int)", "*ns::make"},
        {"const std::string &ns::name() const", "&ns::name"},
        {"void ns::Box<std::pair<int, long> >::put(int)", "ns::Box<>::put"},
        {"std::vector<int> ns::Box<int, long>::all()", "std::vector<>::all"},
        {"void ns::f>g<h(int)", "ns::f>g<"},
        {"void f()", "f"},
        {"", ""},
        // g++ spellings of anonymous namespaces and lambdas end the name as
        // "(anonymous namespace)" and "(anonymous class)" do.
        {"void {anonymous}::Handler::handle(const std::string&, bool)", ""},
        {"{anonymous}::<lambda(const std::exception&)>", ""},
        {"ns::<lambda(int)>", "ns::"},
        {"ns::f()::<lambda(int)>", "ns::f"},
        {"void ns::{anonymous}::Inner::run()", "ns::"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shorten_pretty_function(c.function), c.expected) << "function: " << c.function;
    }
}

TEST(ShortenPrettyFunction, WorksOnWhatGccWrites) {
    std::string pointer_function;
    log_format_probe::Holder<std::pair<int, long>>::pointer(&pointer_function);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {log_format_probe::free_function(""), "log_format_probe::free_function"},
        {log_format_probe::Holder<std::pair<int, long>>().member(1), "log_format_probe::Holder<>::member"},
        // g++ attaches the "*" to the return type, so it does not show.
        {pointer_function, "log_format_probe::Holder<>::pointer"},
        {log_format_probe::lambda_in_function(), "log_format_probe::lambda_in_function"},
        {log_format_probe::namespace_lambda(std::runtime_error("x")), "log_format_probe::"},
        {AnonymousProbe().report(), ""},
        {anonymous_lambda(std::runtime_error("x")), ""},
    };
    for (const auto& [function, expected] : cases) {
        EXPECT_EQ(shorten_pretty_function(function), expected) << "function: " << function;
    }
}

class AcceptAllBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view&) {}
};

// Opens records with exactly the attributes a test gives (no global or
// thread attributes) and formats them without pushing them.
class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto core = boost::log::core::get();
        m_global = core->get_global_attributes();
        m_thread = core->get_thread_attributes();
        core->set_global_attributes(boost::log::attribute_set());
        core->set_thread_attributes(boost::log::attribute_set());
        core->reset_filter();
        core->set_logging_enabled(true);
        m_sink = boost::make_shared<boost::log::sinks::synchronous_sink<AcceptAllBackend>>();
        core->add_sink(m_sink);
    }
    void TearDown() override {
        auto core = boost::log::core::get();
        core->remove_sink(m_sink);
        core->set_global_attributes(m_global);
        core->set_thread_attributes(m_thread);
    }

    static boost::log::attribute_set full_attributes() {
        boost::log::attribute_set attributes;
        attributes.insert("TimeStamp", boost::log::attributes::make_constant(
                                           boost::posix_time::ptime(
                                               boost::gregorian::date(2024, 3, 5),
                                               boost::posix_time::time_duration(14, 7, 9) +
                                                   boost::posix_time::microseconds(5))));
        attributes.insert("Channel", boost::log::attributes::make_constant(std::string("warning")));
        attributes.insert("Severity", boost::log::attributes::make_constant(SeverityLevel::warning));
        attributes.insert("Function",
                          boost::log::attributes::make_constant(std::string(
                              "apps::PassReadResult apps::StrandlinkImpl::pass_read("
                              "interfaces::ReadHolder &, uint32_t)")));
        attributes.insert("ThreadID", boost::log::attributes::make_constant(
                                          boost::log::attributes::current_thread_id::value_type(
                                              0x4d2)));
        return attributes;
    }

    static std::string format(const FormatterSettings& settings,
                              const boost::log::attribute_set& attributes) {
        boost::log::record record = boost::log::core::get()->open_record(attributes);
        if (!record) {
            throw std::logic_error("record not opened");
        }
        record.attribute_values().insert(
            "Message", boost::log::attributes::make_constant(std::string("the message")).get_value());
        const boost::log::record_view view = record.lock();
        std::string text;
        boost::log::formatting_ostream stream(text);
        CreateLogFormatters(settings)(view, stream);
        stream.flush();
        return text;
    }

    boost::log::attribute_set m_global;
    boost::log::attribute_set m_thread;
    boost::shared_ptr<boost::log::sinks::synchronous_sink<AcceptAllBackend>> m_sink;
};

FormatterSettings settings_for_key(unsigned key) {
    FormatterSettings settings;
    settings.show_timestamp = (key & 16) != 0;
    settings.show_channel = (key & 8) != 0;
    settings.show_severity = (key & 4) != 0;
    settings.show_function = (key & 2) != 0;
    settings.show_thread_id = (key & 1) != 0;
    return settings;
}

TEST_F(LogFormatTest, EveryLayoutWritesItsPartsInOrder) {
    const std::vector<std::string> parts = {
        "2024-03-05 14:07:09.000005 ", "[zeb/warning] ", "{warning} ",
        "apps::StrandlinkImpl::pass_read: ", "(thread: 0x00000000000004d2) "};
    const boost::log::attribute_set attributes = full_attributes();
    for (unsigned key = 0; key < 32; ++key) {
        std::string expected;
        for (unsigned part = 0; part < parts.size(); ++part) {
            if ((key & (16u >> part)) != 0) {
                expected += parts[part];
            }
        }
        expected += "the message";
        EXPECT_EQ(format(settings_for_key(key), attributes), expected) << "key " << key;
    }
}

TEST_F(LogFormatTest, DefaultSettingsShowTimeSeverityAndFunction) {
    EXPECT_EQ(format(FormatterSettings(), full_attributes()),
              "2024-03-05 14:07:09.000005 {warning} apps::StrandlinkImpl::pass_read: the message");
}

TEST_F(LogFormatTest, MissingAttributesLeaveOnlyTheLiterals) {
    EXPECT_EQ(format(settings_for_key(31), boost::log::attribute_set()),
              "[zeb/] {} : (thread: ) the message");
    EXPECT_EQ(format(settings_for_key(0), boost::log::attribute_set()), "the message");
}

TEST_F(LogFormatTest, SeverityAboveErrorShowsAsUnknown) {
    boost::log::attribute_set attributes;
    attributes.insert("Severity", boost::log::attributes::make_constant(static_cast<SeverityLevel>(9)));
    attributes.insert("Function",
                      boost::log::attributes::make_constant(std::string("plain function text")));
    EXPECT_EQ(format(settings_for_key(6), attributes),
              "{unknown} plain function text: the message");
}

}  // namespace
