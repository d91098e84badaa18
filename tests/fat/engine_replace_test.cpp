// Replacing and abandoning files, names that differ only in letter case
// beyond A-Z, deletion of entries whose long-name parts do not match them,
// and a FAT16 root whose entry count is no multiple of 16.
#include <cstring>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

class EngineReplace : public EngineFixture, public ::testing::WithParamInterface<EngineImage> {
protected:
    void SetUp() override { MountFresh(GetParam()); }
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
    FatFile* OpenWithContent(const char* path, const std::vector<std::uint8_t>& data) {
        FatFile* file = FatOpenFile("wb", path);
        EXPECT_NE(file, nullptr);
        if (file) {
            EXPECT_EQ(FatWriteFile(file, data.data(), static_cast<std::uint32_t>(data.size())),
                      static_cast<int>(data.size()));
        }
        return file;
    }
};

// Until the replace is flushed the medium holds the old content whole, so a
// stop at any moment before leaves the old file; after it, the new one.
TEST_P(EngineReplace, TheOldContentStaysUntilTheReplaceIsFlushed) {
    const auto before = Pattern(70000, 1), after = Pattern(90000, 2);
    ASSERT_TRUE(WriteWhole("/photo.jpg", before));
    FatFile* file = OpenWithContent("/photo.jpg", after);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size, 90000u);  // the open file holds the new content
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    EXPECT_EQ(MtoolsRead("/photo.jpg"), before);  // the medium, the old
    ASSERT_EQ(FatFlushFile(file), 0);
    EXPECT_EQ(MtoolsRead("/photo.jpg"), after);
    FatCloseFile(file);
    Remount();
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/photo.jpg", &back));
    EXPECT_EQ(back, after);
    ExpectFsckClean();
}

TEST_P(EngineReplace, AnAbandonedFileLeavesWhatWasThere) {
    const auto old_content = Pattern(50000, 3);
    ASSERT_TRUE(WriteWhole("/kept.bin", old_content));
    FatAbandonFile(OpenWithContent("/kept.bin", Pattern(80000, 4)));
    FatAbandonFile(OpenWithContent("/new.bin", Pattern(80000, 5)));
    Remount();
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/kept.bin", &back));
    EXPECT_EQ(back, old_content);
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"kept.bin"});
    ExpectFsckClean();  // no cluster of either new content is left in use
}

TEST_P(EngineReplace, LettersBeyondAsciiFoldSoOneNameIsOneEntry) {
    ASSERT_TRUE(WriteWhole("/\xc3\xa4.txt", {1}));        // ä.txt
    ASSERT_TRUE(WriteWhole("/\xc3\x84.txt", {2}));        // Ä.txt replaces it
    ASSERT_TRUE(WriteWhole("/\xd0\xb4\xd0\xbe\xd0\xbc", {3}));  // дом
    EXPECT_EQ(FatMakeDirectory("/\xd0\x94\xd0\x9e\xd0\x9c"), 0);  // ДОМ is taken
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"\xc3\xa4.txt", "\xd0\xb4\xd0\xbe\xd0\xbc"}));
    EXPECT_EQ(MtoolsRead("/\xc3\x84.txt"), std::vector<std::uint8_t>{2});
    ExpectFsckClean();
}

INSTANTIATE_TEST_SUITE_P(Kinds, EngineReplace, ::testing::Values(EngineImage::kFat16, EngineImage::kFat32),
                         [](const auto& info) { return EngineImageName(info.param); });

// --- a crafted root ---------------------------------------------------------------

class EngineRawRoot : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
    void PutSlots(std::uint32_t sector, const std::vector<std::vector<std::uint8_t>>& slots) {
        auto bytes = ReadSector(image, sector);
        for (std::size_t i = 0; i < slots.size(); ++i) std::memcpy(&bytes[i * 32], slots[i].data(), 32);
        WriteSector(image, sector, bytes);
    }
};

// Parts carrying another short name's checksum stand in front of an entry
// (another system's leftover). Deleting the entry takes them too: left
// behind they would be orphans, which checkers count as damage.
TEST_F(EngineRawRoot, DeletingAnEntryTakesMismatchedPartsInFrontOfIt) {
    MountFresh(EngineImage::kFat16);
    ASSERT_TRUE(WriteWhole("/plain.txt", {7}));  // long name "plain.txt", short name PLAIN.TXT
    const std::uint32_t sector = DirSector(0);
    auto bytes = ReadSector(image, sector);
    bytes[13] = static_cast<std::uint8_t>(bytes[13] + 1);  // the part's checksum no longer matches
    WriteSector(image, sector, bytes);
    Remount();
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"plain.txt"});  // listed by its short name
    ASSERT_EQ(FatDeleteFile("/plain.txt"), 0);
    bytes = ReadSector(image, sector);
    EXPECT_EQ(bytes[0], 0xE5);   // the part
    EXPECT_EQ(bytes[32], 0xE5);  // the entry
    ExpectFsckClean();
}

// An entry whose size passes the end of its chain (another system's damage):
// writing into it in place would first allocate the gap, up to the whole
// volume, and fill it with whatever those clusters held. Refused; reading
// what the chain holds and replacing the file still work.
TEST_F(EngineRawRoot, AFileLargerThanItsChainIsNotGrownInPlace) {
    MountFresh(EngineImage::kFat16);
    ASSERT_TRUE(WriteWhole("/gap.bin", Pattern(1000, 4)));
    std::uint32_t free_before = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_before), 1);
    const std::uint32_t sector = DirSector(0);
    for (const std::uint32_t first_cluster : {std::uint32_t{0}, FatEntryFirstCluster(&ReadSector(image, sector)[32])}) {
        SCOPED_TRACE(first_cluster);
        auto bytes = ReadSector(image, sector);
        FatSetEntryFirstCluster(&bytes[32], first_cluster);
        FatStore32(&bytes[32 + 28], 16u << 20);
        WriteSector(image, sector, bytes);
        Remount();
        for (const char* mode : {"ab", "r+b"}) {
            SCOPED_TRACE(mode);
            EXPECT_EQ(FatOpenFile(mode, "/gap.bin"), nullptr);
        }
        std::uint32_t free_after = 0;
        ASSERT_EQ(FatCountFreeClusters(Volume(), &free_after), 1);
        EXPECT_EQ(free_after, free_before);
    }
    ASSERT_TRUE(WriteWhole("/gap.bin", {1, 2, 3}));  // a replace gives it a sound entry again
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/gap.bin", &back));
    EXPECT_EQ(back, (std::vector<std::uint8_t>{1, 2, 3}));
}

// A root of 500 entries ends inside a sector: one tool rounds its size
// down, another refuses the volume. Mounting it could only guess, so it is
// refused (a geometry that cannot hold together) before anything is read
// from the wrong place.
TEST_F(EngineRawRoot, AFat16RootThatEndsInsideASectorIsRefused) {
    const std::string dir = ScratchDir();
    image = dir + "/r.img";
    MakeFatImage(image, 32u << 20, "-F 16 -r 512");
    auto boot = ReadSector(image, 0);
    FatStore16(&boot[17], 500);
    WriteSector(image, 0, boot);
    EXPECT_EQ(Mount(image), kFatMountBadGeometry);
    FatStore16(&boot[17], 496);  // 31 whole sectors: fine
    WriteSector(image, 0, boot);
    EXPECT_EQ(Mount(image), kFatMountOk);
}

}  // namespace
