// Creating, writing, reading, truncating and deleting files and directories
// on FAT16 and FAT32 images, checked byte by byte, with fsck.fat and mtools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

class EngineFiles : public EngineFixture, public ::testing::WithParamInterface<EngineImage> {
protected:
    void SetUp() override { MountFresh(GetParam()); }
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, EngineFiles, ::testing::Values(EngineImage::kFat16, EngineImage::kFat32),
                         [](const auto& info) { return EngineImageName(info.param); });

std::uint16_t Unit(const std::vector<std::uint8_t>& slot, int offset) {
    return static_cast<std::uint16_t>(slot[offset] | slot[offset + 1] << 8);
}
std::vector<std::uint8_t> Slot(const std::vector<std::uint8_t>& sector, int index) {
    return std::vector<std::uint8_t>(sector.begin() + index * 32, sector.begin() + index * 32 + 32);
}
const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The first free slot of the root: FAT32 images from mkfs.fat start empty,
// FAT16 ones too (no label given).
TEST_P(EngineFiles, NewFileWritesOneLongNamePartAndTheShortEntry) {
    FatFile* file = FatOpenFile("wb", "/readme.txt");
    ASSERT_NE(file, nullptr);
    FatCloseFile(file);
    auto sector = RootSector();
    auto part = Slot(sector, 0);
    EXPECT_EQ(part[0], 0x41);
    EXPECT_EQ(part[11], 0x0F);
    EXPECT_EQ(part[13], 0x73);
    const char* name = "readme.txt";
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Unit(part, kUnitOffsets[i]), name[i]);
    EXPECT_EQ(Unit(part, kUnitOffsets[10]), 0x0000);
    EXPECT_EQ(Unit(part, kUnitOffsets[11]), 0xFFFF);
    EXPECT_EQ(Unit(part, kUnitOffsets[12]), 0xFFFF);
    auto entry = Slot(sector, 1);
    EXPECT_EQ(std::string(entry.begin(), entry.begin() + 11), "README  TXT");
    EXPECT_EQ(entry[11], 0x20);
    // No stamp given: created, written and accessed now (never the invalid day 0).
    const FatStamp now = FatStampNow();
    EXPECT_EQ(FatLoad16(&entry[16]), now.date);
    EXPECT_EQ(FatLoad16(&entry[18]), now.date);
    EXPECT_EQ(FatLoad16(&entry[24]), now.date);
    EXPECT_EQ(FatLoad32(&entry[28]), 0u);
    // An empty file owns no cluster (fsck.fat rejects an empty file with one).
    EXPECT_EQ(FatEntryFirstCluster(entry.data()), 0u);
    ExpectFsckClean();
}

TEST_P(EngineFiles, ThirteenAndFourteenCharacterNames) {
    ASSERT_TRUE(WriteWhole("/abcdefghijklm", {}));
    ASSERT_TRUE(WriteWhole("/abcdefghijklmn", {}));
    auto sector = RootSector();
    auto thirteen = Slot(sector, 0);
    EXPECT_EQ(thirteen[0], 0x41);
    EXPECT_EQ(Unit(thirteen, kUnitOffsets[12]), 'm');  // no terminator: the part is full
    auto first = Slot(sector, 2);  // part 2 of the 14-character name comes first
    EXPECT_EQ(first[0], 0x42);
    EXPECT_EQ(Unit(first, kUnitOffsets[0]), 'n');
    EXPECT_EQ(Unit(first, kUnitOffsets[1]), 0x0000);
    for (int i = 2; i < 13; ++i) EXPECT_EQ(Unit(first, kUnitOffsets[i]), 0xFFFF);
    EXPECT_EQ(Slot(sector, 3)[0], 0x01);
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"abcdefghijklm", "abcdefghijklmn"}));
    ExpectFsckClean();
}

TEST_P(EngineFiles, NumericTailsKeepShortNamesUnique) {
    ASSERT_TRUE(WriteWhole("/README.TXT", {}));
    ASSERT_TRUE(WriteWhole("/read me.txt", {}));  // same short name, another long name
    ASSERT_TRUE(WriteWhole("/a.b", {}));
    ASSERT_TRUE(WriteWhole("/a..b", {}));
    std::vector<std::string> shorts;
    auto sector = RootSector();
    for (int i = 0; i < 16; ++i) {
        auto slot = Slot(sector, i);
        if (slot[0] && slot[11] != 0x0F) shorts.emplace_back(slot.begin(), slot.begin() + 11);
    }
    EXPECT_EQ(shorts, (std::vector<std::string>{"README  TXT", "README~1TXT", "A       B  ", "A~1     B  "}));
    ExpectFsckClean();
}

