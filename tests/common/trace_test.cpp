#include "common/trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/trace_internal.h"

#include <boost/core/null_deleter.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>

extern char** environ;

namespace trace_test {
// Tag types: each gives a domain of its own, whose mode is fixed at its
// first use, so every test uses domains no other test touches.
struct Outer {
    struct Nested {};
};
struct CustomScopes {};
struct CustomTimed {};
struct LazyDisabled {};
struct HfOnly {};
struct ParallelWriters {};
struct FileDomain {};
struct SetupOnlyDomain {};
struct RotatedDomain {};
struct LateDomain {};
struct VerboseOn {};
struct VerboseOff {};
struct FailingWriter {};
}  // namespace trace_test

namespace {

namespace fs = std::filesystem;
namespace tracing = common::diagnostics::tracing;
using tracing::TraceDomain;
using tracing::TraceMode;

// Collects the lines of the custom writer; thread-safe.
class LineCollector {
public:
    ~LineCollector() {
        // Later tests must not write into a collector that is gone.
        tracing::testability::set_custom_trace_writer([](const std::string&) {});
        tracing::flush();
    }

    std::function<void(const std::string&)> writer() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    std::vector<std::string> lines() {
        tracing::flush();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

void configure(const std::string& text) {
    std::istringstream stream(text);
    tracing::testability::configure_trace_domains(stream);
}

const char* const kStamp = R"(-?\d+\.\d{3}ms  thread:0x[0-9a-f]+ )";

// Each line is a time stamp and thread id followed by its pattern, in order.
void expect_stamped_lines(const std::vector<std::string>& lines,
                          const std::vector<std::string>& patterns) {
    ASSERT_EQ(lines.size(), patterns.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(kStamp + patterns[i])))
                << "line '" << lines[i] << "' does not match " << patterns[i];
    }
}

// ---------------------------------------------------------------------------
// Configuration grammar

TEST(TraceConfigurationTest, GrammarGivesEachDomainItsMode) {
    struct Case {
        const char* config;
        const char* domain;
        TraceMode expected;
    };
    const Case cases[] = {
            {"", "strandlink::Client", TraceMode::none},
            {"*", "strandlink::Client", TraceMode::verbose_log},
            {"*", "hftrace::strandlink::Client", TraceMode::none},
            {"hftrace::* stdout", "hftrace::strandlink::ReadBuffer", TraceMode::none},
            {"hftrace::strandlink::ReadBuffer trace_file", "hftrace::strandlink::ReadBuffer",
             TraceMode::trace_file},
            {"strandlink::* stdout\nstrandlink::Read* stderr", "strandlink::ReadBuffer",
             TraceMode::std_err},
            {"strandlink::* stdout\nstrandlink::Read* stderr", "strandlink::Client",
             TraceMode::std_out},
            {"strandlink::* stdout\nstrandlink::Client custom", "strandlink::Client",
             TraceMode::custom},
            {"a stdout\na stderr", "a", TraceMode::std_out},
            {"a verbose", "a", TraceMode::none},
            {"a # comment", "a", TraceMode::verbose_log},
            {"  a\tstderr   # and a comment \r", "a", TraceMode::std_err},
            {"a win_dbg_out", "a", TraceMode::win_dbg_out},
            {"a STDOUT", "a", TraceMode::none},
            {"# a stdout", "a", TraceMode::none},
            {"#a stdout", "a", TraceMode::none},
            {"a*b stderr", "a*b", TraceMode::std_err},
            {"a*b stderr", "a*bc", TraceMode::none},
            {"a* stdout", "abc", TraceMode::std_out},
            {"a* stdout", "b", TraceMode::none},
            {"\n\n   \nlast_line_without_newline stdout", "last_line_without_newline",
             TraceMode::std_out},
            // Exclusions are applied when a context is made, not by the lookup.
            {"* exclude\na stdout", "a", TraceMode::std_out},
    };
    tracing::testability::set_default_trace_mode(TraceMode::verbose_log);
    for (const auto& c : cases) {
        configure(c.config);
        EXPECT_EQ(tracing::testability::get_domain_trace_mode(c.domain), c.expected)
                << "config: '" << c.config << "', domain " << c.domain;
    }
}

TEST(TraceConfigurationTest, DefaultModeAndCommaSeparatedDomains) {
    tracing::testability::set_default_trace_mode(TraceMode::std_err);
    configure("a\nb # with comment");
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("a"), TraceMode::std_err);
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("b"), TraceMode::std_err);

    tracing::testability::set_enabled_trace_domains(" x , y* ,, ");
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("x"), TraceMode::std_err);
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("yes"), TraceMode::std_err);
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("a"), TraceMode::none);

    // A mode-0 exact entry does not stop the search; a mode-0 prefix does.
    tracing::testability::set_default_trace_mode(TraceMode::none);
    configure("a\nz* stdout");
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("a"), TraceMode::none);
    tracing::testability::set_enabled_trace_domains("zed");
    {
        std::istringstream more("z* stdout");
        tracing::details::TraceConfiguration::instance().configure_trace_domains_impl(more);
    }
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("zed"), TraceMode::std_out);
    tracing::testability::set_enabled_trace_domains("z*");
    {
        std::istringstream more("zed* stderr\n* stdout");
        tracing::details::TraceConfiguration::instance().configure_trace_domains_impl(more);
    }
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("zedd"), TraceMode::std_err);
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("zeb"), TraceMode::none);
    tracing::testability::set_default_trace_mode(TraceMode::verbose_log);
}

