// quillon-cli get of a volume folder never writes outside its destination:
// links already inside it are not followed, a damaged volume whose folder
// tree loops back on itself ends the copy with one message, and names from
// the volume that could not name a local file land under safe ones.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/patched_image.h"
#include "support/test_support.h"

using namespace testsupport;
using namespace patched_image;
namespace fs = std::filesystem;

namespace {

// Where the first characters of a long-name part sit (UTF-16, little-endian).
constexpr std::size_t kLongNameFirstChars[] = {1, 3, 5, 7, 9};

const std::string kFileText = "f\n";

struct Layout {
    const char* name;
    std::uint64_t bytes;
    const char* mkfs;
};

std::set<std::string> NamesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::string TextOf(const fs::path& file) {
    const std::vector<std::uint8_t> bytes = ReadFileBytes(file.string());
    return std::string(bytes.begin(), bytes.end());
}

// Every file below folder, by its path relative to it, and its content.
std::map<std::string, std::string> TreeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string relative = entry.path().lexically_relative(folder).string();
        tree[relative] = entry.is_directory() ? "/" : TextOf(entry.path());
    }
    return tree;
}

class GetFolderSafety : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, GetParam().bytes, GetParam().mkfs);
    }

    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }

    void MakeFolders(std::initializer_list<const char*> folders) {
        for (const char* folder : folders) ASSERT_EQ(Quillon(std::string("mkdir ") + folder).exit_code, 0) << folder;
    }
    void PutFile(const std::string& local_name, const std::string& folder, const std::string& content) {
        const std::string local = dir + "/" + local_name;
        WriteFileBytes(local, std::vector<std::uint8_t>(content.begin(), content.end()));
        const RunResult put = Quillon("put " + Quote(local) + " " + Quote(folder));
        ASSERT_EQ(put.exit_code, 0) << local_name << "\n" << put.err;
        fs::remove(local);
    }

    std::uint32_t ClusterOf(const std::string& folder, const std::string& name) const {
        return PatchedImage(image).ClusterOf(folder, name);
    }
    std::uint32_t RootCluster() const { return PatchedImage(image).RootCluster(); }
    void PointEntryAt(std::uint32_t folder, const std::string& short_start, std::uint32_t cluster) const {
        PatchedImage(image).PointEntryAt(folder, short_start, cluster);
    }

    // Rewrites the character at `index` (within the first five) of the long
    // name whose first five characters are `first`, as a foreign or damaged
    // volume could hold it; the short entry's checksum stays valid.
    void SetLongNameChar(std::uint32_t folder_cluster, const std::string& first, std::size_t index, char16_t c) {
        PatchedImage(image).PatchEntry(folder_cluster, first, [&](std::uint8_t* entry) {
            if (entry[kAttributeOffset] != kLongNameAttribute) return false;
            for (std::size_t i = 0; i < first.size(); ++i)
                if (entry[kLongNameFirstChars[i]] != static_cast<std::uint8_t>(first[i]) ||
                    entry[kLongNameFirstChars[i] + 1] != 0)
                    return false;
            entry[kLongNameFirstChars[index]] = static_cast<std::uint8_t>(c);
            entry[kLongNameFirstChars[index] + 1] = static_cast<std::uint8_t>(c >> 8);
            return true;
        });
    }

    std::string dir, image;
};

