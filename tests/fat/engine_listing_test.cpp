// Listing, lookup and both renames, on images made by mkfs.fat and mtools
// and on directory slots crafted byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

std::vector<std::uint8_t> ShortSlot(const char* name11, std::uint8_t attribute, std::uint32_t cluster = 0,
                                    std::uint32_t size = 0) {
    std::vector<std::uint8_t> slot(32, 0);
    std::memcpy(slot.data(), name11, 11);
    slot[11] = attribute;
    FatSetEntryFirstCluster(slot.data(), cluster);
    FatStore32(&slot[28], size);
    return slot;
}

// The long-name parts of `name` for `short_name`, last part first.
std::vector<std::vector<std::uint8_t>> LongSlots(const std::string& name, const char* short_name) {
    std::uint16_t units[kFatLongNameCapacity];
    const int count = FatUtf8ToUtf16(name.c_str(), units, kFatLongNameCapacity);
    const std::uint32_t parts = FatLongNamePartCount(static_cast<std::uint32_t>(count));
    std::vector<std::vector<std::uint8_t>> slots;
    for (std::uint32_t part = parts; part >= 1; --part) {
        std::vector<std::uint8_t> slot(32);
        FatWriteLongNamePart(slot.data(), units, static_cast<std::uint32_t>(count), part,
                             FatShortNameChecksum(reinterpret_cast<const std::uint8_t*>(short_name)));
        slots.push_back(slot);
    }
    return slots;
}

class EngineListing : public EngineFixture, public ::testing::WithParamInterface<EngineImage> {
protected:
    void SetUp() override { MountFresh(GetParam()); }
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
    // Writes slots into the root from slot 0 on, then mounts again.
    void CraftRoot(const std::vector<std::vector<std::uint8_t>>& slots) {
        // Room for all of them: the engine grows a FAT32 root as needed.
        std::uint32_t sector_index = 0, slot_index = 0;
        ASSERT_EQ(FatFindFreeSlots(Volume(), Volume().root_cluster, static_cast<std::uint32_t>(slots.size()),
                                   &sector_index, &slot_index), 1);
        ASSERT_EQ(FatFlushCache(Volume()), 1);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const std::uint32_t sector = DirSector(Volume().root_cluster, static_cast<std::uint32_t>(i / 16));
            auto bytes = ReadSector(image, sector);
            std::memcpy(&bytes[(i % 16) * 32], slots[i].data(), 32);
            WriteSector(image, sector, bytes);
        }
        Remount();
    }
    void Mcopy(const std::string& target, const std::vector<std::uint8_t>& data = {}) {
        const std::string source = image + ".source";
        WriteFileBytes(source, data);
        ASSERT_EQ(testsupport::Run("mcopy -i " + Quote(image) + " " + Quote(source) + " " + Quote("::" + target)).exit_code, 0);
        Remount();
    }
    std::string ShortNameAt(std::uint32_t slot) {
        auto sector = RootSector(slot / 16);
        return std::string(sector.begin() + (slot % 16) * 32, sector.begin() + (slot % 16) * 32 + 11);
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, EngineListing, ::testing::Values(EngineImage::kFat16, EngineImage::kFat32),
                         [](const auto& info) { return EngineImageName(info.param); });

TEST_P(EngineListing, ListsLongNamesAsWrittenAndCountsEachCall) {
    const std::vector<std::string> names = {"Readme.TXT", "MixedCase Name.jpeg", "x"};
    for (const auto& name : names) ASSERT_TRUE(WriteWhole("/" + name, Pattern(100)));
    ASSERT_EQ(FatMakeDirectory("/Folder"), 1);
    FatEntryInfoList list;
    FatListDirectory(list, "/");
    FatListDirectory(list, "/");
    ASSERT_EQ(list.size(), 8u);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(list[i].name, names[i]);
        EXPECT_EQ(list[i + 4].name, names[i]);
        EXPECT_EQ(list[i].size, 100u);
        EXPECT_EQ(list[i].is_directory, 0);
    }
    EXPECT_STREQ(list[3].name, "Folder");
    EXPECT_EQ(list[3].is_directory, 1);
    list.clear();
    FatListDirectory(list, "/Readme.TXT");  // a file: nothing
    FatListDirectory(list, "/nowhere");
    FatListDirectory(list, "no-slash");
    EXPECT_TRUE(list.empty());
}