TEST_P(EngineFiles, TailsCountOnWhenManyNamesShareABase) {
    for (int i = 0; i < 120; ++i)
        ASSERT_TRUE(WriteWhole("/holiday picture " + std::to_string(i) + ".jpeg", {std::uint8_t(i)})) << i;
    EXPECT_EQ(FatOpenFile("rb", "/HOLIDA~1.JPE"), nullptr);  // short names are not long names
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(ReadWhole("/holiday picture 119.jpeg", &data));
    EXPECT_EQ(data, std::vector<std::uint8_t>{119});
    EXPECT_EQ(ListNames("/").size(), 120u);
    EXPECT_EQ(MtoolsRead("/holiday picture 100.jpeg"), std::vector<std::uint8_t>{100});
    ExpectFsckClean();
}

TEST_P(EngineFiles, StampedCreationSetsTheWriteTimeAndDate) {
    FatFile* file = FatOpenWriteStamped("/s.txt", "24-03-15 14:30");
    ASSERT_NE(file, nullptr);
    FatCloseFile(file);
    ASSERT_EQ(FatMakeDirectoryStamped("/d", "99-12-31 23:59"), 1);
    FatEntryInfo info;
    ASSERT_EQ(FatLookupEntry("/s.txt", &info), 1);
    EXPECT_EQ(info.write_date, 0x586F);
    EXPECT_EQ(info.write_time, 0x73C0);
    ASSERT_EQ(FatLookupEntry("/d", &info), 1);
    EXPECT_EQ(info.write_date, 0x279F);
    // Replacing a file with a stamp gives it the new content's time.
    file = FatOpenWriteStamped("/s.txt", "99-12-31 23:59");
    ASSERT_NE(file, nullptr);
    FatCloseFile(file);
    ASSERT_EQ(FatLookupEntry("/s.txt", &info), 1);
    EXPECT_EQ(info.write_date, 0x279F);
    ExpectFsckClean();
}

TEST_P(EngineFiles, DataRoundTripsThroughTheEngineAndMtools) {
    const struct {
        const char* path;
        std::size_t size;
    } cases[] = {{"/one.bin", 1}, {"/sector.bin", 512}, {"/odd.bin", 1000}, {"/big.bin", 300000}};
    ASSERT_EQ(FatMakeDirectory("/sub"), 1);
    for (const auto& c : cases) {
        const auto data = Pattern(c.size, static_cast<unsigned>(c.size));
        ASSERT_TRUE(WriteWhole(c.path, data)) << c.path;
        ASSERT_TRUE(WriteWhole(std::string("/sub") + c.path, data)) << c.path;
    }
    Remount();
    for (const auto& c : cases) {
        const auto data = Pattern(c.size, static_cast<unsigned>(c.size));
        std::vector<std::uint8_t> back;
        ASSERT_TRUE(ReadWhole(c.path, &back));
        EXPECT_EQ(back, data) << c.path;
        EXPECT_EQ(MtoolsRead(c.path), data) << c.path;
        EXPECT_EQ(MtoolsRead(std::string("/sub") + c.path), data) << c.path;
    }
    ExpectFsckClean();
}

TEST_P(EngineFiles, SmallPiecesAndLargeBlocksMix) {
    const auto data = Pattern(70000);
    FatFile* file = FatOpenFile("wb", "/mix.bin");
    ASSERT_NE(file, nullptr);
    const std::uint32_t pieces[] = {1, 511, 1, 2048, 100, 3000, 7, 4096, 1024};
    std::size_t at = 0;
    for (int round = 0; at < data.size(); ++round) {
        const std::uint32_t n = std::min<std::uint32_t>(pieces[round % 9], std::uint32_t(data.size() - at));
        ASSERT_EQ(FatWriteFile(file, data.data() + at, n), int(n));
        at += n;
    }
    FatCloseFile(file);
    file = FatOpenFile("rb", "/mix.bin");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size, data.size());
    std::vector<std::uint8_t> back(data.size());
    at = 0;
    for (int round = 0; at < back.size(); ++round) {
        const std::uint32_t n = std::min<std::uint32_t>(pieces[(round + 4) % 9], std::uint32_t(back.size() - at));
        ASSERT_EQ(FatReadFile(file, n, back.data() + at), int(n));
        at += n;
    }
    FatCloseFile(file);
    EXPECT_EQ(back, data);
    ExpectFsckClean();
}

