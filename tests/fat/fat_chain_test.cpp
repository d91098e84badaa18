#include <gtest/gtest.h>

#include "fat/boot_sector.h"
#include "fat/fat_table.h"
#include "fat/volume_fixture.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

// Each test works on a fresh mkfs.fat image. Clusters allocated without a
// directory entry would be lost clusters to fsck.fat, so every test frees
// what it allocated before the final check; fsck then also proves that the
// FAT copies agree and the FSInfo sector is acceptable.
class FatChainTest : public VolumeFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        image = ScratchDir() + "/v.img";
        if (GetParam())
            MakeFatImage(image, 300u << 20, "-F 32");
        else
            MakeFatImage(image, 32u << 20, "-F 16");
        ASSERT_EQ(Mount(image), kFatMountOk);
        ASSERT_EQ(Volume().is_fat32, GetParam() ? 1u : 0u);
    }

    std::uint32_t Allocate() {
        std::uint32_t c = 0;
        EXPECT_EQ(FatAllocateCluster(Volume(), &c), 1);
        return c;
    }

    // The raw entry of a cluster in FAT copy `copy`, read from the image.
    std::uint32_t RawEntry(std::uint32_t cluster, int copy = 0) {
        const FatVolume& v = Volume();
        const std::uint32_t per = v.is_fat32 ? 128 : 256;
        auto sector = ReadSector(image, v.first_fat_sector + copy * v.fat_size + cluster / per);
        const std::uint8_t* p = &sector[(cluster % per) * (v.is_fat32 ? 4 : 2)];
        return v.is_fat32 ? FatLoad32(p) : FatLoad16(p);
    }

    void ExpectFsckClean() {
        ASSERT_EQ(FatFlushCache(Volume()), 1);
        RunResult r = Fsck(image);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    std::uint32_t FirstFree() { return GetParam() ? 3 : 2; }  // FAT32 root takes cluster 2

    std::string image;
};

TEST_P(FatChainTest, FirstFitOrderAndReuseOfAFreedCluster) {
    const std::uint32_t a = Allocate(), b = Allocate();
    EXPECT_EQ(a, FirstFree());
    EXPECT_EQ(b, FirstFree() + 1);
    FatFreeChain(Volume(), a);
    EXPECT_EQ(Allocate(), a);
    const std::uint32_t c = Allocate();
    EXPECT_EQ(c, FirstFree() + 2);
    for (std::uint32_t x : {a, b, c}) FatFreeChain(Volume(), x);
    ExpectFsckClean();
}

TEST_P(FatChainTest, ChainsAreWrittenToEveryFatCopyAndEndWithAllBitsSet) {
    std::uint32_t head = Allocate();
    std::uint32_t tail = head;
    ASSERT_EQ(FatExtendChain(Volume(), &tail, 3), 1);
    EXPECT_EQ(tail, head + 1);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    const std::uint32_t end = GetParam() ? 0xFFFFFFFFu : 0xFFFFu;
    for (int copy = 0; copy < 2; ++copy) {
        EXPECT_EQ(RawEntry(head, copy), head + 1);
        EXPECT_EQ(RawEntry(head + 2, copy), head + 3);
        EXPECT_EQ(RawEntry(head + 3, copy), end);
    }
    // Walking the chain finds all four clusters, then the end.
    std::uint32_t walked = 0;
    for (std::uint32_t c = head; c != kFatEndOfChain; c = FatNextCluster(Volume(), c)) ++walked;
    EXPECT_EQ(walked, 4u);

    FatFreeChain(Volume(), head);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    for (int copy = 0; copy < 2; ++copy)
        for (std::uint32_t c = head; c < head + 4; ++c) EXPECT_EQ(RawEntry(c, copy), 0u);
    ExpectFsckClean();
}

TEST_P(FatChainTest, AppendLinksAChosenCluster) {
    std::uint32_t head = Allocate();
    std::uint32_t chosen;
    ASSERT_EQ(FatFindFreeCluster(Volume(), 0, &chosen), 1);
    ASSERT_EQ(FatAppendCluster(Volume(), head, chosen), 1);
    EXPECT_EQ(FatNextCluster(Volume(), head), chosen);
    EXPECT_EQ(FatNextCluster(Volume(), chosen), kFatEndOfChain);
    EXPECT_EQ(FatAppendCluster(Volume(), kFatEndOfChain, chosen), 0);
    FatFreeChain(Volume(), head);
    ExpectFsckClean();
}

TEST_P(FatChainTest, ExtendWithTooFewFreeClustersLinksWhatThereIs) {
    std::vector<std::uint32_t> all;
    std::uint32_t c;
    while (FatAllocateCluster(Volume(), &c)) all.push_back(c);
    EXPECT_EQ(all.size(), Volume().cluster_count - (GetParam() ? 1 : 0));
    EXPECT_EQ(all.back(), Volume().cluster_count + 1);  // never past the last data cluster
    const std::uint32_t last_free = all.back();
    FatSetClusterEntry(Volume(), last_free, kFatFree);
    std::uint32_t tail = all.front();
    EXPECT_EQ(FatExtendChain(Volume(), &tail, 2), 0);
    EXPECT_EQ(FatNextCluster(Volume(), all.front()), last_free);
    EXPECT_EQ(FatNextCluster(Volume(), last_free), kFatEndOfChain);
    for (std::uint32_t x : all)
        if (x != last_free) FatFreeChain(Volume(), x);
    ExpectFsckClean();
}

