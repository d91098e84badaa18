// An image whose volume is not at the default start sector: when --start is
// left out and nothing mounts there, the error says where a FAT volume was
// found (sector 0, or a partition of the MBR partition table) and which
// --start reaches it. Looking changes nothing on the image.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint64_t kVolumeBytes = 16u << 20;
constexpr std::size_t kPartitionTable = 0x1BE;
constexpr std::size_t kPartitionEntryBytes = 16;

// Sector 0 holding a partition table with one used entry.
std::vector<std::uint8_t> PartitionTable(int entry, std::uint8_t type, std::uint32_t first_sector) {
    std::vector<std::uint8_t> sector(512);
    const std::size_t at = kPartitionTable + static_cast<std::size_t>(entry) * kPartitionEntryBytes;
    sector[at + 4] = type;
    for (int i = 0; i < 4; ++i) sector[at + 8 + i] = static_cast<std::uint8_t>(first_sector >> (8 * i));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

// A volume made by the tool itself at that sector, under that table.
void MakePartitionedImage(const std::string& image, std::uint32_t first_sector,
                          const std::vector<std::uint8_t>& table) {
    const RunResult made = Cli("--image " + Quote(image) + " --start " + std::to_string(first_sector) +
                               " format --size 16M --fs fat16");
    ASSERT_EQ(made.exit_code, 0) << made.err;
    WriteSector(image, 0, table);
}

struct HintCase {
    const char* name;
    void (*make)(const std::string& image);
    const char* start;  // "" leaves --start out
    const char* hint;   // "" when no hint may be given
};

const HintCase kHintCases[] = {
    {"volume_at_sector_0", [](const std::string& image) { MakeFatImage(image, kVolumeBytes, "-F 16"); }, "",
     "a FAT volume starts at sector 0 of"},
    {"volume_at_sector_0_made_by_format",
     [](const std::string& image) {
         ASSERT_EQ(Cli("--image " + Quote(image) + " --start 0 format --size 16M --fs fat16").exit_code, 0);
     },
     "", "add --start 0"},
    {"first_partition", [](const std::string& image) { MakePartitionedImage(image, 2048, PartitionTable(0, 0x06, 2048)); },
     "", "in a partition of"},
    {"second_partition_of_another_type",
     [](const std::string& image) { MakePartitionedImage(image, 4096, PartitionTable(1, 0x83, 4096)); }, "",
     "add --start 4096"},
    {"nothing_anywhere", [](const std::string& image) { MakeEmptyImage(image, kVolumeBytes); }, "", ""},
    {"start_given", [](const std::string& image) { MakeFatImage(image, kVolumeBytes, "-F 16"); }, "0x40000", ""},
};

class VolumeStartHint : public ::testing::TestWithParam<HintCase> {};

TEST_P(VolumeStartHint, NamesTheStartThatReachesTheVolume) {
    const HintCase& c = GetParam();
    const std::string image = ScratchDir() + "/disk.img";
    c.make(image);
    const auto before = ReadFileBytes(image);
    const std::string start = *c.start ? std::string(" --start ") + c.start : "";
    const RunResult r = Cli("--image " + Quote(image) + start + " ls /");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("no FAT volume at sector 0x40000 of " + image), std::string::npos) << r.err;
    if (*c.hint) {
        EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.err.find("add --start"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(ReadFileBytes(image) == before) << "looking changed the image";
}

INSTANTIATE_TEST_SUITE_P(Images, VolumeStartHint, ::testing::ValuesIn(kHintCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The start the hint names is one that works.
TEST(VolumeStartHintFollowed, TheNamedStartMounts) {
    const std::string image = ScratchDir() + "/disk.img";
    MakePartitionedImage(image, 4096, PartitionTable(1, 0x83, 4096));
    const RunResult refused = Cli("--image " + Quote(image) + " info");
    ASSERT_NE(refused.err.find("add --start 4096"), std::string::npos) << refused.err;
    const RunResult followed = Cli("--image " + Quote(image) + " --start 4096 info");
    EXPECT_EQ(followed.exit_code, 0) << followed.err;
}

}  // namespace
