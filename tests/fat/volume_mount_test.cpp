#include <gtest/gtest.h>

#include <regex>

#include "fat/boot_sector.h"
#include "fat/volume.h"
#include "fat/volume_fixture.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

const char kFailureLine[] = "FAT_FS: Error could not load FAT details";

// What fsck.fat -v reports of a volume, to compare our mount with.
struct FsckGeometry {
    std::uint32_t reserved = 0, fat_sectors = 0, clusters = 0, cluster_bytes = 0, fats = 0;
};

FsckGeometry ReadFsckGeometry(const std::string& image) {
    RunResult r = Run("fsck.fat -n -v " + Quote(image));
    FsckGeometry g;
    std::smatch m;
    auto find = [&](const char* pattern) {
        EXPECT_TRUE(std::regex_search(r.out, m, std::regex(pattern))) << pattern << "\n" << r.out;
        return static_cast<std::uint32_t>(std::stoul(m[1]));
    };
    g.reserved = find(R"((\d+) reserved sectors)");
    g.fat_sectors = find(R"(bytes per FAT \(= (\d+) sectors\))");
    g.clusters = find(R"((\d+) data clusters)");
    g.cluster_bytes = find(R"((\d+) bytes per cluster)");
    g.fats = find(R"((\d+) FATs)");
    return g;
}

struct MkfsCase {
    const char* name;
    std::uint64_t bytes;
    const char* options;
    bool fat32;
};

class MountMkfsImage : public VolumeFixture, public ::testing::WithParamInterface<MkfsCase> {};

