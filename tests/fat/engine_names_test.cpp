// Short names, tails, checksums, stamps, name comparison, paths and the
// UTF-8/UTF-16 conversions: pure functions, no volume needed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fat/fat.h"

namespace {

std::string Short(const char* name) {
    std::uint8_t out[kFatShortNameSize];
    if (!FatMakeShortName(name, out)) return "<none>";
    return std::string(reinterpret_cast<char*>(out), kFatShortNameSize);
}

std::string Tail(std::uint32_t number, const char* base11) {
    std::uint8_t out[kFatShortNameSize];
    if (!FatAddNumericTail(number, reinterpret_cast<const std::uint8_t*>(base11), out)) return "<none>";
    return std::string(reinterpret_cast<char*>(out), kFatShortNameSize);
}

TEST(EngineNames, ShortNamesFromLongNames) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"readme.txt", "README  TXT"},
        {"my file.tar.gz", "MYFILETAGZ "},
        {"Makefile", "MAKEFILE   "},
        {"a.b", "A       B  "},
        {"a+b,c;d=e[f]g.txt", "A_B_C_D_TXT"},   // characters 8.3 names cannot hold
        {"caf\xc3\xa9.txt", "CAF__   TXT"},      // every byte of a non-ASCII character
        {"x\x01y.dat", "X_Y     DAT"},           // control bytes
        {".bashrc", "BASHRC     "},              // a leading dot is dropped
        {".config.json", "CONFIG  JSO"},
        {"...", "_          "},
        {"!#$%&'()-@^_`{}~.e~x", "!#$%&'()E~X"},
        {".", "<none>"},
        {"..", "<none>"},
        {"", "<none>"},
    };
    for (const auto& c : cases) EXPECT_EQ(Short(c.name), c.expected) << c.name;
}

// Right after the base, never behind fill spaces: "AB    ~1" is a short
// name checkers reject.
TEST(EngineNames, NumericTailsFollowTheBase) {
    EXPECT_EQ(Tail(1, "MYFILETAGZ "), "MYFILE~1GZ ");
    EXPECT_EQ(Tail(1, "AB         "), "AB~1       ");
    EXPECT_EQ(Tail(1, "A       B  "), "A~1     B  ");
    EXPECT_EQ(Tail(12, "ABCDEF  TXT"), "ABCDE~12TXT");
    EXPECT_EQ(Tail(1, "README  TXT"), "README~1TXT");
    EXPECT_EQ(Tail(42, "README  TXT"), "READM~42TXT");
    EXPECT_EQ(Tail(99999, "README  TXT"), "RE~99999TXT");
    EXPECT_EQ(Tail(100000, "README  TXT"), "<none>");
}

TEST(EngineNames, ChecksumOfAShortName) {
    EXPECT_EQ(FatShortNameChecksum(reinterpret_cast<const std::uint8_t*>("README  TXT")), 0x73);
}

TEST(EngineNames, Stamps) {
    const struct {
        const char* stamp;
        std::uint16_t date, time;
    } cases[] = {
        {"24-03-15 14:30", 0x586F, 0x73C0},
        {"99-12-31 23:59", 0x279F, 0xBF60},
        {"80-01-01 00:00", 0x0021, 0x0000},
        // Four-digit years and seconds (kept to two-second steps).
        {"2024-03-15 14:30:59", 0x586F, 0x73DD},
        {"2107-12-31 23:59:58", 0xFF9F, 0xBF7D},
        // Years FAT cannot hold are clamped to its first or last moment.
        {"1979-12-31 23:59:59", 0x0021, 0x0000},
        {"1970-01-01 00:00:00", 0x0021, 0x0000},
        {"2108-01-01 00:00:00", 0xFF9F, 0xBF7D},
        {"2200-06-01 12:00:00", 0xFF9F, 0xBF7D},
    };
    for (const auto& c : cases) {
        const FatStamp stamp = FatParseStamp(c.stamp);
        EXPECT_EQ(stamp.date, c.date) << c.stamp;
        EXPECT_EQ(stamp.time, c.time) << c.stamp;
    }
}

// No stamp, or one that cannot be read, means now: never the invalid date
// 1980-01-00 that an all-zero day gives.
TEST(EngineNames, MissingOrMalformedStampsMeanNow) {
    for (const char* stamp : {static_cast<const char*>(nullptr), "24-13-15 14:30", "24-03-15", "2x-03-15 14:30",
                              "2024-03-15 14:30:6x"}) {
        const FatStamp before = FatStampNow();
        const FatStamp parsed = FatParseStamp(stamp);
        const FatStamp after = FatStampNow();
        EXPECT_TRUE(parsed.date == before.date || parsed.date == after.date) << (stamp ? stamp : "null");
        EXPECT_NE(parsed.date & 0x1F, 0) << "day 0";
    }
}