TEST_P(EngineListing, CursorReadsAcrossSectorsAndLongNamesThatStraddleThem) {
    std::vector<std::string> names;
    for (int i = 0; i < 7; ++i) names.push_back("f" + std::to_string(i));
    names.push_back("a name of thirty-five characters ok");  // three parts: slots 14 to 17
    names.push_back("after");
    for (const auto& name : names) ASSERT_TRUE(WriteWhole("/" + name, {}));
    FatDirCursor cursor;
    ASSERT_EQ(FatOpenDirectory("/", &cursor), &cursor);
    EXPECT_EQ(cursor.start_cluster, Volume().root_cluster);
    FatEntryInfo info;
    std::vector<std::string> seen;
    while (FatReadDirectory(&cursor, &info)) seen.emplace_back(info.name);
    EXPECT_EQ(seen, names);
    EXPECT_EQ(FatReadDirectory(&cursor, &info), 0);
    EXPECT_EQ(FatOpenDirectory("/f1", &cursor), nullptr);
    EXPECT_EQ(FatOpenDirectory("/missing", &cursor), nullptr);
    EXPECT_EQ(FatOpenDirectory(nullptr, &cursor), nullptr);
}

TEST_P(EngineListing, HiddenSystemAndLabelEntriesAreInvisible) {
    auto hidden_parts = LongSlots("hidden.txt", "HIDDEN  TXT");
    std::vector<std::vector<std::uint8_t>> slots = {ShortSlot("QX SYSTEM  ", 0x08)};
    slots.insert(slots.end(), hidden_parts.begin(), hidden_parts.end());
    slots.push_back(ShortSlot("HIDDEN  TXT", 0x22));
    slots.push_back(ShortSlot("SYS     BIN", 0x24));
    slots.push_back(ShortSlot("SHOWN   TXT", 0x20));
    CraftRoot(slots);
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"shown.txt"});
    FatEntryInfo info;
    EXPECT_EQ(FatLookupEntry("/hidden.txt", &info), 0);
    EXPECT_EQ(FatOpenFile("rb", "/sys.bin"), nullptr);
    EXPECT_EQ(FatDeleteFile("/sys.bin"), -1);
    // Their names stay taken: another entry answering to the same name would
    // leave other systems to pick either of the two.
    EXPECT_FALSE(WriteWhole("/hidden.txt", {5}));
    EXPECT_FALSE(WriteWhole("/SYS.BIN", {5}));
    EXPECT_EQ(FatMakeDirectory("/sys.bin"), 0);
    EXPECT_EQ(FatRenamePath("/shown.txt", "hidden.txt"), 0);
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"shown.txt"});
    // A name only the volume label carries is free.
    ASSERT_TRUE(WriteWhole("/qx system", {6}));
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"shown.txt", "qx system"}));
}

TEST_P(EngineListing, LongNamesOnlyCountWhenWholeAndMeantForTheEntry) {
    auto deleted_part = LongSlots("ghost.txt", "PLAIN   TXT")[0];
    deleted_part[0] = 0xE5;  // deleted by another system
    auto stale_part = LongSlots("stale.txt", "OTHER   TXT")[0];  // checksum of another short name
    std::vector<std::vector<std::uint8_t>> slots = {deleted_part, ShortSlot("PLAIN   TXT", 0x20), stale_part,
                                                    ShortSlot("SECOND  TXT", 0x20)};
    auto long_parts = LongSlots(std::string(260, 'n'), "LONGNA~1   ");
    slots.insert(slots.end(), long_parts.begin(), long_parts.end());
    slots.push_back(ShortSlot("LONGNA~1   ", 0x20));
    CraftRoot(slots);
    const auto names = ListNames("/");
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "plain.txt");
    EXPECT_EQ(names[1], "second.txt");
    EXPECT_EQ(names[2], std::string(260, 'n'));  // longer than a new name may be, yet whole
}

TEST_P(EngineListing, LookupComparesTheLongNameWhenThereIsOne) {
    auto parts = LongSlots("other.txt", "README  TXT");
    std::vector<std::vector<std::uint8_t>> slots = parts;
    slots.push_back(ShortSlot("README  TXT", 0x20));
    CraftRoot(slots);
    FatEntryInfo info;
    EXPECT_EQ(FatLookupEntry("/README.TXT", &info), 0);
    ASSERT_EQ(FatLookupEntry("/OTHER.txt", &info), 1);
    EXPECT_STREQ(info.name, "other.txt");
    ASSERT_TRUE(WriteWhole("/readme.txt", {}));
    ASSERT_EQ(FatLookupEntry("/ReadMe.TXT", &info), 1);
    EXPECT_STREQ(info.name, "readme.txt");
    EXPECT_EQ(FatLookupEntry("/", &info), 0);
    EXPECT_EQ(FatLookupEntry("/nothing", &info), 0);
}

