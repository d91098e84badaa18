// What makes repeated directory scans cheap must never change an answer:
// cached directory sectors always read back as the image holds them, the
// name comparison without UTF-8 agrees with FatNamesMatch, and a plan
// remembered from a lookup is only used while nothing changed.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fat/engine_fixture.h"
#include "fat/name_match.h"

using namespace testsupport;

namespace {

// --- cached sectors against the image -------------------------------------

class EngineDirCache : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
    // Clusters of four sectors, so that a directory cluster has sectors the
    // dot entries do not cover.
    void MountFourSectorClusters() {
        image = ScratchDir() + "/cache.img";
        MakeFatImage(image, 32u << 20, "-F 16 -s 4");
        ASSERT_EQ(Mount(image), kFatMountOk);
        ASSERT_EQ(Volume().sectors_per_cluster, 4);
    }
    // Every sector of the cluster, read as a directory sector through the
    // cache (not the volume sector buffer), equals the image.
    void ExpectClusterReadsAsImage(std::uint32_t cluster, const std::string& step) {
        const std::uint32_t first = FatClusterToSector(Volume(), cluster);
        for (std::uint32_t i = 0; i < Volume().sectors_per_cluster; ++i) {
            Volume().sector_buffer_tag = kFatNoSector;
            ASSERT_EQ(FatReadDirSector(Volume(), i, cluster), 1) << step;
            const std::vector<std::uint8_t> cached(Volume().sector_buffer, Volume().sector_buffer + kSectorSize);
            EXPECT_EQ(cached, ReadSector(image, first + i)) << step << ", sector " << i;
        }
    }
    std::uint32_t FirstCluster(const char* path) {
        FatEntryInfo info{};
        EXPECT_EQ(FatLookupEntry(path, &info), 1) << path;
        return info.first_cluster;
    }
};

// Sectors that look like visible entries: stale copies of them would show.
std::vector<std::uint8_t> GhostEntries(std::size_t sectors) {
    std::vector<std::uint8_t> data(sectors * kSectorSize, 0);
    for (std::size_t slot = 0; slot < data.size() / kFatEntrySize; ++slot) {
        std::uint8_t* entry = &data[slot * kFatEntrySize];
        std::memcpy(entry, "GHOST   TXT", kFatShortNameSize);
        entry[fatentry::kAttribute] = fatentry::kArchive;
    }
    return data;
}

// A directory's cluster, cached by scans, is freed by a recursive removal,
// reused for file data, then for a new directory: at every step the cached
// sectors read as the image, and the new directory shows none of the old
// entries.
TEST_F(EngineDirCache, AReusedDirectoryClusterNeverReadsStale) {
    ASSERT_NO_FATAL_FAILURE(MountFourSectorClusters());
    ASSERT_EQ(FatMakeDirectory("/old"), 1);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(WriteWhole("/old/entry number " + std::to_string(i), {}));
    const std::uint32_t cluster = FirstCluster("/old");
    ASSERT_EQ(ListNames("/old").size(), 22u);  // "." and ".." too: every sector is cached now
    ExpectClusterReadsAsImage(cluster, "filled");

    for (int i = 0; i < 20; ++i) ASSERT_EQ(FatDeleteFile(("/old/entry number " + std::to_string(i)).c_str()), 0);
    ASSERT_EQ(FatRemoveDirectory("/old"), 1);
    ExpectClusterReadsAsImage(cluster, "removed");

    ASSERT_TRUE(WriteWhole("/data.bin", GhostEntries(4)));
    ASSERT_EQ(FirstCluster("/data.bin"), cluster);
    ExpectClusterReadsAsImage(cluster, "file data");

    ASSERT_EQ(FatDeleteFile("/data.bin"), 0);
    ASSERT_EQ(FatMakeDirectory("/new"), 1);
    ASSERT_EQ(FirstCluster("/new"), cluster);
    ExpectClusterReadsAsImage(cluster, "new directory");
    EXPECT_EQ(ListNames("/new"), (std::vector<std::string>{".", ".."}));
    FatEntryInfo info{};
    EXPECT_EQ(FatLookupEntry("/new/GHOST.TXT", &info), 0);
    ExpectFsckClean();
}

// File data written through the sector calls of an open file, over a
// cluster whose sectors are cached, replaces them too.
TEST_F(EngineDirCache, SectorWritesOfAFileReplaceCachedSectors) {
    ASSERT_NO_FATAL_FAILURE(MountFourSectorClusters());
    ASSERT_EQ(FatMakeDirectory("/d"), 1);
    const std::uint32_t cluster = FirstCluster("/d");
    ASSERT_EQ(ListNames("/d").size(), 2u);
    ASSERT_EQ(FatRemoveDirectory("/d"), 1);
    FatFile* file = FatOpenFile("wb", "/raw.bin");
    ASSERT_NE(file, nullptr);
    const auto ghosts = GhostEntries(4);
    EXPECT_EQ(FatWriteFileSectors(file, 0, ghosts.data(), 4), 4u);
    EXPECT_EQ(file->first_cluster, cluster);
    FatCloseFile(file);
    ExpectClusterReadsAsImage(cluster, "sector writes");
}

