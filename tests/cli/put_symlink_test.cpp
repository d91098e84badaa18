// quillon-cli put of a local folder that holds symbolic links. A link to a
// file outside the folder is imported as that file; every other link (into
// the folder, to a folder, to nothing) is skipped with one note, so a link
// back up the tree can never make the walk go round.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kVolumeBytes = 16u << 20;
const std::vector<std::uint8_t> kInsideBytes = {'i', 'n', '\n'};
const std::vector<std::uint8_t> kOutsideBytes = {'o', 'u', 't', '\n'};

struct LinkCase {
    const char* link;    // relative to the imported folder "tree"
    const char* target;  // as the link holds it
    bool imported;
};

const LinkCase kLinks[] = {
    {"d/loop", ".", false},
    {"d/up", "../..", false},            // the folder holding the tree: a folder outside
    {"d/root", "..", false},             // the imported folder itself
    {"inner.txt", "a.txt", false},       // a file inside: imported by its own name
    {"dangling", "missing.txt", false},
    {"outdir", "../outdir", false},
    {"out.txt", "../outside.txt", true},
    {"d/deep_out.txt", "../../outside.txt", true},
};

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class PutSymlinks : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, kVolumeBytes, "-F 16");
        WriteFileBytes(dir + "/outside.txt", kOutsideBytes);
        fs::create_directories(dir + "/outdir");
        WriteFileBytes(dir + "/outdir/x.txt", kInsideBytes);
        fs::create_directories(dir + "/tree/d");
        WriteFileBytes(dir + "/tree/a.txt", kInsideBytes);
        for (const LinkCase& c : kLinks) fs::create_symlink(c.target, dir + "/tree/" + c.link);
    }

    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }

    std::vector<std::string> NamesIn(const std::string& folder) {
        const RunResult r = Quillon("--json ls " + Quote(folder));
        EXPECT_EQ(r.exit_code, 0) << folder << "\n" << r.err;
        std::vector<std::string> names;
        for (const auto& row : nlohmann::json::parse(r.out)) names.push_back(row["name"]);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir, image;
};

TEST_F(PutSymlinks, FilesOutsideAreImportedAndEveryOtherLinkIsSkippedOnce) {
    const RunResult put = Quillon("put " + Quote(dir + "/tree"));
    ASSERT_EQ(put.exit_code, 0) << put.err;

    EXPECT_EQ(NamesIn("/tree"), (std::vector<std::string>{"a.txt", "d", "out.txt"}));
    EXPECT_EQ(NamesIn("/tree/d"), (std::vector<std::string>{"deep_out.txt"}));
    for (const LinkCase& c : kLinks) {
        const std::string note = "skipped symbolic link " + dir + "/tree/" + c.link + " ";
        EXPECT_EQ(Count(put.err, note), c.imported ? 0u : 1u) << c.link << "\n" << put.err;
        if (!c.imported) continue;
        const RunResult got = Quillon("get " + Quote(std::string("/tree/") + c.link) + " -");
        EXPECT_EQ(got.exit_code, 0) << c.link << "\n" << got.err;
        EXPECT_EQ(got.out, std::string(kOutsideBytes.begin(), kOutsideBytes.end())) << c.link;
    }
    const RunResult fsck = Fsck(image);
    EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
}

// The folder named on the command line is what the user asked for, link or
// not; the links inside it are judged against the folder it leads to.
TEST_F(PutSymlinks, ALinkNamedOnTheCommandLineIsFollowed) {
    fs::create_symlink("tree", dir + "/named");
    const RunResult put = Quillon("put " + Quote(dir + "/named"));
    ASSERT_EQ(put.exit_code, 0) << put.err;

    EXPECT_EQ(NamesIn("/named"), (std::vector<std::string>{"a.txt", "d", "out.txt"}));
    EXPECT_EQ(Count(put.err, "skipped symbolic link " + dir + "/named/d/loop "), 1u) << put.err;
    EXPECT_EQ(Count(put.err, "skipped symbolic link " + dir + "/named/inner.txt "), 1u) << put.err;
    const RunResult fsck = Fsck(image);
    EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
}

}  // namespace