TEST(TraceConfigurationTest, ConfigurationFromPath) {
    const fs::path dir = fs::temp_directory_path() / ("trace_cfg_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "domains.cfg";
    std::ofstream(file) << "from_file stderr\n";

    configure("before stdout");
    tracing::testability::configure_trace_domains(std::string());  // changes nothing
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("before"), TraceMode::std_out);

    tracing::testability::configure_trace_domains(file.string());
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("from_file"), TraceMode::std_err);
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("before"), TraceMode::none);

    namespace logging = boost::log;
    auto captured = boost::make_shared<std::ostringstream>();
    auto backend = boost::make_shared<logging::sinks::text_ostream_backend>();
    backend->add_stream(boost::shared_ptr<std::ostream>(captured.get(), boost::null_deleter()));
    auto sink = boost::make_shared<logging::sinks::synchronous_sink<logging::sinks::text_ostream_backend>>(
            backend);
    logging::core::get()->add_sink(sink);
    configure("before stdout");
    const std::string missing = (dir / "missing.cfg").string();
    tracing::testability::configure_trace_domains(missing);
    logging::core::get()->remove_sink(sink);
    sink->flush();
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("before"), TraceMode::none);
    EXPECT_NE(captured->str().find("Could not read trace configuration file: " + missing + "\n"),
              std::string::npos)
            << captured->str();
    fs::remove_all(dir);
}

TEST(TraceConfigurationTest, ExclusionsDisableContexts) {
    struct Case {
        const char* config;
        const char* domain;
        bool active;
    };
    const Case cases[] = {
            {"x stdout", "x", true},
            {"* exclude\nx stdout", "x", false},
            {"x stdout\nx exclude", "x", false},
            {"xy stdout\nx* exclude", "xy", false},
            {"xy stdout\nxz* exclude", "xy", true},
            {"hftrace::x stdout", "hftrace::x", true},
            {"x stdout", "hftrace::x", false},
    };
    for (const auto& c : cases) {
        configure(c.config);
        EXPECT_EQ(tracing::details::create_trace_context(c.domain)->is_active(), c.active)
                << c.config;
    }
}

TEST(TraceConfigurationTest, ConcurrentReconfigurationAndContextCreation) {
    // A second client's set-up may reconfigure while other threads make
    // their domain contexts; the table is locked for both.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0) {
                    configure("racing* stdout\nracing::b exclude");
                } else {
                    tracing::details::create_trace_context("racing::a" + std::to_string(i));
                    tracing::testability::get_domain_trace_mode("racing::b");
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(tracing::testability::get_domain_trace_mode("racing::a"), TraceMode::std_out);
}