// A mount forgets everything: what another image held at the same sectors
// never shows.
TEST_F(EngineDirCache, AMountForgetsTheSectorsOfTheImageBefore) {
    MountFresh(EngineImage::kFat32);
    ASSERT_TRUE(WriteWhole("/first image", {1}));
    ASSERT_EQ(ListNames("/").size(), 1u);
    const std::string second = ScratchDir() + "/second.img";
    MakeFatImage(second, 40u << 20, "-F 32 -s 1");
    MountImage(second);
    EXPECT_TRUE(ListNames("/").empty());
    ASSERT_TRUE(WriteWhole("/second image", {2}));
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"second image"}));
    ExpectFsckClean();
}

// --- a plan remembered from a lookup ---------------------------------------

// A lookup of a missing name plans its creation; whatever the engine does
// in between, the creation must come out as it does after a fresh mount.
TEST_F(EngineDirCache, ChangesBetweenALookupAndTheCreationItPlannedAreSeen) {
    struct Case {
        const char* name;
        std::function<void()> between;
    };
    // Fixed stamps: the two runs must come out byte for byte the same.
    auto write = [](const char* path, std::size_t size) {
        FatFile* file = FatOpenWriteStamped(path, "24-03-15 14:30");
        ASSERT_NE(file, nullptr);
        const auto data = Pattern(size);
        FatWriteFile(file, data.data(), static_cast<std::uint32_t>(data.size()));
        FatCloseFile(file);
    };
    const Case cases[] = {
        {"nothing", [] {}},
        {"a file created", [&] { write("/other", 10); }},
        {"a file deleted", [] { FatDeleteFile("/f1"); }},
        {"a directory made", [] { FatMakeDirectoryStamped("/dir", "24-03-15 14:30"); }},
        {"the directory grown", [&] {
             for (int i = 0; i < 40; ++i) write(("/grow " + std::to_string(i)).c_str(), 0);
         }},
        {"a rename", [] { FatRenamePath("/f2", "a much longer name than before"); }},
        {"the sought name taken", [&] { write("/wanted", 3); }},
    };
    const std::string dir = ScratchDir();
    const std::string base = dir + "/base.img";
    MakeFatImage(base, 40u << 20, "-F 32 -s 1 -i 1234abcd");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> results[2];
        for (int fresh_mount = 0; fresh_mount < 2; ++fresh_mount) {
            image = dir + "/plan" + std::to_string(fresh_mount) + ".img";
            std::filesystem::copy_file(base, image, std::filesystem::copy_options::overwrite_existing);
            ASSERT_EQ(Mount(image), kFatMountOk);
            for (int i = 0; i < 4; ++i) write(("/f" + std::to_string(i)).c_str(), 100);
            FatEntryInfo info{};
            ASSERT_EQ(FatLookupEntry("/wanted", &info), 0);
            c.between();
            if (fresh_mount) Remount();
            write("/wanted", 5);
            results[fresh_mount] = ReadFileBytes(image);
            ExpectFsckClean();
        }
        EXPECT_TRUE(results[0] == results[1]);
    }
}

// --- the name comparison -----------------------------------------------------

FatLongName Collected(const std::vector<std::uint16_t>& units) {
    const auto count = static_cast<std::uint32_t>(units.size());
    FatLongName name;
    FatClearLongName(&name);
    std::uint8_t slot[kFatEntrySize];
    for (std::uint32_t part = FatLongNamePartCount(count); part >= 1; --part) {
        FatWriteLongNamePart(slot, units.data(), count, part, 0x5A);
        FatCollectLongName(slot, &name);
    }
    return name;
}

bool ReferenceMatch(const FatLongName& name, const std::string& sought) {
    char text[kFatNameBufferSize];
    FatLongNameToUtf8(name, text, sizeof text);
    return FatNamesMatch(text, sought.c_str()) == 1;
}

