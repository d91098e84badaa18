// What quillon-cli writes, other tools must read the same way: no entry lost
// when a folder grows, no stale free count, short names that lead other
// tools to the right file, names and dates they accept.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kTools = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";

class VolumeIntegrity : public ::testing::Test {
protected:
    void MakeVolume(std::uint64_t bytes, const std::string& mkfs) {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, bytes, mkfs);
    }
    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }
    void QuillonOk(const std::string& args) {
        RunResult r = Quillon(args);
        ASSERT_EQ(r.exit_code, 0) << args << "\n" << r.out << r.err;
    }
    // A local file with these contents; its name is the last part of `name`.
    std::string Local(const std::string& name, const std::string& contents) {
        const std::string path = dir + "/local/" + name;
        fs::create_directories(fs::path(path).parent_path());
        WriteFileBytes(path, std::vector<std::uint8_t>(contents.begin(), contents.end()));
        return path;
    }
    std::string MtoolsRead(const std::string& path) {
        const std::string out = dir + "/mtools.out";
        fs::remove(out);
        RunResult r = testsupport::Run(kTools + "mcopy -n -i " + Quote(image) + " " + Quote("::" + path) + " " + Quote(out));
        EXPECT_EQ(r.exit_code, 0) << path << "\n" << r.err;
        const auto bytes = ReadFileBytes(out);
        return std::string(bytes.begin(), bytes.end());
    }
    nlohmann::json List(const std::string& path) {
        RunResult r = Quillon("--json ls " + Quote(path));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return nlohmann::json::parse(r.out);
    }
    std::vector<std::string> Names(const std::string& path) {
        std::vector<std::string> names;
        for (const auto& row : List(path)) names.push_back(row["name"]);
        return names;
    }
    void ExpectClean() {
        RunResult r = Fsck(image);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    std::string dir, image;
};

// --- growing a folder ---------------------------------------------------------

