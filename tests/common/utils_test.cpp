#include "common/utils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <limits>
#include <list>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(Split, KeepsEmptyPiecesAndYieldsSeparatorsPlusOne) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"", {""}},
        {"a", {"a"}},
        {"a,b", {"a", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {"a,,b", {"a", "", "b"}},
        {",", {"", ""}},
        {"a b,c d", {"a b", "c d"}},
    };
    for (const auto& [text, pieces] : cases) {
        EXPECT_EQ(kelp::shared::split(text, ','), pieces) << "text: '" << text << "'";
    }
}

TEST(RelativePath, WorksOnTextAlone) {
    struct Case {
        std::string target, base, expected;
    };
    const std::vector<Case> cases = {
        {"/a/b/c", "/a/x/", "../b/c"},
        {"/a/b/c", "/a/b/c", ""},
        {"/a/b", "/a/b/c", ".."},
        {"/a/b/", "/a", "b/."},
        {"/a/b", "/", "/a/b"},
        {"/a/b", "///", "/a/b"},
        {"a/b", "a", "b"},
        {"/a/./b", "/a/b", ".././b"},  // "." is a name like any other
        {"/a//b", "/a", "b"},        // repeated separators count as one
        {"/A/b", "/a", "../A/b"},  // case counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(common::relativePath(c.target, c.base), c.expected)
            << "target '" << c.target << "' base '" << c.base << "'";
    }
}