TEST_P(MountMkfsImage, GeometryMatchesFsck) {
    const MkfsCase& c = GetParam();
    std::string image = ScratchDir() + "/v.img";
    MakeFatImage(image, c.bytes, c.options);
    ASSERT_EQ(Mount(image), kFatMountOk);
    const FatVolume& v = Volume();
    const FsckGeometry g = ReadFsckGeometry(image);
    EXPECT_EQ(v.is_fat32, c.fat32 ? 1u : 0u);
    EXPECT_EQ(v.volume_start, 0u);
    EXPECT_EQ(v.reserved_sectors, g.reserved);
    EXPECT_EQ(v.fat_size, g.fat_sectors);
    EXPECT_EQ(v.fat_count, g.fats);
    EXPECT_EQ(v.cluster_count, g.clusters);
    EXPECT_EQ(v.sectors_per_cluster * 512u, g.cluster_bytes);
    EXPECT_EQ(v.root_cluster, c.fat32 ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, MountMkfsImage,
                         ::testing::Values(MkfsCase{"fat16_small", 16u << 20, "-F 16", false},
                                           MkfsCase{"fat16_64m", 64u << 20, "-F 16 -f 1", false},
                                           MkfsCase{"fat32_300m", 300u << 20, "-F 32", true},
                                           MkfsCase{"fat32_s1", 40u << 20, "-F 32 -s 1", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sector 0 as a partition table whose first entry has the given type.
void WritePartitionTable(const std::string& image, std::uint8_t type, std::uint32_t start) {
    std::vector<std::uint8_t> mbr(512, 0);
    mbr[fatlayout::kFirstPartitionType] = type;
    FatStore32(&mbr[fatlayout::kFirstPartitionStart], start);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    WriteSector(image, 0, mbr);
}

class MountBehindPartitionTable : public VolumeFixture, public ::testing::WithParamInterface<int> {};

TEST_P(MountBehindPartitionTable, UsesTheFirstEntrysStart) {
    std::string image = ScratchDir() + "/p.img";
    MakeEmptyImage(image, 40u << 20);
    ASSERT_EQ(testsupport::Run("mkfs.fat -F 16 --offset 2048 " + Quote(image) + " 39000").exit_code, 0);
    WritePartitionTable(image, static_cast<std::uint8_t>(GetParam()), 2048);
    ASSERT_EQ(Mount(image), kFatMountOk);
    EXPECT_EQ(Volume().volume_start, 2048u);
    EXPECT_EQ(Volume().fat_start, 2048u + Volume().reserved_sectors);
}

INSTANTIATE_TEST_SUITE_P(Types, MountBehindPartitionTable, ::testing::Values(0x06, 0x0B, 0x0C, 0x0E));

TEST_F(VolumeFixture, OtherPartitionTypesMakeSectorZeroTheBootSector) {
    std::string image = ScratchDir() + "/s.img";
    MakeFatImage(image, 16u << 20, "-F 16");
    for (std::uint8_t type : {0x00, 0x07, 0x83}) {
        auto boot = ReadSector(image, 0);
        boot[fatlayout::kFirstPartitionType] = type;
        WriteSector(image, 0, boot);
        EXPECT_EQ(Mount(image), kFatMountOk) << int{type};
        EXPECT_EQ(Volume().volume_start, 0u);
    }
}

// A synthetic boot sector with chosen geometry: only sector 0 is read at mount.
struct BootGeometry {
    std::uint16_t bytes_per_sector = 512;
    std::uint8_t sectors_per_cluster = 1;
    std::uint16_t reserved = 1;
    std::uint8_t fats = 1;
    std::uint16_t root_entries = 512;
    std::uint32_t total = 0;
    std::uint32_t fat_size = 0;
    std::uint32_t root_cluster = 2;
    bool signature = true;
};

std::vector<std::uint8_t> BootSectorBytes(const BootGeometry& g) {
    using namespace fatlayout;
    std::vector<std::uint8_t> s(512, 0);
    FatStore16(&s[kBytesPerSector], g.bytes_per_sector);
    s[kSectorsPerCluster] = g.sectors_per_cluster;
    FatStore16(&s[kReservedSectors], g.reserved);
    s[kFatCount] = g.fats;
    FatStore16(&s[kRootEntryCount], g.root_entries);
    FatStore32(&s[kTotalSectors32], g.total);
    if (g.root_entries)
        FatStore16(&s[kFatSize16], static_cast<std::uint16_t>(g.fat_size));
    else
        FatStore32(&s[kFatSize32], g.fat_size);
    FatStore32(&s[kRootCluster], g.root_cluster);
    if (g.signature) {
        s[510] = 0x55;
        s[511] = 0xAA;
    }
    return s;
}

// The FAT size a cluster count needs, and the total sectors that give it.
BootGeometry GeometryForClusters(std::uint32_t clusters, bool fat32) {
    BootGeometry g;
    g.root_entries = fat32 ? 0 : 512;
    const std::uint32_t per_sector = fat32 ? 128 : 256;
    g.fat_size = (clusters + 2 + per_sector - 1) / per_sector;
    g.total = g.reserved + g.fats * g.fat_size + (g.root_entries * 32 / 512) + clusters;
    return g;
}

class SyntheticMount : public VolumeFixture {
protected:
    int MountBytes(const std::vector<std::uint8_t>& sector0,
                   const std::vector<std::uint8_t>* boot_at_100 = nullptr) {
        std::string image = ScratchDir() + "/b.img";
        MakeEmptyImage(image, 200 * 512);
        WriteSector(image, 0, sector0);
        if (boot_at_100) WriteSector(image, 100, *boot_at_100);
        return Mount(image);
    }
};

TEST_F(SyntheticMount, ClusterCountBoundaries) {
    struct Case {
        std::uint32_t clusters;
        bool fat32_layout;
        int code;
        std::uint32_t is_fat32;
    } cases[] = {
        {65524, false, kFatMountOk, 0}, {65525, true, kFatMountOk, 1},
        {4085, false, kFatMountOk, 0},  {4084, false, kFatMountBadGeometry, 0},
        {65525, false, kFatMountBadGeometry, 1},  // a FAT16 layout cannot hold 65525 clusters
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MountBytes(BootSectorBytes(GeometryForClusters(c.clusters, c.fat32_layout))), c.code)
            << c.clusters;
        if (c.code == kFatMountOk) {
            EXPECT_EQ(Volume().cluster_count, c.clusters);
            EXPECT_EQ(Volume().is_fat32, c.is_fat32);
        }
    }
}

TEST_F(SyntheticMount, FailureCodes) {
    BootGeometry good = GeometryForClusters(5000, false);
    struct Case {
        const char* what;
        BootGeometry geometry;
        int code;
    };
    std::vector<Case> cases;
    auto with = [&](const char* what, int code, auto change) {
        BootGeometry g = good;
        change(g);
        cases.push_back({what, g, code});
    };
    with("4096 bytes per sector", kFatMountBadSectorSize, [](auto& g) { g.bytes_per_sector = 4096; });
    with("no signature", kFatMountNoSignature, [](auto& g) { g.signature = false; });
    with("no cluster size", kFatMountNoClusterSize, [](auto& g) { g.sectors_per_cluster = 0; });
    with("zero FATs", kFatMountBadGeometry, [](auto& g) { g.fats = 0; });
    with("zero reserved", kFatMountBadGeometry, [](auto& g) { g.reserved = 0; });
    with("data past the end", kFatMountBadGeometry, [](auto& g) { g.total = g.reserved + g.fat_size; });
    with("FAT too small", kFatMountBadGeometry, [](auto& g) { g.fat_size = 2; });
    with("FAT12", kFatMountBadGeometry, [](auto& g) { g.total = g.reserved + g.fat_size + 32 + 4000; });
    for (const auto& c : cases) EXPECT_EQ(MountBytes(BootSectorBytes(c.geometry)), c.code) << c.what;

    BootGeometry fat32 = GeometryForClusters(70000, true);
    fat32.root_cluster = 70002;  // one past the last data cluster
    EXPECT_EQ(MountBytes(BootSectorBytes(fat32)), kFatMountBadGeometry);
}

TEST_F(SyntheticMount, SizeTestComesBeforeTheSignatureBehindAPartitionTable) {
    std::vector<std::uint8_t> mbr(512, 0);
    mbr[fatlayout::kFirstPartitionType] = 0x06;
    FatStore32(&mbr[fatlayout::kFirstPartitionStart], 100);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    BootGeometry g = GeometryForClusters(5000, false);
    g.bytes_per_sector = 4096;
    g.signature = false;
    auto boot = BootSectorBytes(g);
    EXPECT_EQ(MountBytes(mbr, &boot), kFatMountBadSectorSize);
    g.bytes_per_sector = 512;
    boot = BootSectorBytes(g);
    EXPECT_EQ(MountBytes(mbr, &boot), kFatMountNoSignature);
}

TEST_F(VolumeFixture, UnreadableMediumGivesMinusOne) {
    std::string image = ScratchDir() + "/empty.img";
    MakeEmptyImage(image, 0);
    EXPECT_EQ(Mount(image), kFatMountReadFailed);
    AttachImage(ScratchDir() + "/missing.img");
    EXPECT_EQ(FatMountMedia(), kFatMountReadFailed);
}

TEST_F(SyntheticMount, FailedMountPrintsOneLineAndKeepsTheMountedFlag) {
    ASSERT_EQ(MountBytes(BootSectorBytes(GeometryForClusters(5000, false))), kFatMountOk);
    ASSERT_TRUE(FatIsMounted());
    BootGeometry bad = GeometryForClusters(5000, false);
    bad.signature = false;
    ::testing::internal::CaptureStdout();
    const int code = MountBytes(BootSectorBytes(bad));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, kFatMountNoSignature);
    EXPECT_EQ(out, std::string(kFailureLine) + " (-3)!\r\n");
    EXPECT_TRUE(FatIsMounted());
}

TEST_F(VolumeFixture, MountsAtTheHiddenVolumeStart) {
    std::string image = ScratchDir() + "/camera.img";
    MakeEmptyImage(image, 0x8000000ull + (40u << 20));
    ASSERT_EQ(testsupport::Run("mkfs.fat -F 16 --offset 262144 " + Quote(image) + " 40000").exit_code, 0);
    ASSERT_EQ(Mount(image, "0x40000"), kFatMountOk);
    EXPECT_EQ(Volume().volume_start, 0u);  // relative to the start sector
    ASSERT_EQ(Mount(image, "0"), kFatMountNoSignature);
}

TEST(ClusterMapping, Fat16StepsOverTheFixedRoot) {
    FatVolume v{};
    v.first_data_sector = 100;
    v.sectors_per_cluster = 4;
    v.root_entry_count = 500;  // no multiple of 16: the root still takes 32 whole sectors
    v.root_dir_sectors = 32;
    v.volume_start = 10;
    v.root_dir_offset = 90;
    EXPECT_EQ(FatClusterToSector(v, 2), 132u);
    EXPECT_EQ(FatClusterToSector(v, 3), 136u);
    EXPECT_EQ(FatClusterToSector(v, 0), 100u);
    v.is_fat32 = 1;
    EXPECT_EQ(FatClusterToSector(v, 2), 100u);
}

}  // namespace