TEST_P(EngineFiles, ReadingAtTheEnd) {
    ASSERT_TRUE(WriteWhole("/f", Pattern(10)));
    FatFile* file = FatOpenFile("r", "/f");
    ASSERT_NE(file, nullptr);
    std::uint8_t buffer[16];
    EXPECT_EQ(FatReadFile(file, 16, buffer), 10);
    EXPECT_EQ(FatReadFile(file, 0, buffer), 0);
    EXPECT_EQ(FatReadFile(file, 1, buffer), -1);
    EXPECT_EQ(FatReadFile(file, 1, nullptr), -1);
    EXPECT_EQ(FatWriteFile(file, buffer, 1), -1);  // opened for reading only
    FatCloseFile(file);
    EXPECT_EQ(MtoolsRead("/f"), Pattern(10));
}

TEST_P(EngineFiles, OpenRecordsAreLimitedToTwoAndOneEach) {
    ASSERT_TRUE(WriteWhole("/a", {1}));
    ASSERT_TRUE(WriteWhole("/b", {2}));
    ASSERT_TRUE(WriteWhole("/c", {3}));
    FatFile* a = FatOpenFile("r", "/a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(FatOpenFile("r", "/A"), nullptr);  // the same file again
    FatFile* b = FatOpenFile("r", "/b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(FatOpenFile("r", "/c"), nullptr);
    EXPECT_EQ(FatDeleteFile("/a"), -1);  // open
    FatCloseFile(a);
    FatFile* c = FatOpenFile("r", "/c");
    EXPECT_NE(c, nullptr);
    FatCloseFile(b);
    FatCloseFile(c);
    FatCloseFile(nullptr);
    EXPECT_EQ(FatOpenFile("r", "/missing"), nullptr);
    EXPECT_EQ(FatOpenFile(nullptr, "/a"), nullptr);
    EXPECT_EQ(FatOpenFile("r", nullptr), nullptr);
    EXPECT_EQ(FatOpenFile("r", "a"), nullptr);  // malformed
}

TEST_P(EngineFiles, WriteModesTruncateAndAppendModesDoNot) {
    const struct {
        const char* mode;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {"wb", {9, 9}},
        {"w", {9, 9}},
        {"w+", {9, 9}},
        {"ab", {1, 2, 3, 4, 5, 9, 9}},
        {"a+", {1, 2, 3, 4, 5, 9, 9}},
        {"r+", {9, 9, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteWhole("/t.bin", Pattern(5000)));
        ASSERT_TRUE(WriteWhole("/t.bin", {1, 2, 3, 4, 5}));
        FatFile* file = FatOpenFile(c.mode, "/t.bin");
        ASSERT_NE(file, nullptr) << c.mode;
        const std::uint8_t nine[] = {9, 9};
        EXPECT_EQ(FatWriteFile(file, nine, 2), 2) << c.mode;
        FatCloseFile(file);
        std::vector<std::uint8_t> back;
        ASSERT_TRUE(ReadWhole("/t.bin", &back));
        EXPECT_EQ(back, c.expected) << c.mode;
        ExpectFsckClean();
    }
}

TEST_P(EngineFiles, TruncatingALargeFileFreesItsClusters) {
    std::uint32_t free_before = 0, free_after = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_before), 1);
    ASSERT_TRUE(WriteWhole("/big", Pattern(200000)));
    FatFile* file = FatOpenFile("wb", "/big");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size, 0u);
    FatCloseFile(file);
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_after), 1);
    EXPECT_EQ(free_after, free_before);
    ExpectFsckClean();
}