TEST(EngineNames, NameComparison) {
    const struct {
        const char* a;
        const char* b;
        int match;
    } cases[] = {
        {"readme.txt", "ReadMe.TXT", 1},
        {"README  .TXT", "readme.txt", 1},
        {"A       .C  ", "A.C", 1},  // short extension against a space-filled one
        {"MAKEFILE    ", "makefile", 1},
        {"makefile", "makefile.", 0},
        {"a.txt", "a.tx", 0},
        {"a.b.c", "A.B.C", 1},
        {"caf\xc3\xa9", "CAF\xc3\xa9", 1},
        {"caf\xc3\xa9", "CAF\xc3\x89", 1},  // letters beyond A-Z fold as well
        {"\xd0\xb4\xd0\xb0.txt", "\xd0\x94\xd0\x90.TXT", 1},  // Cyrillic
        {"stra\xc3\x9f" "e", "STRASSE", 0},  // no one-letter upper case: kept apart
        {"\xc4\xb1", "I", 0},  // dotless i never matches an ASCII name
        {"other.txt", "README.TXT", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FatNamesMatch(c.a, c.b), c.match) << c.a << " / " << c.b;
}

TEST(EngineNames, ListingAndDotForms) {
    char out[kFatDotFormSize];
    const struct {
        const char* short_name;
        const char* dot_form;
        const char* listing;
    } cases[] = {
        {"README  TXT", "README  .TXT", "readme.txt"},
        {"MAKEFILE   ", "MAKEFILE    ", "makefile"},
        {".          ", ".           ", "."},
        {"..         ", "..          ", ".."},
        {"CAF\x82    TXT", "CAF_    .TXT", "caf_.txt"},
    };
    for (const auto& c : cases) {
        FatShortNameDotForm(reinterpret_cast<const std::uint8_t*>(c.short_name), out);
        EXPECT_STREQ(out, c.dot_form);
        FatShortNameListingForm(reinterpret_cast<const std::uint8_t*>(c.short_name), out);
        EXPECT_STREQ(out, c.listing);
    }
}

TEST(EngineNames, PathDepthComponentsAndSplit) {
    const struct {
        const char* path;
        int depth;
        int split;
        const char* name;
        const char* directory;
    } cases[] = {
        {"/", -1, -1, "", ""},
        {"/file", 0, 0, "file", ""},
        {"/a/b.txt", 1, 0, "b.txt", "/a"},
        {"/a/b/c", 2, 0, "c", "/a/b"},
        {"C:\\dir\\f.bin", 1, 0, "f.bin", "C:\\dir"},
        {"/a/", 0, -1, "", ""},
        {"relative/x", -1, -1, "", ""},
        {"", -1, -1, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FatPathDepth(c.path), c.depth) << c.path;
        char name[kFatNameBufferSize] = "", directory[kFatPathBufferSize] = "";
        EXPECT_EQ(FatSplitPath(c.path, name, directory), c.split) << c.path;
        if (c.split == 0) {
            EXPECT_STREQ(name, c.name);
            EXPECT_STREQ(directory, c.directory);
        }
    }
    EXPECT_EQ(FatPathDepth(nullptr), -1);
    char part[kFatNameBufferSize];
    EXPECT_EQ(FatPathComponent("/a/bc/d", 1, part), 0);
    EXPECT_STREQ(part, "bc");
    EXPECT_EQ(FatPathComponent("/a//d", 1, part), -1);  // empty component
    EXPECT_EQ(FatPathComponent("/a/bc", 2, part), -1);
    EXPECT_EQ(FatPathComponent("/abcdef", 0, part, 4), -1);  // does not fit: refused, not cut
}

TEST(EngineNames, Utf8AndUtf16RoundTrip) {
    const char* text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xb7";  // a, e-acute, euro, camera (outside the BMP)
    std::uint16_t units[8];
    ASSERT_EQ(FatUtf8ToUtf16(text, units, 8), 5);
    EXPECT_EQ(units[0], 0x61);
    EXPECT_EQ(units[1], 0xE9);
    EXPECT_EQ(units[2], 0x20AC);
    EXPECT_EQ(units[3], 0xD83D);  // surrogate pair
    EXPECT_EQ(units[4], 0xDCF7);
    char back[32];
    FatUtf16ToUtf8(units, 5, back, sizeof back);
    EXPECT_STREQ(back, text);
    // Cut at a character boundary, never inside one.
    FatUtf16ToUtf8(units, 5, back, 5);
    EXPECT_STREQ(back, "a\xc3\xa9");
    EXPECT_EQ(FatUtf8ToUtf16("\xc3", units, 8), -1);          // truncated sequence
    EXPECT_EQ(FatUtf8ToUtf16("\xc0\xaf", units, 8), -1);      // overlong
    EXPECT_EQ(FatUtf8ToUtf16("\xed\xa0\x80", units, 8), -1);  // an encoded surrogate
    EXPECT_EQ(FatUtf8ToUtf16("abc", units, 2), -1);           // over capacity
    const std::uint16_t lone[] = {0x41, 0xD800, 0x42};
    FatUtf16ToUtf8(lone, 3, back, sizeof back);
    EXPECT_STREQ(back, "A\xef\xbf\xbd" "B");
}

TEST(EngineNames, LongNamePartsRoundTrip) {
    // 14 characters: the part holding character 14 comes first and carries 0x40.
    const char* name = "abcdefghijklmn";
    std::uint16_t units[kFatLongNameCapacity];
    const int count = FatUtf8ToUtf16(name, units, kFatMaxLongNameUnits);
    ASSERT_EQ(count, 14);
    ASSERT_EQ(FatLongNamePartCount(14), 2u);
    std::uint8_t slots[2][kFatEntrySize];
    FatWriteLongNamePart(slots[0], units, 14, 2, 0x55);
    FatWriteLongNamePart(slots[1], units, 14, 1, 0x55);
    EXPECT_EQ(slots[0][0], 0x42);
    EXPECT_EQ(slots[1][0], 0x01);
    FatLongName collected;
    FatClearLongName(&collected);
    FatCollectLongName(slots[0], &collected);
    FatCollectLongName(slots[1], &collected);
    char back[64];
    FatLongNameToUtf8(collected, back, sizeof back);
    EXPECT_STREQ(back, name);
}

}  // namespace
