#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/exe_directory.h"
#include "app/settings.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

std::string WriteIni(const std::string& content) {
    const std::string path = ScratchDir() + "/" + kSettingsFileName;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(Settings, MissingFileGivesTheDefaults) {
    const Settings settings = LoadSettings(ScratchDir() + "/none.ini");
    EXPECT_EQ(settings.StartSectorAddress, "0x40000");
    EXPECT_EQ(settings.ReadSectorAddress, "0x20000");
    EXPECT_EQ(settings.WriteSectorAddress, "0x20000");
    EXPECT_EQ(settings.NoOfSize, "1");
}

struct IniCase {
    const char* name;
    std::string content;
    Settings expected;
};

Settings With(std::string Settings::*member, const std::string& value) {
    Settings settings;
    settings.*member = value;
    return settings;
}

TEST(Settings, ReadsKeysByTheRulesOfTheFormat) {
    const std::string long_value = Repeat("0123456789", 30);
    const std::string long_wide_value = Repeat("\xC3\xA9", 300);  // 300 x U+00E9, two bytes each
    const IniCase cases[] = {
        {"only_one_key", "[Settings]\nNoOfSize=8\n", With(&Settings::NoOfSize, "8")},
        {"names_ignore_case", "[SETTINGS]\nstartsectoraddress=0x800\n", With(&Settings::StartSectorAddress, "0x800")},
        {"white_space_trimmed", "  [Settings]  \n  ReadSectorAddress  =   262144  \t\n",
         With(&Settings::ReadSectorAddress, "262144")},
        {"decimal_kept_as_written", "[Settings]\nStartSectorAddress=262144\n",
         With(&Settings::StartSectorAddress, "262144")},
        {"crlf_and_byte_order_mark", "\xEF\xBB\xBF[Settings]\r\nWriteSectorAddress=0x30\r\n",
         With(&Settings::WriteSectorAddress, "0x30")},
        {"other_section_ignored", "[Other]\nNoOfSize=5\n[Settings]\nReadSectorAddress=7\n",
         With(&Settings::ReadSectorAddress, "7")},
        {"first_of_two_wins", "[Settings]\nNoOfSize=2\nNoOfSize=3\n", With(&Settings::NoOfSize, "2")},
        {"semicolon_inside_value_kept", "[Settings]\nNoOfSize=4 ;x\n", With(&Settings::NoOfSize, "4 ;x")},
        {"comments_and_junk_skipped", "; note\n# note\n[Settings]\njunk line\nNoOfSize=6\n",
         With(&Settings::NoOfSize, "6")},
        {"long_value_cut", "[Settings]\nStartSectorAddress=" + long_value + "\n",
         With(&Settings::StartSectorAddress, long_value.substr(0, kSettingsValueCharacters))},
        {"long_value_cut_by_characters", "[Settings]\nNoOfSize=" + long_wide_value + "\n",
         With(&Settings::NoOfSize, long_wide_value.substr(0, 2 * kSettingsValueCharacters))},
        {"empty_value_kept_empty", "[Settings]\nNoOfSize=\n", With(&Settings::NoOfSize, "")},
    };
    for (const auto& c : cases) {
        const Settings settings = LoadSettings(WriteIni(c.content));
        EXPECT_EQ(settings.StartSectorAddress, c.expected.StartSectorAddress) << c.name;
        EXPECT_EQ(settings.ReadSectorAddress, c.expected.ReadSectorAddress) << c.name;
        EXPECT_EQ(settings.WriteSectorAddress, c.expected.WriteSectorAddress) << c.name;
        EXPECT_EQ(settings.NoOfSize, c.expected.NoOfSize) << c.name;
    }
}

TEST(Settings, CutCountsCharactersNotBytes) {
    EXPECT_EQ(CutToCharacters("a\xE2\x82\xAC" "b", 2), "a\xE2\x82\xAC");
    EXPECT_EQ(CutToCharacters("ab", 5), "ab");
}

TEST(ExeDirectory, IsThePartBeforeTheLastSeparator) {
    EXPECT_EQ(DirectoryOfPath("/opt/quillon/quillon"), "/opt/quillon");
    EXPECT_EQ(DirectoryOfPath("quillon"), "quillon");
    EXPECT_EQ(DirectoryOfPath("/quillon"), "/");
    EXPECT_TRUE(std::filesystem::is_directory(ExeDirectory()));
}

}  // namespace