TEST_P(EngineFiles, AppendWritesLandAtTheEndAfterReads) {
    ASSERT_TRUE(WriteWhole("/log", {1, 2, 3}));
    FatFile* file = FatOpenFile("a+", "/log");
    ASSERT_NE(file, nullptr);
    std::uint8_t one;
    file->position = 0;
    EXPECT_EQ(FatReadFile(file, 1, &one), 1);
    const std::uint8_t four = 4;
    EXPECT_EQ(FatWriteFile(file, &four, 1), 1);
    FatCloseFile(file);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/log", &back));
    EXPECT_EQ(back, (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST_P(EngineFiles, DeletingMarksTheEntryAndItsLongNameAndFreesTheChain) {
    ASSERT_TRUE(WriteWhole("/a long file name.bin", Pattern(5000)));
    FatEntryInfo info;
    ASSERT_EQ(FatLookupEntry("/a long file name.bin", &info), 1);
    const auto chain = Chain(info.first_cluster);
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(FatDeleteFile("/a long file name.bin"), 0);
    auto sector = RootSector();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sector[i * 32], 0xE5) << i;  // two parts and the short entry
    for (std::uint32_t cluster : chain) EXPECT_EQ(RawFatEntry(cluster), 0u);
    EXPECT_EQ(FatDeleteFile("/a long file name.bin"), -1);
    EXPECT_EQ(FatDeleteFile("/"), -1);
    ExpectFsckClean();
    // The freed slots are taken again.
    ASSERT_TRUE(WriteWhole("/x", {}));
    EXPECT_EQ(RootSector()[32], 'X');
    ASSERT_EQ(FatMakeDirectory("/dir"), 1);
    EXPECT_EQ(FatDeleteFile("/dir"), -1);  // not a file
}

TEST_P(EngineFiles, DirectoriesGetDotEntriesAndNest) {
    ASSERT_EQ(FatMakeDirectory("/outer"), 1);
    EXPECT_EQ(FatMakeDirectory("/outer"), 0);  // exists
    ASSERT_EQ(FatMakeDirectory("/outer/inner"), 1);
    EXPECT_EQ(FatMakeDirectory("/missing/inner"), 0);
    EXPECT_EQ(FatMakeDirectory("/outer/."), 0);
    EXPECT_EQ(FatMakeDirectory("/outer/.."), 0);
    ASSERT_TRUE(WriteWhole("/outer/inner/f.txt", Pattern(3000)));
    FatEntryInfo outer, inner;
    ASSERT_EQ(FatLookupEntry("/outer", &outer), 1);
    ASSERT_EQ(FatLookupEntry("/outer/inner", &inner), 1);
    EXPECT_EQ(outer.is_directory, 1);
    EXPECT_EQ(outer.size, 0u);
    FatEntryInfoList list;
    FatListDirectory(list, "/outer/inner");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].name, ".");
    EXPECT_EQ(list[0].first_cluster, inner.first_cluster);
    EXPECT_STREQ(list[1].name, "..");
    EXPECT_EQ(list[1].first_cluster, outer.first_cluster);
    list.clear();
    FatListDirectory(list, "/outer");
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[1].first_cluster, 0u);  // ".." of a directory in the root
    EXPECT_EQ(MtoolsRead("/outer/inner/f.txt"), Pattern(3000));
    // Dot components name no entry.
    EXPECT_EQ(FatOpenFile("rb", "/outer/inner/../inner/f.txt"), nullptr);
    ExpectFsckClean();
}

TEST_P(EngineFiles, RemovingDirectories) {
    ASSERT_EQ(FatMakeDirectory("/d"), 1);
    ASSERT_EQ(FatMakeDirectory("/d/e"), 1);
    ASSERT_TRUE(WriteWhole("/f", {1}));
    EXPECT_EQ(FatRemoveDirectory("/d"), 0);  // not empty
    EXPECT_EQ(FatRemoveDirectory("/f"), 0);  // a file
    EXPECT_EQ(FatRemoveDirectory("/"), 0);
    EXPECT_EQ(FatRemoveDirectory("/nothing"), 0);
    EXPECT_EQ(FatRemoveDirectory("/d/e/.."), 0);
    EXPECT_EQ(FatRemoveDirectory("/d/e"), 1);
    EXPECT_EQ(FatRemoveDirectory("/d"), 1);
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"f"});
    ExpectFsckClean();
}

TEST_P(EngineFiles, LongAndUnicodeNames) {
    const std::string unicode = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7.txt";
    ASSERT_TRUE(WriteWhole("/" + unicode, {1, 2}));
    const std::string longest(255, 'x');
    ASSERT_TRUE(WriteWhole("/" + longest, {3}));
    EXPECT_EQ(FatOpenFile("wb", ("/" + longest + "y").c_str()), nullptr);  // 256 characters
    EXPECT_EQ(FatMakeDirectory(("/" + longest + "y").c_str()), 0);
    EXPECT_EQ(FatOpenFile("wb", "/bad\xc3"), nullptr);  // not UTF-8
    const auto names = ListNames("/");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], unicode);
    EXPECT_EQ(names[1], longest);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/CAF\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7.TXT", &back));  // ASCII case folds
    EXPECT_EQ(back, (std::vector<std::uint8_t>{1, 2}));
    // The short name holds '_' for each byte of a non-ASCII character, and a
    // tail, as it no longer stands for the long name.
    auto entry = Slot(RootSector(), 1);
    EXPECT_EQ(std::string(entry.begin(), entry.begin() + 11), "CAF___~1TXT");
    EXPECT_NE(MtoolsDir("/").find("caf\xc3\xa9 \xe2\x82\xac"), std::string::npos) << MtoolsDir("/");
    ExpectFsckClean();
}

