#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kCameraStartByte = 0x40000ull * 512;

RunResult Format(const std::string& image, const std::string& arguments, const std::string& start = "") {
    return Cli("--image " + Quote(image) + (start.empty() ? "" : " --start " + start) + " format " + arguments);
}

nlohmann::json Info(const std::string& image, const std::string& start) {
    RunResult r = Cli("--image " + Quote(image) + " --start " + start + " info --json");
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

TEST(FormatCommand, CreatesASparseImageAtTheDefaultStart) {
    const std::string image = ScratchDir() + "/camera.img";
    RunResult r = Format(image, "--size 64M --fs fat16 --label CAM");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(fs::file_size(image), kCameraStartByte + 64 * kMiB);
    EXPECT_EQ(Fsck(image, kCameraStartByte).exit_code, 0);
    const nlohmann::json info = Info(image, "0x40000");
    EXPECT_EQ(info["type"], "FAT16");
    EXPECT_EQ(info["sectors_per_cluster"], 4);
    EXPECT_EQ(info["free_clusters"], info["cluster_count"]);
}

// Formatting never shrinks an image, and leaves what lies beyond the volume
// alone; an old volume at the same place is gone afterwards.
TEST(FormatCommand, ReformatsInPlaceWithoutShrinkingTheImage) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/disk.img";
    const std::uint64_t image_bytes = 80 * kMiB;
    MakeFatImage(image, image_bytes, "-F 32");
    WriteFileBytes(dir + "/old.txt", {'o', 'l', 'd'});
    ASSERT_EQ(testsupport::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " + Quote(dir + "/old.txt") + " ::/").exit_code, 0);
    const std::vector<std::uint8_t> marker(512, 0x5A);
    const std::uint64_t beyond_sector = 76 * kMiB / 512;
    WriteSector(image, beyond_sector, marker);

    RunResult r = Format(image, "--size 72M --fs fat32 --sectors-per-cluster 1", "0");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(fs::file_size(image), image_bytes);
    EXPECT_EQ(ReadSector(image, beyond_sector), marker);
    EXPECT_EQ(Fsck(image).exit_code, 0);
    RunResult listing = testsupport::Run("MTOOLS_SKIP_CHECK=1 mdir -b -i " + Quote(image) + " ::/");
    EXPECT_EQ(listing.exit_code, 0) << listing.err;
    EXPECT_EQ(listing.out.find("OLD"), std::string::npos) << listing.out;
    const nlohmann::json info = Info(image, "0");
    EXPECT_EQ(info["type"], "FAT32");
    EXPECT_EQ(info["sectors_per_cluster"], 1);
}

struct CommandCase {
    const char* name;
    const char* arguments;
    int exit_code;
    const char* message_part;
};

std::ostream& operator<<(std::ostream& out, const CommandCase& c) { return out << c.name; }

const CommandCase kRefusals[] = {
    {"missing_size", "--fs fat16", 2, "needs --size"},
    {"missing_type", "--size 64M", 2, "needs --fs"},
    {"size_not_a_number", "--size lots --fs fat16", 2, "--size needs a number"},
    {"size_with_unknown_suffix", "--size 64X --fs fat16", 2, "--size needs a number"},
    {"size_overflowing", "--size 99999999999999999999 --fs fat16", 2, "--size needs a number"},
    {"unknown_type", "--size 64M --fs ntfs", 2, "fat16 or fat32"},
    {"cluster_size_not_power_of_two", "--size 64M --fs fat16 --sectors-per-cluster 6", 2, "power of two"},
    {"cluster_size_not_a_number", "--size 64M --fs fat16 --sectors-per-cluster 4k", 2, "power of two"},
    {"label_too_long", "--size 64M --fs fat16 --label TWELVE_CHARS", 2, "longer than 11"},
    {"unknown_option", "--size 64M --fs fat16 --quick", 2, "unknown option --quick"},
    {"option_without_value", "--size 64M --fs", 2, "needs a value"},
    {"stray_argument", "--size 64M --fs fat16 now", 2, "no arguments"},
    {"too_small_for_fat16", "--size 2M --fs fat16", 1, "too small for FAT16"},
    {"too_small_for_fat32", "--size 32M --fs fat32", 1, "too small for FAT32 with 1 sector per cluster"},
    {"too_large_for_fat16", "--size 5G --fs fat16", 1, "too large for FAT16"},
    {"cluster_size_too_big_for_fat32", "--size 128M --fs fat32 --sectors-per-cluster 4", 1,
     "too small for FAT32 with 4 sectors per cluster"},
};

class FormatCommandRefusal : public ::testing::TestWithParam<CommandCase> {};

TEST_P(FormatCommandRefusal, ExitsWithOneMessageAndLeavesNoImage) {
    const CommandCase& c = GetParam();
    const std::string image = ScratchDir() + "/v.img";
    RunResult r = Format(image, c.arguments);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message_part), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(image));
}

INSTANTIATE_TEST_SUITE_P(Options, FormatCommandRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FormatCommand, RefusesAVolumeEndingBeyondThe32BitSectorRange) {
    const std::string image = ScratchDir() + "/v.img";
    RunResult r = Format(image, "--size 1100G --fs fat32", "0x7FFFFFFF");
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("beyond the last 32-bit sector"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(image));
}

}  // namespace
