// The FAT cache works in windows of neighbouring sectors: a file whose
// clusters lie in every FAT sector of a volume whose FAT is larger than the
// cache must still get its whole chain, identical FAT copies, and few FAT
// transfers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fat/counting_device.h"
#include "fat/engine.h"
#include "fat/engine_fixture.h"
#include "fat/fat_table.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kClustersPerFatSector = 128;  // FAT32

class FatCache : public EngineFixture {
protected:
    // FAT32 with 512-byte clusters: about 2,500 FAT sectors, more than the
    // cache's windows hold.
    void MountLargeFat() {
        image = ScratchDir() + "/large-fat.img";
        MakeFatImage(image, 160u << 20, "-F 32 -s 1");
        MountImage(image);
        ASSERT_GT(Volume().fat_size, kFatCacheWindows * kFatWindowSectors);
    }
    // Leaves one free cluster in each FAT sector: every other one is taken
    // (marked end of chain directly: the test needs the layout, not files).
    void KeepOneHolePerFatSector() {
        const std::uint32_t end = Volume().cluster_count + 2;
        for (std::uint32_t c = 3; c < end; ++c) {
            if (c % kClustersPerFatSector != 0) {
                ASSERT_EQ(FatSetClusterEntry(Volume(), c, kFatEndOfChain), 1);
            }
        }
        ASSERT_EQ(FatFlushCache(Volume()), 1);
    }
    std::vector<std::uint8_t> FatCopy(std::uint32_t copy) {
        const FatVolume& v = Volume();
        const std::vector<std::uint8_t> bytes = ReadFileBytes(image);
        const std::size_t first = std::size_t{v.first_fat_sector + copy * v.fat_size} * 512;
        return {bytes.begin() + first, bytes.begin() + first + std::size_t{v.fat_size} * 512};
    }
    bool InFat(std::uint32_t sector, std::uint32_t count) {
        const FatVolume& v = Volume();
        const std::uint32_t fats_end = v.first_fat_sector + v.fat_count * v.fat_size;
        return sector < fats_end && sector + count > v.first_fat_sector;
    }
};

TEST_F(FatCache, AChainThroughEveryFatSectorOfAFatLargerThanTheCache) {
    MountLargeFat();
    KeepOneHolePerFatSector();
    CountingDevice* device = MountCounted();
    ASSERT_NE(device, nullptr);
    std::uint32_t fat_writes = 0, fat_sectors_written = 0;
    device->on_write = [&](std::uint32_t sector, std::uint32_t count) {
        if (!InFat(sector, count)) return;
        ++fat_writes;
        fat_sectors_written += count;
    };
    const std::uint32_t holes = Volume().cluster_count / kClustersPerFatSector - 1;
    const auto data = Pattern(holes * 512, 7);
    ASSERT_TRUE(WriteWhole("/spread.bin", data));

    FatEntryInfo info{};
    ASSERT_EQ(FatLookupEntry("/spread.bin", &info), 1);
    const auto chain = Chain(info.first_cluster);
    ASSERT_EQ(chain.size(), holes);
    for (std::size_t i = 0; i < chain.size(); ++i) ASSERT_EQ(chain[i], (i + 1) * kClustersPerFatSector) << i;
    // One sector changed per FAT sector, each written once per copy at
    // least; gathered into runs, not a transfer per sector and copy.
    EXPECT_GE(fat_sectors_written, 2 * holes);
    EXPECT_LT(fat_writes, 2 * holes / 8);

    Remount();
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/spread.bin", &back));
    EXPECT_EQ(back, data);
    EXPECT_EQ(FatCopy(0), FatCopy(1));
}

TEST_F(FatCache, FreeingAChainLargerThanTheCacheFreesEveryCluster) {
    MountLargeFat();
    std::uint32_t free_before = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_before), 1);
    // Half the volume: its chain crosses more windows than the cache holds.
    const auto data = Pattern(Volume().cluster_count / 2 * 512, 8);
    ASSERT_TRUE(WriteWhole("/half.bin", data));
    ASSERT_EQ(fat::DefaultVolume().Delete("/half.bin"), fat::Result::Ok);
    Remount();
    std::uint32_t free_after = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_after), 1);
    EXPECT_EQ(free_after, free_before);
    EXPECT_EQ(FatCopy(0), FatCopy(1));
    EXPECT_EQ(Fsck(image).exit_code, 0);
}

}  // namespace