TEST_P(EngineFiles, NamesBeginningWithADotGetAValidShortName) {
    ASSERT_TRUE(WriteWhole("/.profile", {1}));
    ASSERT_TRUE(WriteWhole("/profile", {2}));
    ASSERT_EQ(FatMakeDirectory("/.cache"), 1);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/.profile", &back));
    EXPECT_EQ(back, std::vector<std::uint8_t>{1});
    FatEntryInfo info;
    EXPECT_EQ(FatLookupEntry("/.cache", &info), 1);
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{".profile", "profile", ".cache"}));
    ExpectFsckClean();
}

TEST_P(EngineFiles, LookupFindsShortOnlyEntriesWithShortExtensions) {
    ASSERT_EQ(testsupport::Run("mcopy -i " + Quote(image) + " /dev/null ::/A.C").exit_code, 0);
    Remount();
    FatEntryInfo info;
    ASSERT_EQ(FatLookupEntry("/a.c", &info), 1);
    EXPECT_STREQ(info.name, "a.c");
    FatFile* file = FatOpenFile("ab", "/A.C");  // empty from mtools: no cluster yet
    ASSERT_NE(file, nullptr);
    const auto data = Pattern(1500);
    EXPECT_EQ(FatWriteFile(file, data.data(), 1500), 1500);
    FatCloseFile(file);
    EXPECT_EQ(MtoolsRead("/A.C"), data);
    ExpectFsckClean();
}

TEST_P(EngineFiles, FlushMakesTheVolumeConsistentWhileTheFileStaysOpen) {
    FatFile* file = FatOpenFile("wb", "/open.bin");
    ASSERT_NE(file, nullptr);
    const auto data = Pattern(5000);
    ASSERT_EQ(FatWriteFile(file, data.data(), 5000), 5000);
    EXPECT_EQ(FatFlushFile(file), 0);
    ExpectFsckClean();
    EXPECT_EQ(MtoolsRead("/open.bin"), data);
    FatCloseFile(file);
}

TEST_P(EngineFiles, AFullVolumeGivesAShortWriteAndStaysConsistent) {
    std::uint32_t free_clusters = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_clusters), 1);
    const std::uint32_t cluster_bytes = Volume().sectors_per_cluster * 512u;
    const std::uint64_t room = std::uint64_t{free_clusters} * cluster_bytes;
    const auto data = Pattern(room + 3 * cluster_bytes + 100);
    FatFile* file = FatOpenFile("wb", "/fill.bin");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(FatWriteFile(file, data.data(), std::uint32_t(data.size())), int(room));
    FatCloseFile(file);
    EXPECT_EQ(FatOpenFile("wb", "/another.bin") != nullptr, true);  // an empty file needs no cluster
    FatResetFiles();
    EXPECT_EQ(FatMakeDirectory("/nodir"), 0);
    ExpectFsckClean();
    EXPECT_EQ(FatDeleteFile("/fill.bin"), 0);
    ExpectFsckClean();
}

// Writing 512000 bytes on a volume with 64 sectors per cluster links the
// first cluster and the 15 more the rest needs in one step; the chain is
// contiguous, so the data goes to the medium in one transfer.
class EngineLargeClusters : public EngineFixture {};

TEST_F(EngineLargeClusters, AWriteExtendsTheChainByWhatTheRestNeeds) {
    image = ScratchDir() + "/v.img";
    MakeFatImage(image, 160u << 20, "-F 16 -s 64");
    AttachImage(image);
    CountingDevice* device = MountCounted();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Volume().sectors_per_cluster, 64);
    FatFile* file = FatOpenFile("wb", "/block.bin");
    ASSERT_NE(file, nullptr);
    device->Reset();
    const auto data = Pattern(512000);
    EXPECT_EQ(FatWriteFile(file, data.data(), 512000), 512000);
    EXPECT_EQ(device->multi_sector_writes, 1u);
    EXPECT_EQ(device->largest_write, 1000u);
    FatCloseFile(file);
    FatEntryInfo info;
    ASSERT_EQ(FatLookupEntry("/block.bin", &info), 1);
    const auto chain = Chain(info.first_cluster);
    ASSERT_EQ(chain.size(), 16u);
    EXPECT_EQ(chain.back(), chain.front() + 15);
    EXPECT_EQ(MtoolsRead("/block.bin"), data);
    ExpectFsckClean();
}

}  // namespace