// ---------------------------------------------------------------------------
// Domains, scopes and line formats

TEST(TraceDomainTest, DomainNamesAreQualifiedClassNames) {
    EXPECT_EQ(TraceDomain<trace_test::Outer>::domain_name(), "trace_test::Outer");
    EXPECT_EQ(TraceDomain<trace_test::Outer::Nested>::domain_name(), "trace_test::Outer::Nested");
    EXPECT_EQ(TraceDomain<trace_test::Outer::Nested>::hftrace_domain_name(),
              "hftrace::trace_test::Outer::Nested");
    EXPECT_STREQ(tracing::details::HFTRACE_PREFIX, "hftrace::");
}

TEST(TraceDomainTest, TimestampForm) {
    struct Case {
        long long nanoseconds;
        const char* text;
    };
    const Case cases[] = {
            {0, "0.000ms "},          {999, "0.000ms "},      {5000, "0.005ms "},
            {1000000, "1.000ms "},    {1001000, "1.001ms "},  {5007000, "5.007ms "},
            {123456789012, "123456.789ms "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tracing::details::create_timestamp(std::chrono::nanoseconds(c.nanoseconds)),
                  c.text);
    }
}

TEST(TraceDomainTest, ScopesWriteEntryMessageAndExitLines) {
    LineCollector collector;
    tracing::testability::set_custom_trace_writer(collector.writer());
    configure("trace_test::CustomScopes\ntrace_test::CustomTimed custom");
    using Domain = TraceDomain<trace_test::CustomScopes>;
    ASSERT_TRUE(Domain::get_trace_context()->is_active());
    try {
        auto trace = Domain::create_trace("operate");
        trace.message("plain text");
        trace.message([] { return std::string("lazy text"); });
        trace.timed_message("untimed");
        Domain::get_trace_context()->write_message("direct", "single line");
        throw std::runtime_error("leave by exception");
    } catch (const std::runtime_error&) {
    }
    {
        auto timed = TraceDomain<trace_test::CustomTimed>::create_timed_trace("measure");
        timed.timed_message("halfway");
    }

    const std::string scope = "trace_test::CustomScopes::";
    const std::vector<std::string> patterns = {
            scope + R"(operate \[ENTER\] )",
            scope + R"(operate \[TRACE\]  plain text)",
            scope + R"(operate \[TRACE\]  lazy text)",
            scope + R"(operate \[TRACE\]  untimed)",
            scope + R"(direct \[TRACE\]  single line)",
            scope + R"(operate \[LEAVE\] )",
            R"(trace_test::CustomTimed::measure \[ENTER\] )",
            R"(trace_test::CustomTimed::measure \[TRACE\]  halfway \d+\.\d{3}ms )",
            R"(trace_test::CustomTimed::measure \[LEAVE\]  \d+\.\d{3}ms )",
    };
    const auto lines = collector.lines();
    expect_stamped_lines(lines, patterns);
}

TEST(TraceDomainTest, DisabledDomainsNeverBuildText) {
    configure("trace_test::HfOnly custom\nhftrace::trace_test::LazyDisabled custom");
    using Lazy = TraceDomain<trace_test::LazyDisabled>;
    using Hf = TraceDomain<trace_test::HfOnly>;
    EXPECT_FALSE(Lazy::get_trace_context()->is_active());
    EXPECT_TRUE(Lazy::get_hftrace_context()->is_active());
    EXPECT_TRUE(Hf::get_trace_context()->is_active());
    EXPECT_FALSE(Hf::get_hftrace_context()->is_active());

    bool called = false;
    {
        auto trace = Lazy::create_trace("quiet");
        trace.message([&called] {
            called = true;
            return std::string();
        });
        trace.message(std::function<std::string()>{});  // passed through, never called
    }
    Hf::write_hftrace("quiet", [&called] {
        called = true;
        return std::string();
    });
    EXPECT_FALSE(called);

    // The mode is fixed at first use: a later configuration changes nothing.
    configure("trace_test::LazyDisabled custom");
    EXPECT_FALSE(Lazy::get_trace_context()->is_active());
}