// With one sector per cluster, seven short files fill a folder's cluster
// ("." and ".." take two slots); the rename must grow the folder, and the
// new cluster must be in the FAT before the entry that lives in it.
TEST_F(VolumeIntegrity, RenameThatGrowsAFolderKeepsWhatItRenames) {
    const struct {
        const char* what;
        bool folder;
    } cases[] = {{"a file", false}, {"a folder", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeVolume(50u << 20, "-F 32 -s 1");
        QuillonOk("mkdir /d");
        if (c.folder) {
            QuillonOk("mkdir /d/f1.txt");
            QuillonOk("put " + Quote(Local("kept.bin", "deep")) + " /d/f1.txt");
        } else {
            QuillonOk("put " + Quote(Local("f1.txt", "one")) + " /d");
        }
        for (int i = 2; i <= 7; ++i)
            QuillonOk("put " + Quote(Local("f" + std::to_string(i) + ".txt", "n")) + " /d");
        QuillonOk("rename /d/f1.txt renamed.txt");
        const auto names = Names("/d");
        EXPECT_NE(std::find(names.begin(), names.end(), "renamed.txt"), names.end());
        EXPECT_EQ(names.size(), 7u);
        EXPECT_EQ(MtoolsRead(c.folder ? "/d/renamed.txt/kept.bin" : "/d/renamed.txt"), c.folder ? "deep" : "one");
        ExpectClean();
    }
}

// --- the FSInfo free count --------------------------------------------------

// mtools keeps the FAT32 free count right; every way our tool frees clusters
// must leave it right or unknown, never stale.
TEST_F(VolumeIntegrity, FreeingClustersLeavesNoStaleFreeCount) {
    const struct {
        const char* what;
        const char* command;
    } cases[] = {{"rm", "rm /big.bin"}, {"rm -r", "rm -r /tree"}, {"a smaller file replacing", "put SMALL /"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeVolume(64u << 20, "-F 32");
        ASSERT_EQ(testsupport::Run(kTools + "mcopy -i " + Quote(image) + " " + Quote(Local("big.bin", std::string(300000, 'b'))) +
                      " ::/big.bin").exit_code, 0);
        ASSERT_EQ(testsupport::Run(kTools + "mmd -i " + Quote(image) + " ::/tree").exit_code, 0);
        ASSERT_EQ(testsupport::Run(kTools + "mcopy -i " + Quote(image) + " " + Quote(Local("x.bin", std::string(70000, 'x'))) +
                      " ::/tree/x.bin").exit_code, 0);
        ExpectClean();
        std::string command = c.command;
        if (command == "put SMALL /") command = "put " + Quote(Local("small/big.bin", "tiny")) + " /";
        QuillonOk(command);
        ExpectClean();
    }
}

// --- short names --------------------------------------------------------------

// A short name that lost characters must not be the plain short form of
// another name: mtools asked for "longfile.dat" would open the other file.
TEST_F(VolumeIntegrity, ShortNamesThatLoseCharactersGetATail) {
    MakeVolume(32u << 20, "-F 16");
    QuillonOk("put " + Quote(Local("Long File Name.dat", "long")) + " /");
    QuillonOk("put " + Quote(Local("longfile.dat", "short")) + " /");
    EXPECT_EQ(MtoolsRead("/longfile.dat"), "short");
    EXPECT_EQ(MtoolsRead("/Long File Name.dat"), "long");
    // mtools overwriting one of them leaves the other alone.
    ASSERT_EQ(testsupport::Run(kTools + "mcopy -D o -i " + Quote(image) + " " + Quote(Local("new/longfile.dat", "newer")) +
                  " ::/longfile.dat").exit_code, 0);
    EXPECT_EQ(MtoolsRead("/Long File Name.dat"), "long");
    EXPECT_EQ(MtoolsRead("/longfile.dat"), "newer");
    const std::string listing = testsupport::Run(kTools + "mdir -i " + Quote(image) + " ::/").out;
    EXPECT_NE(listing.find("LONGFI~1 DAT"), std::string::npos) << listing;
    ExpectClean();
}

// "a b" loses its space; its tail follows the base ("AB~1"), since a tail
// behind fill spaces is a short name checkers reject.
TEST_F(VolumeIntegrity, TailsFollowTheBaseWithoutSpaces) {
    MakeVolume(32u << 20, "-F 16");
    QuillonOk("put " + Quote(Local("a b", "1")) + " /");
    QuillonOk("put " + Quote(Local("ab", "2")) + " /");
    QuillonOk("put " + Quote(Local("x y.t", "3")) + " /");
    const std::string listing = testsupport::Run(kTools + "mdir -i " + Quote(image) + " ::/").out;
    EXPECT_NE(listing.find("AB~1 "), std::string::npos) << listing;
    EXPECT_NE(listing.find("XY~1     T"), std::string::npos) << listing;
    EXPECT_EQ(MtoolsRead("/ab"), "2");
    EXPECT_EQ(MtoolsRead("/a b"), "1");
    ExpectClean();
}

// --- hidden entries ---------------------------------------------------------

TEST_F(VolumeIntegrity, ANameHeldByAHiddenEntryIsNotTakenTwice) {
    MakeVolume(32u << 20, "-F 16");
    ASSERT_EQ(testsupport::Run(kTools + "mcopy -i " + Quote(image) + " " + Quote(Local("hidden.txt", "old")) + " ::/HIDDEN.TXT")
                  .exit_code, 0);
    ASSERT_EQ(testsupport::Run(kTools + "mattrib +h -i " + Quote(image) + " ::/HIDDEN.TXT").exit_code, 0);
    RunResult r = Quillon("put " + Quote(Local("new/hidden.txt", "new")) + " /");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("hidden"), std::string::npos) << r.err;
    EXPECT_EQ(Quillon("mkdir /hidden.txt").exit_code, 1);
    EXPECT_EQ(MtoolsRead("/hidden.txt"), "old");
    const std::string listing = testsupport::Run(kTools + "mdir -a -i " + Quote(image) + " ::/").out;
    EXPECT_EQ(listing.find("HIDDEN~1"), std::string::npos) << listing;
    ExpectClean();
}

// --- long non-ASCII names -------------------------------------------------------

TEST_F(VolumeIntegrity, LongNonAsciiNamesListWholeAndRemove) {
    MakeVolume(32u << 20, "-F 16");
    // 100 characters of three UTF-8 bytes each: past the 260 bytes a listing
    // once held. A local file name stops at 255 bytes, so the file has 85.
    std::string folder;
    for (int i = 0; i < 100; ++i) folder += "\xe6\xbc\xa2";  // U+6F22
    const std::string cjk = "\xe5\xad\x97" + folder.substr(0, 3 * 84);
    QuillonOk("mkdir " + Quote("/" + folder));
    QuillonOk("put " + Quote(Local(cjk, "cjk")) + " " + Quote("/" + folder));
    EXPECT_EQ(Names("/"), std::vector<std::string>{folder});
    EXPECT_EQ(Names("/" + folder), std::vector<std::string>{cjk});
    RunResult text = Quillon("ls " + Quote("/" + folder));
    EXPECT_NE(text.out.find(cjk), std::string::npos);
    EXPECT_EQ(MtoolsRead("/" + folder + "/" + cjk), "cjk");
    QuillonOk("rm -r " + Quote("/" + folder));
    EXPECT_TRUE(Names("/").empty());
    ExpectClean();
}

// --- dates --------------------------------------------------------------------

std::uint16_t FatDateOf(int year, int month, int day) {
    return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
}

TEST_F(VolumeIntegrity, NewEntriesCarryRealDates) {
    MakeVolume(32u << 20, "-F 16");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    QuillonOk("mkdir /new");
    const auto root = List("/");
    ASSERT_EQ(root.size(), 1u);
    const int date = root[0]["fat_date"];
    EXPECT_EQ(date, FatDateOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday));
    // The dot entries carry the same date; mdir shows none as "1980-01-00".
    const std::string listing = testsupport::Run(kTools + "mdir -a -i " + Quote(image) + " ::/new").out;
    EXPECT_EQ(listing.find("1980"), std::string::npos) << listing;
    ExpectClean();
}