TEST_P(EngineListing, InPlaceRenameOfShortNameOnlyEntries) {
    Mcopy("/A.TXT", {1, 2, 3});
    Mcopy("/C.TXT");
    ASSERT_TRUE(WriteWhole("/long name.txt", {}));
    FatDirCursor cursor;
    ASSERT_NE(FatOpenDirectory("/", &cursor), nullptr);
    const struct {
        const char* from;
        const char* to;
        const char* expected;  // short name in slot 0 afterwards
    } cases[] = {
        {"A.TXT", "NEWNAME.TXT", "A       TXT"},  // nine or more characters: unchanged
        {"A.TXT", "C", "A       TXT"},            // C.TXT exists: no duplicate
        {"A.TXT", "B.C", "A       TXT"},          // not a plain base
        {"A.TXT", "", "A       TXT"},
        {"A.TXT", "B", "B       TXT"},
        {"b.txt", "lower", "LOWER   TXT"},        // stored in upper case
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FatRenameEntry(&cursor, c.from, c.to), 0);
        EXPECT_EQ(ShortNameAt(0), c.expected) << c.from << " -> " << c.to;
    }
    // An entry with a long name keeps its name.
    const std::string before = ShortNameAt(3);
    EXPECT_EQ(FatRenameEntry(&cursor, "LONGNA~1.TXT", "X"), 0);
    EXPECT_EQ(ShortNameAt(3), before);
    EXPECT_EQ(MtoolsRead("/LOWER.TXT"), (std::vector<std::uint8_t>{1, 2, 3}));
    ExpectFsckClean();
}

TEST_P(EngineListing, RenamePathGivesAnyEntryANewLongName) {
    const auto data = Pattern(3000);
    FatFile* file = FatOpenWriteStamped("/old name.bin", "24-03-15 14:30");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(FatWriteFile(file, data.data(), 3000), 3000);
    FatCloseFile(file);
    FatEntryInfo before, after;
    ASSERT_EQ(FatLookupEntry("/old name.bin", &before), 1);
    ASSERT_EQ(FatRenamePath("/old name.bin", "A new, much longer name (1).bin"), 1);
    EXPECT_EQ(FatLookupEntry("/old name.bin", &after), 0);
    ASSERT_EQ(FatLookupEntry("/a NEW, much longer name (1).bin", &after), 1);
    EXPECT_STREQ(after.name, "A new, much longer name (1).bin");
    EXPECT_EQ(after.first_cluster, before.first_cluster);
    EXPECT_EQ(after.size, before.size);
    EXPECT_EQ(after.write_date, before.write_date);
    EXPECT_EQ(after.write_time, before.write_time);
    EXPECT_EQ(MtoolsRead("/A new, much longer name (1).bin"), data);
    ExpectFsckClean();
}

TEST_P(EngineListing, RenamePathOfDirectoriesAndShortOnlyEntries) {
    ASSERT_EQ(FatMakeDirectory("/dir"), 1);
    ASSERT_EQ(FatMakeDirectory("/dir/sub"), 1);
    ASSERT_TRUE(WriteWhole("/dir/sub/f", {7}));
    ASSERT_EQ(FatRenamePath("/dir/sub", "renamed folder"), 1);
    ASSERT_EQ(FatRenamePath("/dir", "top"), 1);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/top/renamed folder/f", &back));
    EXPECT_EQ(back, std::vector<std::uint8_t>{7});
    Mcopy("/SHORT.TXT", {4});
    ASSERT_EQ(FatRenamePath("/short.txt", "now long.text"), 1);
    EXPECT_EQ(MtoolsRead("/now long.text"), std::vector<std::uint8_t>{4});
    ASSERT_EQ(FatRenamePath("/now long.text", "NOW LONG.TEXT"), 1);  // case only
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"NOW LONG.TEXT", "top"}));  // new slots first
    ExpectFsckClean();
}

TEST_P(EngineListing, RenamePathRefusals) {
    ASSERT_TRUE(WriteWhole("/a", {1}));
    ASSERT_TRUE(WriteWhole("/b", {2}));
    const struct {
        const char* path;
        const char* new_name;
    } cases[] = {
        {"/a", "B"},  // exists
        {"/a", ""},
        {"/a", "x/y"},
        {"/a", "x\\y"},
        {"/a", "."},
        {"/a", ".."},
        {"/a", nullptr},
        {"/missing", "c"},
        {"/", "c"},
    };
    for (const auto& c : cases) EXPECT_EQ(FatRenamePath(c.path, c.new_name), 0) << c.path;
    const std::string too_long(256, 'z');
    EXPECT_EQ(FatRenamePath("/a", too_long.c_str()), 0);
    EXPECT_EQ(FatRenamePath("/a", std::string(255, 'z').c_str()), 1);
    FatFile* open = FatOpenFile("rb", "/b");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(FatRenamePath("/b", "c"), 0);  // open files keep their name
    FatCloseFile(open);
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"b", std::string(255, 'z')}));
    ExpectFsckClean();
}

class EngineRootDirectory : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
};

