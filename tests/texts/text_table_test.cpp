#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

#include "support/update_camera.h"
#include "support/test_support.h"
#include "texts/text_table.h"

using namespace testsupport;

namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;

// Writes UTF-16LE units; `extra_byte` appends half a unit.
std::string WriteTable(const std::u16string& units, bool extra_byte = false) {
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (extra_byte) bytes.push_back('X');
    const std::string path = ScratchDir() + "/OT.txt";
    WriteFileBytes(path, bytes);
    return path;
}

struct Loaded {
    TextTableLoad load;
    TextTable table;
};

Loaded Load(const std::u16string& units, bool extra_byte = false) {
    Loaded loaded;
    loaded.load = LoadTextTable(WriteTable(units, extra_byte), loaded.table);
    return loaded;
}

struct LookupCase {
    const char* name;
    std::u16string file;
    std::vector<std::pair<std::string, std::string>> lookups;  // key -> expected text
    std::size_t entries;
};

TEST(TextTable, FileRules) {
    const std::u16string bom(1, kByteOrderMark);
    const LookupCase cases[] = {
        {"marker_before_every_key", bom + u"***OT0\r\nNo rights\r\n***OT2.1\r\nNot found\r\n",
         {{"OT0", "No rights"}, {"OT2.1", "Not found"}}, 2},
        {"mark_without_marker_stays_in_key", bom + u"OT0\r\nNo rights\r\n***OT1\r\nGo\r\n",
         {{"OT0", ""}, {"\xEF\xBB\xBFOT0", "No rights"}, {"OT1", "Go"}}, 2},
        {"text_before_marker_dropped", u"word***OT1\nGo\n", {{"OT1", "Go"}}, 1},
        {"trailing_space_is_part_of_key", u"OT1 \nGo\n", {{"OT1", ""}, {"OT1 ", "Go"}}, 1},
        {"later_pair_replaces_earlier", u"OT3.1\nfirst\nOT3.1\nsecond\n", {{"OT3.1", "second"}}, 1},
        {"line_ends_lf_crlf_crcrlf", u"A\nlf\nB\r\ncrlf\r\nC\r\r\ncrcrlf\r\r\n",
         {{"A", "lf"}, {"B", "crlf"}, {"C", "crcrlf"}}, 3},
        {"last_text_without_line_end", u"OT8\nTitle", {{"OT8", "Title"}}, 1},
        {"key_without_text_line", u"OT8\nTitle\nOT1\n", {{"OT8", "Title"}, {"OT1", ""}}, 1},
        {"text_taken_literally", u"K\n  50 %% \\n done  \n", {{"K", "  50 %% \\n done  "}}, 1},
        {"text_ends_at_zero_unit", std::u16string(u"K\nkept") + u'\0' + u"dropped\n", {{"K", "kept"}}, 1},
        {"surrogate_pair_becomes_one_character", u"K\n\U0001F4F7 \u00e9\n", {{"K", "\xF0\x9F\x93\xB7 \xC3\xA9"}}, 1},
        {"lone_surrogate_replaced", std::u16string(u"K\nx") + char16_t(0xD83D) + u"y\n",
         {{"K", "x\xEF\xBF\xBDy"}}, 1},
    };
    for (const auto& c : cases) {
        const Loaded loaded = Load(c.file);
        EXPECT_EQ(loaded.load.status, TextTableStatus::Loaded) << c.name;
        EXPECT_EQ(loaded.table.Size(), c.entries) << c.name;
        for (const auto& [key, text] : c.lookups) EXPECT_EQ(LookupText(loaded.table, key), text) << c.name << " " << key;
    }
}

TEST(TextTable, HalfUnitAtTheEndIsNotRead) {
    const Loaded loaded = Load(u"K\nText", true);
    EXPECT_EQ(LookupText(loaded.table, "K"), "Text");
}

// A line longer than the line buffer is read in pieces that pair up anew.
TEST(TextTable, OverlongLineSplitsIntoPieces) {
    const std::u16string long_text(1099, u'a');
    const Loaded loaded = Load(u"K\n" + long_text + u"\nT\n");
    EXPECT_EQ(LookupText(loaded.table, "K"), std::string(1023, 'a'));
    // The remaining 76 units and the line feed form the next key line.
    EXPECT_EQ(LookupText(loaded.table, std::string(76, 'a')), "T");
}

TEST(TextTable, BlankLineStopsTheLoadKeepingEarlierPairs) {
    const Loaded loaded = Load(u"A\none\nB\n\r\nC\nthree\n");
    EXPECT_EQ(loaded.load.status, TextTableStatus::FormatError);
    EXPECT_EQ(loaded.load.blank_line, 4);
    EXPECT_EQ(LookupText(loaded.table, "A"), "one");
    EXPECT_EQ(LookupText(loaded.table, "B"), "");
    EXPECT_EQ(LookupText(loaded.table, "C"), "");
}

TEST(TextTable, MissingFileLeavesTheTableEmpty) {
    TextTable table;
    EXPECT_EQ(LoadTextTable(ScratchDir() + "/OT.txt", table).status, TextTableStatus::Missing);
    EXPECT_EQ(table.Size(), 0u);
}

// A table that is there but cannot be read (a folder of that name) is as
// good as missing; nothing is thrown at the program.
TEST(TextTable, UnreadableTableCountsAsMissing) {
    const std::string folder = ScratchDir() + "/OT.txt";
    std::filesystem::create_directories(folder);
    TextTable table;
    TextTableLoad load{TextTableStatus::Loaded, 0};
    EXPECT_NO_THROW(load = LoadTextTable(folder, table));
    EXPECT_EQ(load.status, TextTableStatus::Missing);
    EXPECT_EQ(table.Size(), 0u);
}

TEST(TextTable, TrimLineEndRemovesEveryTrailingLineEnd) {
    std::u16string line = u"a\r\n\r\r\n";
    EXPECT_TRUE(TrimLineEnd(line));
    EXPECT_EQ(line, u"a");
    std::u16string only_ends = u"\r\n";
    EXPECT_FALSE(TrimLineEnd(only_ends));
    std::u16string empty;
    EXPECT_FALSE(TrimLineEnd(empty));
}

TEST(TextTable, FormatWithoutArgumentsShowsDoublePercentAsOne) {
    EXPECT_EQ(FormatWithoutArguments("100%% sure, 5% off"), "100% sure, 5% off");
}

// The shipped table carries every text the program shows, each with a key
// marker, and OT0 (used as a format string) has no format directives.
TEST(TextTable, ShippedTableHasEveryKey) {
    TextTable table;
    ASSERT_EQ(LoadTextTable(ShippedTextTable(), table).status, TextTableStatus::Loaded);
    for (const char* key : {text_key::kNotAdministrator, text_key::kStartCaption, text_key::kCameraNotFound,
                            text_key::kUpdateAgainQuestion, text_key::kCameraRefused, text_key::kNotEnoughSpace,
                            text_key::kFinishCaption, text_key::kWindowTitle})
        EXPECT_FALSE(LookupText(table, key).empty()) << key;
    const std::string no_rights = LookupText(table, text_key::kNotAdministrator);
    EXPECT_EQ(FormatWithoutArguments(no_rights).find('%'), std::string::npos);
}

}  // namespace