TEST_F(VolumeIntegrity, PutKeepsTheLocalFileTimeWithinWhatFatHolds) {
    const struct {
        const char* touched;  // local time for touch -d
        std::uint16_t date;
        std::uint16_t time;
    } cases[] = {
        {"2030-05-06 07:08:11", FatDateOf(2030, 5, 6), 7 << 11 | 8 << 5 | 5},  // two-second steps
        {"2150-01-01 00:00:00", FatDateOf(2107, 12, 31), 23 << 11 | 59 << 5 | 29},  // clamped, not wrapped
        {"1975-01-01 00:00:00", FatDateOf(1980, 1, 1), 0},
    };
    MakeVolume(32u << 20, "-F 16");
    const std::string local = Local("f.bin", "data");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.touched);
        ASSERT_EQ(testsupport::Run("touch -d " + Quote(c.touched) + " " + Quote(local)).exit_code, 0);
        QuillonOk("put " + Quote(local) + " /");  // the second and third put replace the file
        const auto root = List("/");
        ASSERT_EQ(root.size(), 1u);
        EXPECT_EQ(root[0]["fat_date"], c.date);
        EXPECT_EQ(root[0]["fat_time"], c.time);
    }
    ExpectClean();
}

// --- names other systems cannot open ----------------------------------------------

TEST_F(VolumeIntegrity, NamesOtherSystemsRefuseAreRefused) {
    MakeVolume(32u << 20, "-F 16");
    QuillonOk("put " + Quote(Local("plain.txt", "p")) + " /");
    for (const std::string name : {"a:b", "what?", "star*", "pipe|x", "less<", "more>", "quote\"d", "back\\slash",
                                   "tab\tname", "trailing.", "trailing ", "bell\a"}) {
        SCOPED_TRACE(name);
        RunResult put = Quillon("put " + Quote(Local(name, "x")) + " /");
        EXPECT_EQ(put.exit_code, 1);
        EXPECT_NE(put.err.find("cannot use the name"), std::string::npos) << put.err;
        EXPECT_EQ(Quillon("mkdir " + Quote("/" + name)).exit_code, 1);
        RunResult rename = Quillon("rename /plain.txt " + Quote(name));
        EXPECT_EQ(rename.exit_code, 1);
        EXPECT_NE(rename.err.find("cannot use the name"), std::string::npos) << rename.err;
        fs::remove(dir + "/local/" + name);
    }
    EXPECT_EQ(Names("/"), std::vector<std::string>{"plain.txt"});
    ExpectClean();
}