// Small fixed-size root directories: the FAT16 root never grows.
TEST_F(EngineRootDirectory, AFullFat16RootRefusesNewEntries) {
    image = ScratchDir() + "/v.img";
    MakeFatImage(image, 32u << 20, "-F 16 -r 32");
    ASSERT_EQ(Mount(image), kFatMountOk);
    const int files = Volume().root_entry_count / 2;  // a long-name part and a short entry each
    ASSERT_LT(files, 64);
    for (int i = 0; i < files; ++i) ASSERT_TRUE(WriteWhole("/f" + std::to_string(i), {})) << i;
    const auto before = ReadFileBytes(image);
    EXPECT_EQ(FatOpenFile("wb", "/one more"), nullptr);
    EXPECT_EQ(FatMakeDirectory("/dir"), 0);
    EXPECT_EQ(ReadFileBytes(image), before);
    EXPECT_EQ(FatDeleteFile("/f3"), 0);
    EXPECT_TRUE(WriteWhole("/one more", {1}));
    ExpectFsckClean();
}

TEST_F(EngineRootDirectory, AFat32DirectoryGrowsByAZeroedCluster) {
    MountFresh(EngineImage::kFat32);
    ASSERT_EQ(Volume().sectors_per_cluster, 1);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(WriteWhole("/f" + std::to_string(i), {})) << i;
    // The next free cluster holds old data that must not show up as entries.
    std::uint32_t next_free = 0;
    ASSERT_EQ(FatFindFreeCluster(Volume(), 2, &next_free), 1);
    WriteSector(image, FatClusterToSector(Volume(), next_free), std::vector<std::uint8_t>(512, 0x41));
    Remount();
    ASSERT_TRUE(WriteWhole("/ninth", {9}));
    EXPECT_EQ(Chain(Volume().root_cluster), (std::vector<std::uint32_t>{2, next_free}));
    auto sector = ReadSector(image, FatClusterToSector(Volume(), next_free));
    EXPECT_EQ(sector[0], 0x41);  // the long-name part of "ninth"
    for (std::size_t i = 64; i < 512; ++i) ASSERT_EQ(sector[i], 0) << i;
    // A 255-character name needs 21 slots: 14 still free in the second
    // cluster, the rest in a third.
    ASSERT_TRUE(WriteWhole("/" + std::string(255, 'L'), {1}));
    EXPECT_EQ(Chain(Volume().root_cluster).size(), 3u);
    EXPECT_EQ(ListNames("/").size(), 10u);
    EXPECT_EQ(MtoolsRead("/ninth"), std::vector<std::uint8_t>{9});
    ExpectFsckClean();
}

TEST_F(EngineRootDirectory, ManyFilesInOneDirectory) {
    MountFresh(EngineImage::kFat32);
    ASSERT_EQ(FatMakeDirectory("/many"), 1);
    for (int i = 0; i < 600; ++i)
        ASSERT_TRUE(WriteWhole("/many/picture number " + std::to_string(i) + ".jpeg", {})) << i;
    EXPECT_EQ(ListNames("/many").size(), 602u);
    const std::string listing = MtoolsDir("/many");
    EXPECT_NE(listing.find("602 files"), std::string::npos) << listing.substr(listing.size() - 200);
    ExpectFsckClean();
}

}  // namespace

// Names no new entry may take, written by some other system: they still
// list, open and read, so nothing already on a volume becomes unreachable.
TEST_P(EngineListing, EntriesWithNamesNoNewEntryMayTakeStillListAndRead) {
    std::vector<std::uint8_t> payload = {42};
    ASSERT_TRUE(WriteWhole("/payload.bin", payload));
    FatEntryInfo info{};
    ASSERT_EQ(FatLookupEntry("/payload.bin", &info), 1);
    const std::uint32_t cluster = info.first_cluster;
    ASSERT_EQ(FatDeleteFile("/payload.bin"), 0);
    ASSERT_EQ(FatAllocateCluster(Volume(), &info.first_cluster), 1);  // takes the same cluster back
    ASSERT_EQ(info.first_cluster, cluster);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    std::vector<std::vector<std::uint8_t>> slots = LongSlots("what?.txt", "WHAT_~1 TXT");
    slots.push_back(ShortSlot("WHAT_~1 TXT", 0x20, cluster, 1));
    CraftRoot(slots);
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"what?.txt"});
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/what?.txt", &back));
    EXPECT_EQ(back, payload);
    EXPECT_STRNE(FatNewNameProblem("what?.txt"), nullptr);
    EXPECT_FALSE(WriteWhole("/what?.txt", {1}));  // not re-created under the refused name
    EXPECT_EQ(FatDeleteFile("/what?.txt"), 0);
    ExpectFsckClean();
}