// Links already in the destination are the user's, pointing anywhere: get
// writes neither through them nor into what they point at, names each one
// and copies the rest. The destination named on the command line may be a
// link; it is what the user chose.
TEST_P(GetFolderSafety, LinksInsideTheDestinationAreNeverFollowed) {
    MakeFolders({"/DCIM", "/DCIM/Sub"});
    PutFile("a.txt", "/DCIM", "a\n");
    PutFile("b.txt", "/DCIM/Sub", "b\n");
    const fs::path outside = dir + "/outside";
    const struct {
        const char* name;
        const char* link;  // below the destination, made before the get
        bool to_file;      // the link points at outside/a.txt, else at outside
        std::map<std::string, std::string> tree;  // the destination after the get
    } cases[] = {
        {"the folder copied lands on a link", "DCIM", false, {{"DCIM", "/"}}},
        {"a folder inside is a link", "DCIM/Sub", false, {{"DCIM", "/"}, {"DCIM/a.txt", "a\n"}, {"DCIM/Sub", "/"}}},
        {"a file inside is a link",
         "DCIM/a.txt",
         true,
         {{"DCIM", "/"}, {"DCIM/a.txt", "o\n"}, {"DCIM/Sub", "/"}, {"DCIM/Sub/b.txt", "b\n"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dest = dir + "/dest-" + std::to_string(&c - cases);
        fs::create_directories(outside);
        WriteFileBytes((outside / "a.txt").string(), {'o', '\n'});
        const fs::path link = dest / c.link;
        fs::create_directories(link.parent_path());
        fs::create_symlink(c.to_file ? outside / "a.txt" : outside, link);

        const RunResult get = Quillon("get /DCIM " + Quote(dest.string()));
        EXPECT_EQ(get.exit_code, 1) << get.err;
        EXPECT_NE(get.err.find("skipped symbolic link " + link.string() + " ("), std::string::npos) << get.err;
        EXPECT_EQ(NamesIn(outside), std::set<std::string>{"a.txt"});
        EXPECT_EQ(TextOf(outside / "a.txt"), "o\n");
        EXPECT_TRUE(fs::is_symlink(link));
        // A link shows as what it points at, and is not walked into.
        EXPECT_EQ(TreeOf(dest), c.tree);
        fs::remove_all(outside);
    }
}

TEST_P(GetFolderSafety, ADestinationNamedAsALinkIsWrittenThrough) {
    MakeFolders({"/DCIM"});
    PutFile("a.txt", "/DCIM", "a\n");
    fs::create_directories(dir + "/real");
    fs::create_symlink("real", dir + "/chosen");
    const RunResult get = Quillon("get /DCIM " + Quote(dir + "/chosen"));
    ASSERT_EQ(get.exit_code, 0) << get.err;
    EXPECT_EQ(TextOf(dir + "/real/DCIM/a.txt"), "a\n");
}

// A folder entry patched to start at the cluster of a folder above it.
TEST_P(GetFolderSafety, AFolderLoopingBackEndsTheCopyWithOneMessage) {
    MakeFolders({"/Top", "/Top/Mid", "/Top/Mid/Deep"});
    for (const char* folder : {"/Top", "/Top/Mid", "/Top/Mid/Deep"}) PutFile("f.txt", folder, kFileText);
    const std::uint32_t top = ClusterOf("/", "Top");
    const std::uint32_t mid = ClusterOf("/Top", "Mid");
    const struct {
        const char* name;
        const char* loops_to;
        const char* copied;
        const char* lands_at;  // below the destination folder
    } cases[] = {
        {"back to the folder copied", "/Top", "/Top", "Top"},
        {"back to a folder above the one copied", "/Top", "/Top/Mid", "Mid"},
        {"back to the root", "/", "/", "volume"},
        {"back to the root, from a folder copied", "/", "/Top", "Top"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PointEntryAt(mid, "DEEP", std::string(c.loops_to) == "/" ? RootCluster() : top);
        const fs::path dest = dir + "/dest-" + std::to_string(&c - cases);
        fs::create_directories(dest);
        const RunResult get = Quillon("get " + std::string(c.copied) + " " + Quote(dest.string()));
        EXPECT_EQ(get.exit_code, 1) << get.err;
        const std::string report = std::string("/Top/Mid/Deep loops back to ") + c.loops_to;
        EXPECT_NE(get.err.find(report), std::string::npos) << get.err;
        EXPECT_EQ(get.err.find("loops back", get.err.find("loops back") + 1), std::string::npos) << get.err;
        // Nothing of the loop itself was written; what was, is whole.
        const std::map<std::string, std::string> tree = TreeOf(dest / c.lands_at);
        for (const auto& [path, content] : tree) {
            EXPECT_EQ(path.find("Deep"), std::string::npos) << path;
            if (content != "/") {
                EXPECT_EQ(content, kFileText) << path;
            }
        }
    }
}

// Names another system may have written: a separator of either kind or a
// control character becomes "_", a name made so that it meets another gets
// a number, and every file lands inside the destination.
TEST_P(GetFolderSafety, NamesThatCannotNameALocalFileLandUnderSafeOnes) {
    MakeFolders({"/In", "/In/g-h"});
    PutFile("a_b.txt", "/In", "plain\n");
    const struct {
        const char* stored;  // as put writes it
        char16_t replaced;   // what its second character becomes on the volume
        const char* local;   // where get puts it
    } cases[] = {
        {"a-b.txt", u'\\', "a_b.txt (2)"},
        {"c-d.txt", u'\x01', "c_d.txt"},
        {"e-f.txt", u'\t', "e_f.txt"},
        {"i-j.txt", u'\x7f', "i_j.txt"},
        {"k-l.txt", u'/', "k_l.txt"},
    };
    const std::uint32_t in = ClusterOf("/", "In");
    for (const auto& c : cases) PutFile(c.stored, "/In", c.stored);
    PutFile("inner.txt", "/In/g-h", "inner\n");
    for (const auto& c : cases) SetLongNameChar(in, std::string(c.stored).substr(0, 5), 1, c.replaced);
    SetLongNameChar(in, "g-h", 1, u'\\');

    const fs::path dest = dir + "/dest";
    fs::create_directories(dest);
    const RunResult get = Quillon("get /In " + Quote(dest.string()));
    EXPECT_EQ(get.exit_code, 0) << get.err;
    std::map<std::string, std::string> expected = {{"a_b.txt", "plain\n"}, {"g_h", "/"}, {"g_h/inner.txt", "inner\n"}};
    for (const auto& c : cases) expected[c.local] = c.stored;
    EXPECT_EQ(TreeOf(dest / "In"), expected);
    EXPECT_EQ(NamesIn(dest), std::set<std::string>{"In"});
    EXPECT_EQ(NamesIn(dir), (std::set<std::string>{"dest", "v.img"}));
}

// The engine finds a folder by its path, and a "/" in the name would lead
// it elsewhere: such a folder is named and passed by, the rest is copied.
TEST_P(GetFolderSafety, AFolderWithASlashInItsNameIsPassedBy) {
    MakeFolders({"/In", "/In/m-n", "/In/m"});
    PutFile("inner.txt", "/In/m-n", "inner\n");
    PutFile("other.txt", "/In/m", "other\n");
    PutFile("kept.txt", "/In", "kept\n");
    SetLongNameChar(ClusterOf("/", "In"), "m-n", 1, u'/');
    const fs::path dest = dir + "/dest";
    fs::create_directories(dest);
    const RunResult get = Quillon("get /In " + Quote(dest.string()));
    EXPECT_EQ(get.exit_code, 1) << get.err;
    EXPECT_NE(get.err.find("skipped /In/m/n: "), std::string::npos) << get.err;
    const std::map<std::string, std::string> expected = {
        {"kept.txt", "kept\n"}, {"m", "/"}, {"m/other.txt", "other\n"}};
    EXPECT_EQ(TreeOf(dest / "In"), expected);
}

INSTANTIATE_TEST_SUITE_P(Fat, GetFolderSafety,
                         ::testing::Values(Layout{"FAT16", 16u << 20, "-F 16"},
                                           Layout{"FAT32", 40u << 20, "-F 32 -s 1"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
