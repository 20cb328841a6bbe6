#include "common/table_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Writes table files into a folder of its own, removed afterwards.
class TableFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("sl_table_" + std::to_string(getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string write(const std::string& content, const std::string& name = "table.tsv") {
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    // A model table of `rows` rows, with the columns in an unusual order.
    std::string write_model(int rows) {
        std::string text = "# model\nkmer\tsd_stdv\tlevel_mean\tsd_mean\tlevel_stdv\n";
        for (int i = 0; i < rows; ++i) {
            text += "A\t4\t" + std::to_string(i) + "\t2\t0.5\n";
        }
        return write(text, "model.tsv");
    }

    fs::path m_dir;
};

TEST_F(TableFileTest, ParsesHeaderRowsAndLineEndings) {
    struct Case {
        const char* label;
        std::string content;
        std::vector<std::string> header;
        std::size_t rows;
    };
    const Case cases[] = {
            {"empty file", "", {""}, 0},
            {"comments only", "# one\n#two\n", {""}, 0},
            {"plain", "a\tb\n1\t2\n3\t4\n", {"a", "b"}, 2},
            {"no final newline", "a\tb\n1\t2\n3\t4", {"a", "b"}, 2},
            {"CRLF and byte-order mark", "\xEF\xBB\xBF" "a\tb\r\n1\t2\r\n", {"a", "b"}, 1},
            {"comments before the header", "# c\n#c2\nx\n#not a comment\n", {"x"}, 1},
            {"empty names kept", "\ta\t\n1\t2\t3\n", {"", "a", ""}, 1},
            {"empty line is a row of one field", "only\n1\n\n2\n", {"only"}, 3},
    };
    for (const auto& c : cases) {
        common::TextFile table(write(c.content));
        EXPECT_EQ(table.header_names(), c.header) << c.label;
        EXPECT_EQ(table.row_count(), c.rows) << c.label;
        std::vector<float> values{9.0f};
        const int empty = table.LoadColumn(0, values, 0.0f);
        EXPECT_EQ(values.size(), c.rows) << c.label;
        if (c.rows == 0) {
            EXPECT_EQ(empty, 0) << c.label;
        }
    }
}

TEST_F(TableFileTest, RowsWithTheWrongNumberOfFieldsAreRejected) {
    struct Case {
        std::string content;
        const char* message;
    };
    const Case cases[] = {
            {"# c1\n# c2\na\tb\tc\n1\t2\n",
             "Error: Incomplete row in line 2: expecting 3 columns but got 2"},
            {"a\tb\tc\n1\t2\t3\n\n4\t5\t6\n",
             "Error: Incomplete row in line 3: expecting 3 columns but got 1"},
            {"a\n1\t2\n", "Error: Incomplete row in line 2: expecting 1 columns but got 2"},
    };
    for (const auto& c : cases) {
        try {
            common::TextFile table(write(c.content));
            ADD_FAILURE() << "accepted: " << c.content;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST_F(TableFileTest, MissingFileNamesThePath) {
    fs::create_directories(m_dir / "a_folder");
    // A folder opens as a stream but cannot be read: it is no empty table.
    for (const char* name : {"absent.tsv", "a_folder"}) {
        const std::string path = (m_dir / name).string();
        try {
            common::TextFile table(path);
            ADD_FAILURE() << "opened " << name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "Error: Failed to open file \"" + path + "\"");
        }
    }
}

TEST_F(TableFileTest, LoadColumnConvertsCellsAndCountsEmptyOnes) {
    common::TextFile table(write("name\tvalue\tname\nx\t1\t10\ny\t\t20\nz\t2.5 trailing\t30\n"));
    EXPECT_EQ(table.column_index().at("name"), 2) << "a repeated name selects the later column";
    EXPECT_EQ(table.file_name(), (m_dir / "table.tsv").string());

    std::vector<float> values;
    EXPECT_EQ(table.LoadColumn(table.column_index().at("value"), values, 7.5f), 1);
    EXPECT_EQ(values, (std::vector<float>{1.0f, 7.5f, 2.5f}));

    for (int bad : {-1, 3}) {
        EXPECT_THROW(table.LoadColumn(bad, values, 0.0f), std::out_of_range) << bad;
    }

    // Open reloads (the stored name stays); Clear empties.
    table.Open(write("other\n5\n", "second.tsv"));
    EXPECT_EQ(table.header_names(), std::vector<std::string>{"other"});
    EXPECT_EQ(table.file_name(), (m_dir / "table.tsv").string());
    table.Clear();
    EXPECT_TRUE(table.header_names().empty());
    EXPECT_THROW(table.LoadColumn(0, values, 0.0f), std::out_of_range);
}

TEST_F(TableFileTest, LoadModelLengthsAndConversion) {
    struct Case {
        int rows;
        int length;  // 0: "Invalid model length."
    };
    const Case cases[] = {{64, 3}, {256, 4}, {16384, 7}, {65, 0}, {0, 0}};
    for (const auto& c : cases) {
        const std::string path = write_model(c.rows);
        std::vector<float> level_mean, level_stdv, sd_mean, sd_stdv;
        if (c.length == 0) {
            try {
                common::load_model(path, level_mean, level_stdv, sd_mean, sd_stdv);
                ADD_FAILURE() << c.rows << " rows accepted";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Invalid model length.");
            }
        } else {
            EXPECT_EQ(common::load_model(path, level_mean, level_stdv, sd_mean, sd_stdv),
                      c.length);
        }
        // The outputs are filled (and converted) before the length is judged.
        ASSERT_EQ(level_mean.size(), static_cast<std::size_t>(c.rows));
        ASSERT_EQ(sd_stdv.size(), static_cast<std::size_t>(c.rows));
        if (c.rows > 0) {
            EXPECT_EQ(level_mean.back(), static_cast<float>(c.rows - 1));
            EXPECT_EQ(level_stdv.front(), 0.5f);
            EXPECT_EQ(sd_mean.front(), 2.0f);
            EXPECT_EQ(sd_stdv.front(), 0.5f) << "sd_mean^3 / sd_stdv^2 of 2 and 4";
        }
    }
}

TEST_F(TableFileTest, LoadModelNamesAMissingColumn) {
    const std::string path = write("level_mean\tlevel_stdv\tsd_stdv\n1\t2\t3\n");
    std::vector<float> a, b, c, d;
    try {
        common::load_model(path, a, b, c, d);
        ADD_FAILURE() << "loaded a model without sd_mean";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), "Error: Missing column \"sd_mean\" in file \"" + path + "\"");
    }
}

}  // namespace