TEST(TraceDomainTest, EmptyTextFunctionOnEnabledDomainThrowsInCaller) {
    configure("trace_test::Outer custom");
    auto context = TraceDomain<trace_test::Outer>::get_trace_context();
    ASSERT_TRUE(context->is_active());
    EXPECT_THROW(context->write_message("op", std::function<std::string()>{}),
                 std::bad_function_call);
}

TEST(TraceDomainTest, LinesOfManyThreadsAllArriveWhole) {
    LineCollector collector;
    tracing::testability::set_custom_trace_writer(collector.writer());
    configure("trace_test::ParallelWriters custom");
    using Domain = TraceDomain<trace_test::ParallelWriters>;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                auto trace = Domain::create_trace("worker" + std::to_string(t));
                trace.message(std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = collector.lines();
    ASSERT_EQ(lines.size(), 4u * 50u * 3u);
    std::vector<int> next(4, 0);
    const std::regex message(std::string(kStamp) +
                             R"(trace_test::ParallelWriters::worker(\d) \[TRACE\]  (\d+))");
    for (const auto& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, message)) {
            const int t = std::stoi(match[1]);
            EXPECT_EQ(std::stoi(match[2]), next[t]++) << "lines of one thread kept their order";
        }
    }
    EXPECT_THAT(next, ::testing::Each(50));
}

TEST(TraceDomainTest, AFailingWriterLosesOnlyItsOwnLines) {
    configure("trace_test::FailingWriter custom");
    using Domain = TraceDomain<trace_test::FailingWriter>;
    const std::function<void(const std::string&)> failing_writers[] = {
            [](const std::string&) { throw std::runtime_error("writer broke"); },
            [](const std::string&) { throw 42; },  // not a std::exception
    };
    for (const auto& failing : failing_writers) {
        tracing::testability::set_custom_trace_writer(failing);
        Domain::get_trace_context()->write_message("op", "lost");
        tracing::flush();

        LineCollector collector;
        tracing::testability::set_custom_trace_writer(collector.writer());
        Domain::get_trace_context()->write_message("op", "kept");
        const auto lines = collector.lines();
        ASSERT_EQ(lines.size(), 1u) << "the tracing thread survived the failing writer";
        EXPECT_NE(lines[0].find("[TRACE]  kept"), std::string::npos);
    }
}

TEST(TraceDomainTest, VerboseLogModeNeedsVerboseLoggingAtFirstUse) {
    namespace logging = boost::log;
    tracing::testability::set_default_trace_mode(TraceMode::verbose_log);
    configure("trace_test::*");

    logging::core::get()->set_logging_enabled(false);
    EXPECT_FALSE(TraceDomain<trace_test::VerboseOff>::get_trace_context()->is_active());
    logging::core::get()->set_logging_enabled(true);

    auto captured = boost::make_shared<std::ostringstream>();
    auto backend = boost::make_shared<logging::sinks::text_ostream_backend>();
    backend->add_stream(boost::shared_ptr<std::ostream>(captured.get(), boost::null_deleter()));
    auto sink = boost::make_shared<logging::sinks::synchronous_sink<logging::sinks::text_ostream_backend>>(
            backend);
    logging::core::get()->add_sink(sink);
    {
        auto trace = TraceDomain<trace_test::VerboseOn>::create_trace("logged");
    }
    tracing::flush();
    logging::core::get()->remove_sink(sink);
    sink->flush();
    const std::string text = captured->str();
    EXPECT_NE(text.find("trace_test::VerboseOn::logged [ENTER] "), std::string::npos) << text;
    EXPECT_NE(text.find("trace_test::VerboseOn::logged [LEAVE] "), std::string::npos) << text;
    EXPECT_FALSE(TraceDomain<trace_test::VerboseOff>::get_trace_context()->is_active())
            << "a domain keeps the context of its first use";
}

// ---------------------------------------------------------------------------
// Trace files, written by child processes that set the environment variables.