TEST(EngineNameMatcher, AgreesWithTheUtf8ComparisonOnHardCases) {
    const struct {
        std::vector<std::uint16_t> entry;
        std::string sought;
        bool match;
    } cases[] = {
        {{'R', 'e', 'a', 'd', '.', 'M', 'e'}, "read.me", true},
        {{'a', 'b', ' ', ' ', '.', 'c', ' '}, "AB.c", true},        // spaces before the dot and at the end
        {{'a', 'b'}, "ab.", false},                                 // an empty extension is still one
        {{'a', 'b', '.'}, "ab.", true},
        {{'.', 'b', 'a', 's', 'h', 'r', 'c'}, ".BASHRC", true},      // empty base
        {{'x', '.', 'y', '.', 'z'}, "X.Y.z", true},                 // the last dot splits
        {{0xE9, '.', 't'}, "\xc3\x89.t", true},                     // letters beyond A-Z fold too
        {{0x0250, '.', 't'}, "\xe2\xb1\xaf.t", true},               // to a form of another UTF-8 length
        {{0x0131}, "I", false},                                     // never onto ASCII
        {{0xE9, '.', 't'}, "\xc3\xa9.T", true},
        {{'a', 0xD83D, 0xDE00}, "a\xf0\x9f\x98\x80", true},          // a surrogate pair
        {{'a', 0xD83D}, "a\xef\xbf\xbd", true},                     // a lone high surrogate reads as U+FFFD
        {{0xDE00, 'a'}, "\xef\xbf\xbd" "a", true},                  // a lone low one too
        {{0xDE00, 0xD83D}, "\xef\xbf\xbd\xef\xbf\xbd", true},       // a pair in the wrong order
        {{'a', 0xD83D, '.', 0xDE00}, "a\xef\xbf\xbd.\xef\xbf\xbd", true},
        {{'a'}, "a\xff", false},                                    // invalid UTF-8 sought
        {{'a', 'b', 'c'}, "abc" + std::string(900, ' '), true},     // longer than any name buffer
        {{'a', 'b', 'c'}, "abd", false},
        {{'a', 'b', 'c'}, "xbc", false},
    };
    for (const auto& c : cases) {
        const FatLongName name = Collected(c.entry);
        ASSERT_EQ(ReferenceMatch(name, c.sought), c.match) << c.sought;
        EXPECT_EQ(FatNameMatcher(c.sought.c_str()).MatchesLongName(name), c.match) << c.sought;
    }
}

// Every pairing of short unit strings over an alphabet of the characters
// the rule treats specially, against sought names over the same alphabet.
TEST(EngineNameMatcher, AgreesWithTheUtf8ComparisonOnEveryShortCombination) {
    const std::uint16_t alphabet[] = {'a', 'A', '.', ' ', 0xE9, 0xD83D, 0xDE00, 0xFFFD};
    const std::string sought_alphabet[] = {"a", "A", ".", " ", "\xc3\xa9", "\xef\xbf\xbd", "\xf0\x9f\x98\x80"};
    std::vector<std::string> sought_names{""};
    for (std::size_t length = 1, from = 0; length <= 3; ++length) {
        const std::size_t to = sought_names.size();
        for (std::size_t i = from; i < to; ++i)
            for (const auto& piece : sought_alphabet) sought_names.push_back(sought_names[i] + piece);
        from = to;
    }
    int compared = 0, matched = 0;
    std::vector<std::uint16_t> entry;
    std::function<void(std::size_t)> each = [&](std::size_t length) {
        if (!entry.empty()) {
            const FatLongName name = Collected(entry);
            for (const auto& sought : sought_names) {
                const bool expected = ReferenceMatch(name, sought);
                ASSERT_EQ(FatNameMatcher(sought.c_str()).MatchesLongName(name), expected)
                    << "sought \"" << sought << "\", entry of " << entry.size() << " units";
                ++compared;
                matched += expected;
            }
        }
        if (length == 0) return;
        for (std::uint16_t unit : alphabet) {
            entry.push_back(unit);
            each(length - 1);
            entry.pop_back();
        }
    };
    each(3);
    EXPECT_GT(matched, 0);
    EXPECT_GT(compared, matched);
}

TEST(EngineNameMatcher, TheShortNamePrecheckNeverRulesOutAMatch) {
    const char* shorts[] = {"README  TXT", "A       B  ", "ABC~1   DAT", "X\x01Y     Z  ",
                            ("\xe5" "BC     TXT"), "AB.C    D  ", "ABC        ", "FILE1234DAT"};
    const char* sought[] = {"readme.txt", "README.TXT", "a.b", "abc~1.dat", "x_y.z", "_bc.txt", "ab.c.d",
                            "abc", "abc.", "file1234.dat", "file1235.dat", "FILE1234", ""};
    for (const char* s : shorts) {
        const auto* entry = reinterpret_cast<const std::uint8_t*>(s);
        for (const char* name : sought) {
            const FatNameMatcher matcher(name);
            EXPECT_TRUE(!matcher.MatchesShortName(entry) || matcher.MayMatchShortName(entry)) << s << " / " << name;
        }
    }
}

}  // namespace
