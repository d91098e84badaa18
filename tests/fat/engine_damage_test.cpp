// Damaged volumes: each fixture is a fresh image with one defect patched in,
// named after the defect. Listing, lookup, reading and creating must end with
// an error or a short count, never hang, crash or write outside the volume.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kFileBytes = 3000;

class EngineDamage : public EngineFixture, public ::testing::WithParamInterface<EngineImage> {
protected:
    void SetUp() override {
        MountFresh(GetParam());
        ASSERT_EQ(FatMakeDirectory("/d"), 1);
        // Enough entries for three clusters of the directory on FAT32.
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(WriteWhole("/d/entry" + std::to_string(i), {}));
        ASSERT_TRUE(WriteWhole("/f.bin", Pattern(kFileBytes)));
        ASSERT_EQ(FatLookupEntry("/d", &dir_info), 1);
        ASSERT_EQ(FatLookupEntry("/f.bin", &file_info), 1);
        dir_chain = Chain(dir_info.first_cluster);
        file_chain = Chain(file_info.first_cluster);
        ASSERT_GE(file_chain.size(), 2u);
    }
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }

    // Sets a FAT entry in every FAT copy of the image.
    void PatchFat(std::uint32_t cluster, std::uint32_t value) {
        const FatVolume& v = Volume();
        const std::uint32_t per = v.is_fat32 ? 128 : 256;
        for (std::uint32_t copy = 0; copy < v.fat_count; ++copy) {
            const std::uint32_t sector = v.first_fat_sector + copy * v.fat_size + cluster / per;
            auto bytes = ReadSector(image, sector);
            std::uint8_t* p = &bytes[(cluster % per) * (v.is_fat32 ? 4 : 2)];
            if (v.is_fat32)
                FatStore32(p, value);
            else
                FatStore16(p, static_cast<std::uint16_t>(value));
            WriteSector(image, sector, bytes);
        }
    }
    // Rewrites the short entry of a root entry.
    void PatchRootEntry(const char* name, const std::function<void(std::uint8_t*)>& patch) {
        FatFoundEntry found;
        ASSERT_EQ(FatLocateEntry(Volume(), Volume().root_cluster, name, &found), 1);
        const std::uint32_t sector = DirSector(Volume().root_cluster, found.where.sector_index);
        auto bytes = ReadSector(image, sector);
        patch(&bytes[found.where.slot * 32]);
        WriteSector(image, sector, bytes);
    }
    std::uint32_t OutsideCluster() { return Volume().cluster_count + 10; }

    FatEntryInfo dir_info{}, file_info{};
    std::vector<std::uint32_t> dir_chain, file_chain;
};

INSTANTIATE_TEST_SUITE_P(Kinds, EngineDamage, ::testing::Values(EngineImage::kFat16, EngineImage::kFat32),
                         [](const auto& info) { return EngineImageName(info.param); });

std::vector<std::uint8_t> ReadUpTo(const char* path, std::uint32_t length, int* result) {
    std::vector<std::uint8_t> data(length);
    FatFile* file = FatOpenFile("rb", path);
    *result = file ? FatReadFile(file, length, data.data()) : -2;
    FatCloseFile(file);
    return data;
}

TEST_P(EngineDamage, directory_chain_loops) {
    PatchFat(dir_chain.back(), dir_chain.front());
    Remount();
    const auto names = ListNames("/d");
    EXPECT_GE(names.size(), 22u);  // what lies on the loop is listed
    EXPECT_LT(names.size(), 200u);
    FatDirCursor cursor;
    ASSERT_NE(FatOpenDirectory("/d", &cursor), nullptr);
    FatEntryInfo info;
    int read = 0;
    while (FatReadDirectory(&cursor, &info) && read < 1000) ++read;
    EXPECT_LT(read, 200);
    EXPECT_EQ(FatOpenFile("wb", "/d/new"), nullptr);  // no end to grow at
    EXPECT_EQ(FatMakeDirectory("/d/sub"), 0);
    EXPECT_EQ(FatRemoveDirectory("/d"), 0);
    EXPECT_EQ(FatOpenFile("rb", "/d/missing"), nullptr);
    EXPECT_GT(Volume().damage_count, 0u);
}

TEST_P(EngineDamage, directory_chain_runs_into_a_free_cluster) {
    PatchFat(dir_chain.front(), 0);
    Remount();
    EXPECT_LE(ListNames("/d").size(), 22u);
    EXPECT_EQ(FatOpenFile("wb", "/d/new"), nullptr);
    EXPECT_EQ(FatRemoveDirectory("/d"), 0);
    EXPECT_GT(Volume().damage_count, 0u);
}

TEST_P(EngineDamage, directory_entry_points_outside_the_volume) {
    PatchRootEntry("d", [this](std::uint8_t* entry) { FatSetEntryFirstCluster(entry, OutsideCluster()); });
    Remount();
    FatEntryInfoList list;
    FatListDirectory(list, "/d");
    EXPECT_TRUE(list.empty());
    FatDirCursor cursor;
    EXPECT_EQ(FatOpenDirectory("/d", &cursor), nullptr);
    EXPECT_EQ(FatOpenFile("wb", "/d/x"), nullptr);
    EXPECT_EQ(FatMakeDirectory("/d/x"), 0);
    EXPECT_EQ(FatRemoveDirectory("/d"), 0);
    FatEntryInfo info;
    EXPECT_EQ(FatLookupEntry("/d/entry0", &info), 0);
    EXPECT_GT(Volume().damage_count, 0u);
}