TEST_P(FatChainTest, ClusterZeroReadsAsClusterTwo) {
    EXPECT_EQ(FatNextCluster(Volume(), 0), FatNextCluster(Volume(), 2));
}

TEST_P(FatChainTest, ForeignEndOfChainValuesEndTheChain) {
    std::uint32_t head = Allocate();
    std::uint32_t tail = head;
    ASSERT_EQ(FatExtendChain(Volume(), &tail, 1), 1);
    const std::vector<std::uint32_t> ends = GetParam()
        ? std::vector<std::uint32_t>{0x0FFFFFFF, 0xFFFFFFF8, 0x0FFFFFF8}
        : std::vector<std::uint32_t>{0xFFFF, 0xFFF8};
    for (std::uint32_t end : ends) {
        ASSERT_EQ(FatSetClusterEntry(Volume(), tail, end), 1);
        EXPECT_EQ(FatNextCluster(Volume(), head), tail);
        EXPECT_EQ(FatNextCluster(Volume(), tail), kFatEndOfChain) << std::hex << end;
    }
    FatFreeChain(Volume(), head);
    ExpectFsckClean();
}

TEST_P(FatChainTest, DamagedChainsEndInsteadOfHanging) {
    std::uint32_t a = Allocate(), b = Allocate();
    // circular_chain: a -> b -> a
    FatSetClusterEntry(Volume(), a, b);
    FatSetClusterEntry(Volume(), b, a);
    std::uint32_t extra;
    ASSERT_EQ(FatFindFreeCluster(Volume(), 0, &extra), 1);
    EXPECT_EQ(FatAppendCluster(Volume(), a, extra), 0);
    EXPECT_GT(Volume().damage_count, 0u);
    EXPECT_EQ(FatFreeChain(Volume(), a), 1);
    EXPECT_EQ(FatNextCluster(Volume(), a), kFatFree);
    EXPECT_EQ(FatNextCluster(Volume(), b), kFatFree);

    // chain_leaves_volume: a value past the last data cluster ends the chain.
    a = Allocate();
    const std::uint32_t outside = Volume().cluster_count + 2;
    FatSetClusterEntry(Volume(), a, outside);
    EXPECT_EQ(FatNextCluster(Volume(), a), kFatEndOfChain);
    EXPECT_EQ(FatNextCluster(Volume(), outside), kFatEndOfChain);
    EXPECT_EQ(FatSetClusterEntry(Volume(), outside, 0), 0);  // never written
    FatSetClusterEntry(Volume(), a, kFatEndOfChain);
    FatFreeChain(Volume(), a);
    ExpectFsckClean();
}

INSTANTIATE_TEST_SUITE_P(Fat, FatChainTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FAT32" : "FAT16"; });

// The writes that reach the medium show the FSInfo sector written once.
TEST_F(VolumeFixture, FsInfoIsInvalidatedOnceAMount) {
    std::string image = ScratchDir() + "/v.img";
    MakeFatImage(image, 300u << 20, "-F 32");
    AttachImage(image);
    CountingDevice* device = MountCounted();
    ASSERT_NE(device, nullptr);
    std::uint32_t fsinfo_writes = 0;
    const std::uint32_t fsinfo_sector = Volume().volume_start + Volume().fsinfo_sector;
    device->on_write = [&](std::uint32_t sector, std::uint32_t) { fsinfo_writes += sector == fsinfo_sector; };
    std::uint32_t a, b;
    ASSERT_EQ(FatAllocateCluster(Volume(), &a), 1);
    ASSERT_EQ(FatAllocateCluster(Volume(), &b), 1);
    EXPECT_EQ(fsinfo_writes, 1u);
    auto fsinfo = ReadSector(image, Volume().fsinfo_sector);
    EXPECT_EQ(FatLoad32(&fsinfo[fatlayout::kFsInfoNextFree]), 0xFFFFFFFFu);
    EXPECT_EQ(FatLoad32(&fsinfo[fatlayout::kFsInfoFreeCount]), 0xFFFFFFFFu);
    EXPECT_EQ(FatLoad32(&fsinfo[fatlayout::kFsInfoLead]), fatlayout::kFsInfoLeadSignature);
    FatFreeChain(Volume(), a);
    FatFreeChain(Volume(), b);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    EXPECT_EQ(Fsck(image).exit_code, 0);
}

TEST_F(VolumeFixture, MirroringOffWritesOnlyTheActiveFat) {
    std::string image = ScratchDir() + "/v.img";
    MakeFatImage(image, 300u << 20, "-F 32");
    auto boot = ReadSector(image, 0);
    FatStore16(&boot[fatlayout::kExtFlags], 0x81);  // mirroring off, FAT 1 active
    WriteSector(image, 0, boot);
    ASSERT_EQ(Mount(image), kFatMountOk);
    EXPECT_EQ(Volume().fat_start, Volume().first_fat_sector + Volume().fat_size);
    std::uint32_t a;
    ASSERT_EQ(FatAllocateCluster(Volume(), &a), 1);
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    auto copy0 = ReadSector(image, Volume().first_fat_sector);
    auto copy1 = ReadSector(image, Volume().first_fat_sector + Volume().fat_size);
    EXPECT_EQ(FatLoad32(&copy0[a * 4]), 0u);
    EXPECT_EQ(FatLoad32(&copy1[a * 4]), 0xFFFFFFFFu);
}

}  // namespace
