// quillon-cli rm -r on a damaged volume whose folder tree loops: a folder
// entry patched to start at the cluster of a folder above it. The loop is
// reported once and nothing at all is deleted.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/patched_image.h"
#include "support/test_support.h"

using namespace testsupport;
using patched_image::PatchedImage;

namespace {

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

    std::uint32_t ClusterOf(const std::string& folder, const std::string& name) const {
        return PatchedImage(image).ClusterOf(folder, name);
    }
    std::uint32_t RootCluster() const { return PatchedImage(image).RootCluster(); }
    void PointEntryAt(std::uint32_t folder, const std::string& short_name, std::uint32_t cluster) const {
        PatchedImage(image).PointEntryAt(folder, short_name, cluster);
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