TEST_P(EngineDamage, file_entry_points_outside_the_volume) {
    PatchRootEntry("f.bin", [this](std::uint8_t* entry) { FatSetEntryFirstCluster(entry, OutsideCluster()); });
    Remount();
    const auto before = ReadFileBytes(image);
    int result = 0;
    ReadUpTo("/f.bin", kFileBytes, &result);
    EXPECT_LE(result, 0);
    // Its chain cannot hold its size: it is not written in place.
    EXPECT_EQ(FatOpenFile("ab", "/f.bin"), nullptr);
    EXPECT_EQ(FatOpenFile("r+b", "/f.bin"), nullptr);
    EXPECT_TRUE(ReadFileBytes(image) == before);
    EXPECT_EQ(FatDeleteFile("/f.bin"), 0);  // the entry goes; nothing outside is freed
    EXPECT_GT(Volume().damage_count, 0u);
}

TEST_P(EngineDamage, file_size_larger_than_its_chain) {
    PatchRootEntry("f.bin", [](std::uint8_t* entry) { FatStore32(entry + 28, 10u << 20); });
    Remount();
    int result = 0;
    const auto data = ReadUpTo("/f.bin", 10u << 20, &result);
    const std::uint32_t chain_bytes = static_cast<std::uint32_t>(file_chain.size()) * Volume().sectors_per_cluster * 512;
    EXPECT_EQ(result, static_cast<int>(chain_bytes));
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + kFileBytes), Pattern(kFileBytes));
}

TEST_P(EngineDamage, file_chain_loops) {
    PatchFat(file_chain.back(), file_chain.front());
    PatchRootEntry("f.bin", [](std::uint8_t* entry) { FatStore32(entry + 28, 10u << 20); });
    Remount();
    int result = 0;
    ReadUpTo("/f.bin", 10u << 20, &result);
    const std::uint32_t chain_bytes = static_cast<std::uint32_t>(file_chain.size()) * Volume().sectors_per_cluster * 512;
    EXPECT_GE(result, static_cast<int>(chain_bytes));
    EXPECT_LE(result, static_cast<int>(4 * chain_bytes));
    EXPECT_GT(Volume().damage_count, 0u);
}

// A file may grow to 4 GiB - 1 bytes and no further: the position and the
// size never wrap. 64 KiB clusters let a sparse image hold such a chain.
class EngineLargestFile : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }
};

TEST_F(EngineLargestFile, WritesStopAtFourGibibytesLessOne) {
    image = ScratchDir() + "/v.img";
    MakeFatImage(image, 4300000000ull, "-F 32 -s 128");
    ASSERT_EQ(Mount(image), kFatMountOk);
    ASSERT_TRUE(WriteWhole("/big", {1}));
    FatEntryInfo info;
    ASSERT_EQ(FatLookupEntry("/big", &info), 1);
    // Link a contiguous chain of 65536 clusters and claim the size it holds.
    const std::uint32_t clusters = 65536, first = info.first_cluster;
    ASSERT_LE(first + clusters - 1, Volume().cluster_count + 1);
    for (std::uint32_t i = 0; i + 1 < clusters; ++i) ASSERT_EQ(FatSetClusterEntry(Volume(), first + i, first + i + 1), 1);
    ASSERT_EQ(FatSetClusterEntry(Volume(), first + clusters - 1, kFatEndOfChain), 1);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    const std::uint8_t big_name[] = "BIG        ";
    ASSERT_EQ(FatSetEntrySize(Volume(), Volume().root_cluster, big_name, 0xFFFFFFF0u), 1);
    Remount();

    FatFile* file = FatOpenFile("ab", "/big");
    ASSERT_NE(file, nullptr);
    const auto data = Pattern(100);
    EXPECT_EQ(FatWriteFile(file, data.data(), 100), 15);
    EXPECT_EQ(file->size, 0xFFFFFFFFu);
    EXPECT_EQ(file->position, 0xFFFFFFFFu);
    EXPECT_EQ(FatWriteFile(file, data.data(), 100), 0);
    FatCloseFile(file);

    file = FatOpenFile("rb", "/big");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size, 0xFFFFFFFFu);
    file->position = 0xFFFFFFF0u;
    std::uint8_t back[100];
    EXPECT_EQ(FatReadFile(file, 100, back), 15);
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 15), std::vector<std::uint8_t>(data.begin(), data.begin() + 15));
    FatCloseFile(file);
    // fsck.fat measures a chain of 2^32 bytes in 32 bits and sees 0, so the
    // check runs once the file is gone again.
    EXPECT_EQ(FatDeleteFile("/big"), 0);
    ExpectFsckClean();
}

}  // namespace