fs::path make_temp_dir(const std::string& label) {
    std::string pattern = (fs::temp_directory_path() / ("sl_trace_" + label + "_XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// Runs one of the ChildScenario tests below in a fresh process with the given
// extra environment; returns its exit status.
int run_child(const std::string& scenario, const std::vector<std::string>& extra_env) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("ZEB_BASECALL_TRACE_", 0) != 0 && entry.rfind("SL_TRACE_CHILD", 0) != 0) {
            env_text.push_back(entry);
        }
    }
    env_text.push_back("SL_TRACE_CHILD=1");
    env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& entry : env_text) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=TraceChildScenario." + scenario;
    std::vector<char*> argv = {exe.data(), filter.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> read_lines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string exe_stem() { return fs::read_symlink("/proc/self/exe").stem().string(); }

const char* const kTimePart = R"(_\d{4}-\d{2}-\d{2}_T\d{2}-\d{2}-\d{2}_)";

bool in_child() { return std::getenv("SL_TRACE_CHILD") != nullptr; }

// Destroyed after the tracing output has shut down at exit (it is made
// before tracing's first use), and still traces from its destructor.
struct LateTracer : private TraceDomain<trace_test::LateDomain> {
    ~LateTracer() { auto trace = create_trace("late_destructor"); }
};

TEST(TraceChildScenario, EnvironmentConfigAndFolder) {
    if (!in_child()) {
        GTEST_SKIP() << "runs as a child of TraceFileTest";
    }
    static LateTracer late;
    tracing::context()
            .using_trace_output_folder(std::getenv("SL_OTHER_FOLDER"))
            .with_trace_domains_file(std::getenv("SL_DOMAINS_FILE"))
            .with_trace_file_unique_id("run7")
            .initialise();
    // A second initialise does nothing, whatever changed in between.
    tracing::context().with_trace_file_unique_id("other").initialise();

    auto trace = TraceDomain<trace_test::FileDomain>::create_trace("first");
    trace.message("hello file");
    auto ignored = TraceDomain<trace_test::SetupOnlyDomain>::create_trace("not_traced");
    // No flush: what is queued is written at process exit.
}

TEST(TraceChildScenario, BuilderFolderAndNumericId) {
    if (!in_child()) {
        GTEST_SKIP() << "runs as a child of TraceFileTest";
    }
    tracing::context()
            .using_trace_output_folder(std::getenv("SL_OTHER_FOLDER"))
            .with_trace_domains_file(std::getenv("SL_DOMAINS_FILE"))
            .with_trace_file_unique_id(0)
            .with_trace_file_unique_id("has blank")
            .with_trace_file_unique_id(-1)
            .initialise();
    auto trace = TraceDomain<trace_test::SetupOnlyDomain>::create_trace("from_setup_file");
}

TEST(TraceChildScenario, Rotation) {
    if (!in_child()) {
        GTEST_SKIP() << "runs as a child of TraceFileTest";
    }
    const std::string text(1000, 'x');
    for (int i = 0; i < 7400; ++i) {
        TraceDomain<trace_test::RotatedDomain>::get_trace_context()->write_message("fill", text);
    }
    tracing::flush();
}

TEST(TraceChildScenario, FolderAppearsLater) {
    if (!in_child()) {
        GTEST_SKIP() << "runs as a child of TraceFileTest";
    }
    auto context = TraceDomain<trace_test::FileDomain>::get_trace_context();
    context->write_message("op", "dropped: no folder yet");
    tracing::flush();
    fs::create_directory(std::getenv("ZEB_BASECALL_TRACE_FOLDER"));
    context->write_message("op", "written");
    tracing::flush();
}

class TraceFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = make_temp_dir("folder");
        m_other = make_temp_dir("other");
        m_config_dir = make_temp_dir("config");
        std::ofstream(m_config_dir / "env.cfg")
                << "# environment configuration\n"
                << "trace_test::FileDomain trace_file\n"
                << "trace_test::LateDomain trace_file\n"
                << "trace_test::RotatedDomain trace_file\n";
        std::ofstream(m_config_dir / "setup.cfg") << "trace_test::SetupOnlyDomain trace_file\n";
    }
    void TearDown() override {
        fs::remove_all(m_folder);
        fs::remove_all(m_other);
        fs::remove_all(m_config_dir);
    }

    std::string env(const char* name, const fs::path& value) const {
        return std::string(name) + "=" + value.string();
    }

    fs::path m_folder;
    fs::path m_other;
    fs::path m_config_dir;
};

