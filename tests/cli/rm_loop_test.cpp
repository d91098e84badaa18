// quillon-cli rm -r on a damaged volume whose folder tree loops: a folder
// entry patched to start at the cluster of a folder above it. The loop is
// reported once and nothing at all is deleted.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kEntryBytes = 32;
constexpr std::size_t kShortNameBytes = 11;
constexpr std::size_t kClusterHighOffset = 20;
constexpr std::size_t kClusterLowOffset = 26;
const std::string kTools = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";

struct Layout {
    const char* name;
    std::uint64_t bytes;
    const char* mkfs;
};

// Where a folder ends up pointing, and which folder rm -r is given.
struct LoopCase {
    const char* name;
    const char* loops_to;  // "/" or a folder above /Top/Mid/Deep
    const char* removed;
};

class RmLoop : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, GetParam().bytes, GetParam().mkfs);
        WriteFileBytes(dir + "/f.txt", {'f', '\n'});
        const std::string i = "-i " + Quote(image) + " ";
        ASSERT_EQ(testsupport::Run(kTools + "mmd " + i + "::/Top ::/Top/Mid ::/Top/Mid/Deep").exit_code, 0);
        for (const char* folder : {"::/Top/", "::/Top/Mid/", "::/Top/Mid/Deep/", "::/Keep.txt"})
            ASSERT_EQ(testsupport::Run(kTools + "mcopy " + i + Quote(dir + "/f.txt") + " " + folder).exit_code, 0);
    }

    nlohmann::json Json(const std::string& args) {
        const RunResult r = Cli("--image " + Quote(image) + " --start 0 --json " + args);
        EXPECT_EQ(r.exit_code, 0) << args << "\n" << r.err;
        return nlohmann::json::parse(r.out);
    }

    std::uint32_t ClusterOf(const std::string& folder, const std::string& name) {
        for (const auto& row : Json("ls " + Quote(folder)))
            if (row["name"] == name) return row["cluster"];
        ADD_FAILURE() << name << " not in " << folder;
        return 0;
    }

    std::uint32_t RootCluster() { return Json("info")["root_cluster"]; }

    // Byte offset of a data cluster, from the volume's own geometry.
    std::uint64_t ClusterOffset(std::uint32_t cluster) {
        const nlohmann::json info = Json("info");
        const std::uint64_t root_sectors =
            (info["root_entries"].get<std::uint64_t>() * kEntryBytes + kSectorBytes - 1) / kSectorBytes;
        const std::uint64_t first_data = info["reserved_sectors"].get<std::uint64_t>() +
                                         info["fats"].get<std::uint64_t>() * info["fat_size"].get<std::uint64_t>() +
                                         root_sectors;
        const std::uint64_t per_cluster = info["sectors_per_cluster"];
        return (first_data + (cluster - 2) * per_cluster) * kSectorBytes;
    }

    // Rewrites the first-cluster field of the short entry `short_name`
    // (11 bytes, as stored) in the folder that starts at parent_cluster.
    void PointEntryAt(std::uint32_t parent_cluster, const std::string& short_name, std::uint32_t cluster) {
        const std::uint64_t first_sector = ClusterOffset(parent_cluster) / kSectorBytes;
        for (std::uint64_t sector = first_sector; sector < first_sector + 2; ++sector) {
            std::vector<std::uint8_t> bytes = ReadSector(image, sector);
            for (std::size_t at = 0; at < kSectorBytes; at += kEntryBytes) {
                if (std::string(bytes.begin() + at, bytes.begin() + at + kShortNameBytes) != short_name) continue;
                bytes[at + kClusterLowOffset] = static_cast<std::uint8_t>(cluster);
                bytes[at + kClusterLowOffset + 1] = static_cast<std::uint8_t>(cluster >> 8);
                bytes[at + kClusterHighOffset] = static_cast<std::uint8_t>(cluster >> 16);
                bytes[at + kClusterHighOffset + 1] = static_cast<std::uint8_t>(cluster >> 24);
                WriteSector(image, sector, bytes);
                return;
            }
        }
        FAIL() << short_name << " not found in the folder at cluster " << parent_cluster;
    }

    std::string dir, image;
};

TEST_P(RmLoop, ALoopIsReportedOnceAndNothingIsDeleted) {
    const std::uint32_t top = ClusterOf("/", "Top");
    const std::uint32_t mid = ClusterOf("/Top", "Mid");
    const LoopCase cases[] = {
        {"back to the folder removed", "/Top", "/Top"},
        {"back to a folder above the one removed", "/Top", "/Top/Mid"},
        {"back to the root", "/", "/Top"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PointEntryAt(mid, "DEEP       ", std::string(c.loops_to) == "/" ? RootCluster() : top);
        const std::vector<std::uint8_t> before = ReadFileBytes(image);
        const RunResult r = Cli("--image " + Quote(image) + " --start 0 rm -r " + c.removed);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        const std::string report = std::string("/Top/Mid/Deep loops back to ") + c.loops_to;
        EXPECT_NE(r.err.find(report), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("loops back", r.err.find("loops back") + 1), std::string::npos) << r.err;
        EXPECT_LT(r.err.size(), 200u) << r.err;
        EXPECT_TRUE(ReadFileBytes(image) == before) << "the volume changed";
        for (const char* file : {"/Keep.txt", "/Top/f.txt", "/Top/Mid/f.txt"})
            EXPECT_EQ(Cli("--image " + Quote(image) + " --start 0 get " + file + " -").out, "f\n") << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, RmLoop,
                         ::testing::Values(Layout{"FAT16", 16u << 20, "-F 16"},
                                           Layout{"FAT32", 40u << 20, "-F 32 -s 1"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