TEST(ShortenClassname, AppliesTheReplacementsInOrder) {
    const std::vector<TextCase> cases = {
        {"std::vector<float, std::allocator<float> >", "vector<float>"},
        {"class std::map<unsigned int, float>", "map<unsigned int,float>"},
        {"std::vector<std::basic_string<char, std::char_traits<char>, std::allocator<char> >, "
         "std::allocator<std::basic_string<char, std::char_traits<char>, std::allocator<char> > > >",
         "vector<string>"},
        {"struct Foo", "Foo"},
        {"my::construct_helper", "my::con_helper"},
        {"unsigned", "unsigned "},
        {"signed char", "signed char"},
        // Only the listed replacements: other namespaces stay.
        {"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
         "__cxx11::string"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(common::shortenClassname(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(Demangle, ShortensTheDemangledNameAndKeepsUndemanglableText) {
    EXPECT_EQ(common::demangle(typeid(std::vector<std::string>).name()), "vector<string>");
    EXPECT_EQ(common::demangle(typeid(std::vector<float>).name()), "vector<float>");
    EXPECT_EQ(common::demangle(typeid(std::map<std::string, int>).name()),
              "map<string,int,less<string>,allocator<pair<stringconst,int>>>");
    EXPECT_EQ(common::demangle("not a mangled name"), "notamangledname");
    // libstdc++'s inline ABI namespace is not shown.
    EXPECT_EQ(common::demangle(typeid(std::string).name()), "string");
    EXPECT_EQ(common::demangle(typeid(std::list<int>).name()), "list<int>");
}

TEST(Trim, RemovesEveryWhitespaceByte) {
    const std::vector<TextCase> cases = {
        {"a b\tc", "abc"},
        {" \t\n\v\f\r", ""},
        {"", ""},
        {"  x  ", "x"},
        {"\xC2\xA0y", "\xC2\xA0y"},  // bytes from 0x80 up are never whitespace
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(common::trim(c.input), c.expected);
    }
}

TEST(TruncLongStr, NeverExceedsTheLimit) {
    struct Case {
        std::string text;
        int max_length;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abcdefgh", 6, "abc..."},
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 3, "..."},
        {"abc", 10, "abc"},
        {"", 0, ""},
        // Below three characters there is no room for text before the dots.
        {"abcdef", 2, ".."},
        {"abcdef", 1, "."},
        {"abcdef", 0, ""},
        {"abcdef", -5, ""},
    };
    for (const Case& c : cases) {
        const std::string result = common::trunc_long_str(c.text, c.max_length);
        EXPECT_EQ(result, c.expected) << "'" << c.text << "' limit " << c.max_length;
        EXPECT_LE(static_cast<long>(result.size()), std::max(c.max_length, 0));
    }
}

TEST(CleanString, DropsOneCarriageReturnAndTheByteOrderMark) {
    const std::vector<TextCase> cases = {
        {"line\r", "line"},
        {"line\r\r", "line\r"},
        {"\xEF\xBB\xBFline", "line"},
        {"\xEF\xBB\xBF", ""},
        {"\xEF\xBB\xBF\r", ""},
        {"\xEF\xBB", "\xEF\xBB"},
        {"\xEF\xBB\r", "\xEF\xBB"},
        {"", ""},
        {"\r", ""},
        {"a\rb", "a\rb"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(common::clean_string(c.input), c.expected);
    }
}

TEST(EncodeFloat, DropsTrailingZerosButKeepsOneDecimal) {
    struct Case {
        float value;
        int precision;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {1.5f, 3, "1.5"},
        {2.0f, 3, "2.0"},
        {10.0f, 1, "10.0"},
        {-0.0001f, 3, "0.0"},
        {-0.0f, 2, "0.0"},
        {100.0f, 0, "100."},
        {-0.0f, 0, "-0."},
        {-2.25f, 4, "-2.25"},
        {0.125f, 2, "0.12"},
        {std::numeric_limits<float>::infinity(), 3, "inf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(common::encode_float(c.value, c.precision), c.expected)
            << c.value << " at " << c.precision;
    }
}

TEST(Sprintf, FormatsShortAndLongResults) {
    EXPECT_EQ(common::Sprintf("%s-%03d", "id", 7), "id-007");
    EXPECT_EQ(common::Sprintf("%s", ""), "");
    // The stack buffer holds 1023 characters; one more needs the second pass.
    for (const std::size_t length : {1023u, 1024u, 5000u}) {
        const std::string text(length, 'x');
        EXPECT_EQ(common::Sprintf("%s", text.c_str()), text) << length;
    }
    EXPECT_EQ(common::Sprintf("%s%d", std::string(1030, 'y').c_str(), 42),
              std::string(1030, 'y') + "42");
}

TEST(Sprintf, EncodingFailureThrowsWithTheFormat) {
    // A wide character that the C locale cannot encode makes vsnprintf fail.
    const wchar_t text[] = {static_cast<wchar_t>(0x20AC), 0};
    try {
        common::Sprintf("value %ls", text);
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error in printf for fmt: 'value %ls'");
    }
}

TEST(TimeConversions, CopyThePlatformResult) {
    const time_t epoch = 0;
    const struct tm utc = common::gmtime_threadsafe(&epoch);
    EXPECT_EQ(utc.tm_year, 70);
    EXPECT_EQ(utc.tm_mon, 0);
    EXPECT_EQ(utc.tm_mday, 1);
    EXPECT_EQ(utc.tm_hour, 0);

    const time_t some_time = 1709647629;  // 2024-03-05 14:07:09 UTC
    struct tm local = common::localtime_threadsafe(&some_time);
    EXPECT_EQ(common::mktime_threadsafe(&local), some_time);
}

TEST(TimeConversions, UnconvertibleTimeThrowsInsteadOfReadingNothing) {
    const time_t huge = std::numeric_limits<time_t>::max();
    EXPECT_THROW(common::gmtime_threadsafe(&huge), std::runtime_error);
    EXPECT_THROW(common::localtime_threadsafe(&huge), std::runtime_error);
}

TEST(CurrentDateTime, IsLocalTimeWithMilliseconds) {
    const std::string text = common::currentDateTime();
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")))
        << text;
}

TEST(ExecutablePath, IsTheCanonicalPathOfThisProgram) {
    const std::filesystem::path path = common::executable_path();
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path, std::filesystem::canonical(path));
    EXPECT_EQ(path.filename(), "common_tests");
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

// Runs each test in a fresh temporary folder as the current directory.
class MakeCanonicalPath : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = std::filesystem::current_path();
        char pattern[] = "/tmp/utils_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_folder = std::filesystem::canonical(pattern);
        std::filesystem::create_directories(m_folder / "sub");
        std::ofstream(m_folder / "sub" / "file.txt") << "x";
        std::filesystem::current_path(m_folder);
    }
    void TearDown() override {
        std::filesystem::current_path(m_previous);
        std::filesystem::remove_all(m_folder);
    }

    std::filesystem::path m_previous;
    std::filesystem::path m_folder;
};

TEST_F(MakeCanonicalPath, ResolvesRelativePathsAndLeavesRootedOnes) {
    EXPECT_EQ(common::make_canonical_path(""), "");
    EXPECT_EQ(common::make_canonical_path("sub/file.txt"), (m_folder / "sub" / "file.txt").string());
    EXPECT_EQ(common::make_canonical_path("./sub/../sub/file.txt"),
              (m_folder / "sub" / "file.txt").string());
    EXPECT_EQ(common::make_canonical_path("/does/not/../exist"), "/does/not/../exist");
}

TEST_F(MakeCanonicalPath, MissingRelativePathThrows) {
    try {
        common::make_canonical_path("sub/missing.txt");
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Error while converting relative path sub/missing.txt to file: No such file or "
                  "directory");
    }
}

}  // namespace