TEST_F(TraceFileTest, EnvironmentFolderWinsAndQueuedLinesAreWrittenAtExit) {
    ASSERT_EQ(run_child("EnvironmentConfigAndFolder",
                        {env("ZEB_BASECALL_TRACE_CONFIG", m_config_dir / "env.cfg"),
                         env("ZEB_BASECALL_TRACE_FOLDER", m_folder),
                         env("SL_OTHER_FOLDER", m_other),
                         env("SL_DOMAINS_FILE", m_config_dir / "setup.cfg")}),
              0);
    EXPECT_TRUE(files_in(m_other).empty());
    const auto files = files_in(m_folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(exe_stem() + "_run7" + kTimePart + R"(0\.trace)")))
            << files[0];

    // The domains file of the set-up is not read: the environment's
    // configuration already has entries.
    const std::vector<std::string> patterns = {
            R"(trace_test::FileDomain::first \[ENTER\] )",
            R"(trace_test::FileDomain::first \[TRACE\]  hello file)",
            R"(trace_test::FileDomain::first \[LEAVE\] )",
            R"(trace_test::LateDomain::late_destructor \[ENTER\] )",
            R"(trace_test::LateDomain::late_destructor \[LEAVE\] )",
    };
    const auto lines = read_lines(files[0]);
    expect_stamped_lines(lines, patterns);
}

TEST_F(TraceFileTest, EmptyEnvironmentFolderLeavesTheBuilderFolder) {
    ASSERT_EQ(run_child("BuilderFolderAndNumericId",
                        {"ZEB_BASECALL_TRACE_FOLDER=", env("SL_OTHER_FOLDER", m_other),
                         env("SL_DOMAINS_FILE", m_config_dir / "setup.cfg")}),
              0);
    EXPECT_TRUE(files_in(m_folder).empty());
    const auto files = files_in(m_other);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(exe_stem() + "_0" + kTimePart + R"(0\.trace)")))
            << files[0];
    const auto lines = read_lines(files[0]);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(
            lines[0],
            std::regex(kStamp + std::string(R"(trace_test::SetupOnlyDomain::from_setup_file \[ENTER\] )"))));
}

TEST_F(TraceFileTest, FilesRotateAtTheSizeLimitUnderOnePrefix) {
    ASSERT_EQ(run_child("Rotation", {env("ZEB_BASECALL_TRACE_CONFIG", m_config_dir / "env.cfg"),
                                     env("ZEB_BASECALL_TRACE_FOLDER", m_folder)}),
              0);
    const auto files = files_in(m_folder);
    ASSERT_EQ(files.size(), 2u);
    const std::string first = files[0].filename().string();
    const std::string second = files[1].filename().string();
    ASSERT_TRUE(std::regex_match(first, std::regex(exe_stem() + kTimePart + R"(0\.trace)"))) << first;
    EXPECT_EQ(second, first.substr(0, first.size() - 7) + "1.trace");

    const auto first_size = fs::file_size(files[0]);
    EXPECT_GE(first_size, 7340032u);
    EXPECT_LT(first_size, 7340032u + 1200u);
    EXPECT_EQ(read_lines(files[0]).size() + read_lines(files[1]).size(), 7400u);
}

TEST_F(TraceFileTest, FailedOpeningKeepsTheNumbering) {
    const fs::path later = m_folder / "later";
    ASSERT_EQ(run_child("FolderAppearsLater",
                        {env("ZEB_BASECALL_TRACE_CONFIG", m_config_dir / "env.cfg"),
                         env("ZEB_BASECALL_TRACE_FOLDER", later)}),
              0);
    const auto files = files_in(later);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(exe_stem() + kTimePart + R"(1\.trace)")))
            << files[0];
    const auto lines = read_lines(files[0]);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[TRACE]  written"), std::string::npos);
}

}  // namespace
