#include <gtest/gtest.h>

#include <random>

#include "fat/boot_sector.h"
#include "fat/fat_table.h"
#include "fat/format.h"
#include "fat/volume.h"
#include "fat/volume_fixture.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
// The smallest sizes that reach the cluster counts of each type with one
// sector per cluster: one byte less is refused (see the refusal table).
constexpr std::uint64_t kSmallestFat16 = 2125824;
constexpr std::uint64_t kSmallestFat32 = 34098688;
constexpr std::uint64_t kLargestFat16 = 4294573568;

struct FormatCase {
    const char* name;
    std::uint64_t bytes;
    bool fat32;
    const char* label;
    unsigned forced_cluster_size;
    std::uint32_t start;
    unsigned expected_cluster_size;
};

std::ostream& operator<<(std::ostream& out, const FormatCase& c) { return out << c.name; }

const FormatCase kFormatCases[] = {
    {"fat16_smallest", kSmallestFat16, false, "", 0, 0, 1},
    {"fat16_64m_labelled_at_camera_start", 64 * kMiB, false, "Quillon", 0, 0x40000, 4},
    {"fat16_forced_512_byte_clusters", 30 * kMiB, false, "", 1, 0, 1},
    {"fat16_largest", kLargestFat16, false, "BIG", 0, 0, 128},
    {"fat32_smallest", kSmallestFat32, true, "", 0, 0, 1},
    {"fat32_100m_labelled_at_camera_start", 100 * kMiB, true, "qx data", 0, 0x40000, 1},
    {"fat32_1g_default_clusters", 1024 * kMiB, true, "", 0, 0, 8},
    {"fat32_forced_64_sector_clusters", 5000 * kMiB, true, "", 64, 0, 64},
    {"fat32_forced_1_sector_clusters", 300 * kMiB, true, "ONE", 1, 0, 1},
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string MtoolsImage(const std::string& image, std::uint32_t start) {
    return Quote(image + "@@" + std::to_string(std::uint64_t{start} * 512));
}

RunResult Mtools(const std::string& command) { return Run("MTOOLS_SKIP_CHECK=1 " + command); }

class FormatVolume : public VolumeFixture, public ::testing::WithParamInterface<FormatCase> {
protected:
    // Formats a new sparse image that ends where the volume ends.
    FatFormatLayout Format(const std::string& image) {
        const FormatCase& c = GetParam();
        MakeEmptyImage(image, std::uint64_t{c.start} * 512 + c.bytes);
        AttachImage(image, std::to_string(c.start));
        FatFormatOptions options;
        options.size_bytes = c.bytes;
        options.fat32 = c.fat32;
        options.label = c.label;
        options.sectors_per_cluster = c.forced_cluster_size;
        FatFormatLayout layout{};
        std::string error;
        EXPECT_EQ(FatPlanVolume(options, &layout, &error), 1) << error;
        EXPECT_EQ(FatFormatVolume(options, *OpenImageDevice(), &error), 1) << error;
        return layout;
    }
};

TEST_P(FormatVolume, PassesFsckMountsAndTakesFilesFromMtools) {
    const FormatCase& c = GetParam();
    const std::string dir = ScratchDir();
    const std::string image = dir + "/v.img";
    const FatFormatLayout layout = Format(image);

    RunResult fsck = Fsck(image, std::uint64_t{c.start} * 512);
    EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;

    RunResult listing = Mtools("mdir -i " + MtoolsImage(image, c.start) + " ::/");
    EXPECT_EQ(listing.exit_code, 0) << listing.out << listing.err;
    if (*c.label) {
        EXPECT_NE(listing.out.find("is " + Upper(c.label)), std::string::npos) << listing.out;
    }

    ASSERT_EQ(Mount(image, std::to_string(c.start)), kFatMountOk);
    FatVolume& v = Volume();
    EXPECT_EQ(v.is_fat32, c.fat32 ? 1u : 0u);
    EXPECT_EQ(v.sectors_per_cluster, c.expected_cluster_size);
    EXPECT_EQ(v.cluster_count, layout.cluster_count);
    EXPECT_EQ(v.fat_count, 2u);
    EXPECT_EQ(v.total_sectors, c.bytes / 512);
    EXPECT_EQ((v.root_dir_offset + v.root_dir_sectors) % v.sectors_per_cluster, 0u)
        << "clusters start on a cluster boundary";
    std::uint32_t free_before = 0;
    ASSERT_EQ(FatCountFreeClusters(v, &free_before), 1);
    EXPECT_EQ(free_before, layout.cluster_count - (c.fat32 ? 1 : 0));

    std::vector<std::uint8_t> content(70000);
    std::mt19937 random(7);
    for (auto& byte : content) byte = static_cast<std::uint8_t>(random());
    WriteFileBytes(dir + "/in.bin", content);
    RunResult put = Mtools("mcopy -i " + MtoolsImage(image, c.start) + " " + Quote(dir + "/in.bin") + " ::/DATA.BIN");
    ASSERT_EQ(put.exit_code, 0) << put.err;
    RunResult get = Mtools("mcopy -i " + MtoolsImage(image, c.start) + " ::/DATA.BIN " + Quote(dir + "/out.bin"));
    ASSERT_EQ(get.exit_code, 0) << get.err;
    EXPECT_EQ(ReadFileBytes(dir + "/out.bin"), content);

    ASSERT_EQ(Mount(image, std::to_string(c.start)), kFatMountOk);
    std::uint32_t free_after = 0;
    ASSERT_EQ(FatCountFreeClusters(Volume(), &free_after), 1);
    const std::uint32_t cluster_bytes = c.expected_cluster_size * 512;
    EXPECT_EQ(free_before - free_after, (content.size() + cluster_bytes - 1) / cluster_bytes);
    fsck = Fsck(image, std::uint64_t{c.start} * 512);
    EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
}

INSTANTIATE_TEST_SUITE_P(Sizes, FormatVolume, ::testing::ValuesIn(kFormatCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The FAT32 extras a reader checks: FSInfo with the right counts, and the
// backup boot sector and FSInfo copy.
class FormatFat32 : public VolumeFixture {};

TEST_F(FormatFat32, WritesFsInfoAndBackupBootSector) {
    const std::string image = ScratchDir() + "/v.img";
    MakeEmptyImage(image, 64 * kMiB);
    AttachImage(image);
    FatFormatOptions options;
    options.size_bytes = 64 * kMiB;
    options.fat32 = true;
    FatFormatLayout layout{};
    std::string error;
    ASSERT_EQ(FatPlanVolume(options, &layout, &error), 1) << error;
    ASSERT_EQ(FatFormatVolume(options, MediaWrite, &error), 1) << error;
    const auto boot = ReadSector(image, 0);
    const auto fsinfo = ReadSector(image, 1);
    EXPECT_EQ(ReadSector(image, 6), boot);
    EXPECT_EQ(ReadSector(image, 7), fsinfo);
    EXPECT_EQ(FatLoad32(&fsinfo[0]), 0x41615252u);
    EXPECT_EQ(FatLoad32(&fsinfo[488]), layout.cluster_count - 1);
    EXPECT_EQ(FatLoad32(&fsinfo[492]), 3u);
    EXPECT_EQ(FatLoad32(&fsinfo[508]), 0xAA550000u);
}

struct RefusalCase {
    const char* name;
    std::uint64_t bytes;
    bool fat32;
    unsigned forced_cluster_size;
    const char* label;
    const char* error_part;
};

std::ostream& operator<<(std::ostream& out, const RefusalCase& c) { return out << c.name; }

const RefusalCase kRefusalCases[] = {
    {"fat16_one_byte_short", kSmallestFat16 - 1, false, 0, "",
     "too small for FAT16 with 1 sector per cluster (at least 4085 clusters); needs at least 2125824 bytes"},
    {"fat32_one_byte_short", kSmallestFat32 - 1, true, 0, "",
     "too small for FAT32 with 1 sector per cluster (at least 65525 clusters); needs at least 34098688 bytes"},
    {"fat16_beyond_largest", kLargestFat16 + 65536, false, 0, "",
     "too large for FAT16 with 128 sectors per cluster (at most 65524 clusters); holds at most 4294573568 bytes"},
    {"fat32_cluster_size_too_big_for_size", 200 * kMiB, true, 8, "",
     "too small for FAT32 with 8 sectors per cluster"},
    {"fat16_cluster_size_too_small_for_size", 64 * kMiB, false, 1, "", "too large for FAT16 with 1 sector"},
    {"empty", 0, false, 0, "", "too small for FAT16"},
    {"beyond_32_bit_sectors", 0x20000000000ull, true, 0, "", "at most 4294967295 sectors"},
    {"cluster_size_not_power_of_two", 64 * kMiB, false, 3, "", "power of two"},
    {"cluster_size_too_big", 64 * kMiB, false, 256, "", "power of two"},
    {"label_too_long", 64 * kMiB, false, 0, "ABCDEFGHIJKL", "longer than 11"},
    {"label_with_dot", 64 * kMiB, false, 0, "A.B", "cannot hold"},
    {"label_leading_space", 64 * kMiB, false, 0, " AB", "begins with a space"},
};

class FormatRefusal : public ::testing::TestWithParam<RefusalCase> {};

// Takes every write and remembers it, writing nothing.
class WriteRecorder : public fat::BlockDevice {
public:
    bool Read(std::uint32_t, std::uint8_t*, std::uint32_t) override { return false; }
    bool Write(std::uint32_t sector, const std::uint8_t*, std::uint32_t) override {
        ++writes;
        last_written = sector;
        return true;
    }
    int writes = 0;
    std::uint32_t last_written = 0;
};

TEST_P(FormatRefusal, NamesWhyAndWritesNothing) {
    const RefusalCase& c = GetParam();
    FatFormatOptions options;
    options.size_bytes = c.bytes;
    options.fat32 = c.fat32;
    options.sectors_per_cluster = c.forced_cluster_size;
    options.label = c.label;
    WriteRecorder device;
    std::string error;
    EXPECT_EQ(FatFormatVolume(options, device, &error), 0);
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(device.writes, 0);
}

INSTANTIATE_TEST_SUITE_P(Options, FormatRefusal, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

int FailingWrite(std::uint32_t, const std::uint8_t*, std::uint32_t) { return 0; }

// A run cut short must not leave a boot sector in front of half-made FATs.
TEST(FormatMedia, WritesTheBootSectorLast) {
    for (bool fat32 : {false, true}) {
        FatFormatOptions options;
        options.size_bytes = 64 * kMiB;
        options.fat32 = fat32;
        options.label = "LAST";
        WriteRecorder device;
        std::string error;
        ASSERT_EQ(FatFormatVolume(options, device, &error), 1) << error;
        EXPECT_GT(device.writes, 1);
        EXPECT_EQ(device.last_written, 0u);
    }
}

TEST(FormatMedia, ReportsAFailedWrite) {
    FatFormatOptions options;
    options.size_bytes = 64 * kMiB;
    std::string error;
    EXPECT_EQ(FatFormatVolume(options, FailingWrite, &error), 0);
    EXPECT_NE(error.find("write failed"), std::string::npos) << error;
}

}  // namespace