TEST_F(VolumeIntegrity, RenameMayChangeOnlyTheLetterCase) {
    MakeVolume(32u << 20, "-F 16");
    QuillonOk("put " + Quote(Local("Report.TXT", "r")) + " /");
    QuillonOk("rename /report.txt report.txt");
    EXPECT_EQ(Names("/"), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(MtoolsRead("/report.txt"), "r");
    // Another entry's name is still refused.
    QuillonOk("put " + Quote(Local("other.txt", "o")) + " /");
    EXPECT_EQ(Quillon("rename /other.txt REPORT.txt").exit_code, 1);
    ExpectClean();
}

}  // namespace

namespace {

// A replace that cannot fit never costs the old file: refused before
// anything is written, with the sizes, whether or not the old file's room
// would have been enough.
TEST_F(VolumeIntegrity, AReplaceThatDoesNotFitKeepsTheOldFile) {
    MakeVolume(4u << 20, "-F 16 -s 1");
    const std::string old_content(100000, 'o');
    QuillonOk("put " + Quote(Local("keep.bin", old_content)) + " /");
    const struct {
        const char* what;
        std::size_t size;
        const char* says;
    } cases[] = {{"larger than the volume", 5000000, "the volume is too full for"},
                 {"fits only once the old one is gone", 4100000, "remove it first"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = Quillon("put " + Quote(Local(std::string(c.what) + "/keep.bin", std::string(c.size, 'n'))) + " /");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("MiB free"), std::string::npos) << r.err;
        EXPECT_TRUE(MtoolsRead("/keep.bin") == old_content);
        ExpectClean();
    }
    // One that fits beside the old one replaces it.
    QuillonOk("put " + Quote(Local("fits/keep.bin", std::string(1000000, 'f'))) + " /");
    EXPECT_TRUE(MtoolsRead("/keep.bin") == std::string(1000000, 'f'));
    ExpectClean();
}

}  // namespace

namespace {

// The image changes while it is copied into itself: refused, by file identity
// (a link to it as well), before the volume is touched.
TEST_F(VolumeIntegrity, TheImageIsNeverPutIntoItself) {
    MakeVolume(32u << 20, "-F 16");
    const auto before = ReadFileBytes(image);
    fs::create_symlink(image, dir + "/link.img");
    for (const std::string& local : {image, dir + "/link.img"}) {
        SCOPED_TRACE(local);
        RunResult r = Quillon("put " + Quote(local) + " /");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("cannot be put into itself"), std::string::npos) << r.err;
        EXPECT_TRUE(ReadFileBytes(image) == before);
    }
}

}  // namespace

namespace {

// The temporary file of a get stands beside the destination: with a name of
// 250 bytes it must still fit the 255 bytes a local name may have.
TEST_F(VolumeIntegrity, AGetOfTheLongestNamesIntoAFolderWorks) {
    MakeVolume(32u << 20, "-F 16");
    std::string name(208, 'n');
    for (int i = 0; i < 21; ++i) name += "\xc3\xa9";  // 250 bytes, ending in two-byte characters
    QuillonOk("put " + Quote(Local(name, "long")) + " /");
    fs::create_directories(dir + "/into");
    QuillonOk("get " + Quote("/" + name) + " " + Quote(dir + "/into"));
    const auto back = ReadFileBytes(dir + "/into/" + name);
    EXPECT_EQ(std::string(back.begin(), back.end()), "long");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/into"), fs::directory_iterator()), 1);
}

}  // namespace
