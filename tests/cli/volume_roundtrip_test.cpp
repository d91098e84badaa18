// quillon-cli's volume commands against a real peer: what one writes, the
// other reads back byte for byte, and fsck.fat finds nothing to mend.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/pattern.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kTools = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";

struct Layout {
    const char* name;
    std::uint64_t bytes;
    const char* mkfs;
    std::uint32_t cluster_bytes;
};

class VolumeRoundTrip : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, GetParam().bytes, GetParam().mkfs);
    }

    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }
    RunResult Mtools(const std::string& command) { return testsupport::Run(kTools + command); }

    std::string Local(const std::string& name) { return dir + "/" + name; }

    void ExpectClean() {
        RunResult r = Fsck(image);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    std::string dir, image;
};

using testsupport::Pattern;

TEST_P(VolumeRoundTrip, FilesOfEverySizeReadBackWithMtools) {
    const std::uint32_t cluster = GetParam().cluster_bytes;
    const std::vector<std::size_t> sizes = {0,           1,       511,         512,
                                            513,         cluster - 1, cluster, cluster + 1,
                                            (3u << 20) + 17};
    fs::create_directories(Local("in"));
    for (std::size_t i = 0; i < sizes.size(); ++i)
        WriteFileBytes(Local("in/size" + std::to_string(sizes[i]) + ".bin"), Pattern(sizes[i], i));
    RunResult put = Quillon("put " + Quote(Local("in")) + " /");
    ASSERT_EQ(put.exit_code, 0) << put.err;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = "size" + std::to_string(sizes[i]) + ".bin";
        RunResult copy = Mtools("mcopy -n -i " + Quote(image) + " ::/in/" + name + " " + Quote(Local(name)));
        ASSERT_EQ(copy.exit_code, 0) << copy.err;
        EXPECT_EQ(ReadFileBytes(Local(name)), Pattern(sizes[i], i)) << name;
    }
    RunResult dir_listing = Mtools("mdir -i " + Quote(image) + " ::/in");
    EXPECT_EQ(dir_listing.exit_code, 0) << dir_listing.err;
    for (std::size_t size : sizes)
        EXPECT_NE(dir_listing.out.find(" size" + std::to_string(size) + ".bin\n"), std::string::npos)
            << size << "\n" << dir_listing.out;
    ExpectClean();
}

TEST_P(VolumeRoundTrip, LongUtf8DotAndCollidingNamesKeepTheirNames) {
    std::vector<std::string> names = {"a", "twelve_chars", "thirteen_char", "fourteen_chars",
                                      "twenty-six_characters_long", std::string(100, 'h'),
                                      std::string(251, 'm') + ".txt",
                                      "Long file name one.txt", "Long file name two.txt",
                                      "Grüße aus Köln.txt", "日本語のファイル.txt", ".hidden",
                                      ".config.txt", "a+b,c;d=e.txt"};
    fs::create_directories(Local("names"));
    for (std::size_t i = 0; i < names.size(); ++i) WriteFileBytes(Local("names/" + names[i]), Pattern(100 + i, i));
    ASSERT_EQ(Quillon("put " + Quote(Local("names")) + " /").exit_code, 0);
    RunResult listing = Mtools("mdir -/ -b -i " + Quote(image) + " ::/names");
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_NE(listing.out.find("/" + names[i] + "\n"), std::string::npos) << names[i] << "\n" << listing.out;
        const std::string out = Local("back" + std::to_string(i));
        RunResult copy = Mtools("mcopy -n -i " + Quote(image) + " " + Quote("::/names/" + names[i]) + " " + Quote(out));
        ASSERT_EQ(copy.exit_code, 0) << names[i] << ": " << copy.err;
        EXPECT_EQ(ReadFileBytes(out), Pattern(100 + i, i)) << names[i];
    }
    // Our own listing shows the same names, dot names hidden.
    RunResult ls = Quillon("--json ls /names");
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    auto rows = nlohmann::json::parse(ls.out);
    std::set<std::string> listed;
    for (const auto& row : rows) listed.insert(row["name"].get<std::string>());
    for (const auto& name : names) EXPECT_EQ(listed.count(name), name[0] == '.' ? 0u : 1u) << name;
    ExpectClean();
}

// mtools shows characters beyond the Basic Multilingual Plane as "__", so
// surrogate pairs are checked against our own listing and export.
TEST_P(VolumeRoundTrip, NamesBeyondTheBasicPlaneRoundTrip) {
    const std::string name = "emoji \xF0\x9F\x98\x80 name.txt";
    WriteFileBytes(Local(name), Pattern(77, 1));
    ASSERT_EQ(Quillon("put " + Quote(Local(name))).exit_code, 0);
    RunResult ls = Quillon("--json ls /");
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_EQ(nlohmann::json::parse(ls.out)[0]["name"], name);
    ASSERT_EQ(Quillon("get " + Quote("/" + name) + " " + Quote(Local("back"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("back")), Pattern(77, 1));
    RunResult listing = Mtools("mdir -/ -b -i " + Quote(image) + " ::/");
    EXPECT_NE(listing.out.find("emoji __ name.txt"), std::string::npos) << listing.out;
    ExpectClean();
}

TEST_P(VolumeRoundTrip, DeepFoldersAndReplacement) {
    fs::create_directories(Local("deep/a/b/c/d/e"));
    WriteFileBytes(Local("deep/a/b/c/d/e/leaf.bin"), Pattern(70000, 7));
    ASSERT_EQ(Quillon("put " + Quote(Local("deep")) + " /").exit_code, 0);
    // A smaller file over a larger one leaves no old tail behind.
    WriteFileBytes(Local("leaf.bin"), Pattern(1000, 8));
    ASSERT_EQ(Quillon("put " + Quote(Local("leaf.bin")) + " /deep/a/b/c/d/e").exit_code, 0);
    ASSERT_EQ(Mtools("mcopy -n -i " + Quote(image) + " ::/deep/a/b/c/d/e/leaf.bin " + Quote(Local("back"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("back")), Pattern(1000, 8));
    ASSERT_EQ(Quillon("get /deep/a/b/c/d/e/leaf.bin " + Quote(Local("got"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("got")), Pattern(1000, 8));
    ExpectClean();
}

TEST_P(VolumeRoundTrip, WhatMtoolsWritesReadsBackWithGetAndLs) {
    WriteFileBytes(Local("one.bin"), Pattern(123457, 1));
    WriteFileBytes(Local("A Long Name.dat"), Pattern(4096, 2));
    ASSERT_EQ(Mtools("mmd -i " + Quote(image) + " ::/Folder ::/Folder/Sub").exit_code, 0);
    ASSERT_EQ(Mtools("mcopy -i " + Quote(image) + " " + Quote(Local("one.bin")) + " ::/Folder/Sub/").exit_code, 0);
    ASSERT_EQ(Mtools("mcopy -i " + Quote(image) + " " + Quote(Local("A Long Name.dat")) + " ::/").exit_code, 0);
    ASSERT_EQ(Quillon("get /Folder/Sub/one.bin " + Quote(Local("got1"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("got1")), Pattern(123457, 1));
    ASSERT_EQ(Quillon("get " + Quote("/A Long Name.dat") + " " + Quote(Local("got2"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("got2")), Pattern(4096, 2));
    RunResult ls = Quillon("--json ls /Folder/Sub");
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    auto rows = nlohmann::json::parse(ls.out);
    ASSERT_EQ(rows.size(), 1u) << ls.out;
    EXPECT_EQ(rows[0]["name"], "one.bin");
    EXPECT_EQ(rows[0]["size"], 123457);
    EXPECT_EQ(rows[0]["dir"], false);
    RunResult root = Quillon("ls /");
    EXPECT_NE(root.out.find("Folder/"), std::string::npos) << root.out;
    EXPECT_NE(root.out.find("A Long Name.dat"), std::string::npos) << root.out;
    ExpectClean();
}

TEST_P(VolumeRoundTrip, MkdirRenameAndRemove) {
    ASSERT_EQ(Quillon("mkdir /docs").exit_code, 0);
    ASSERT_EQ(Quillon("mkdir /docs/inner").exit_code, 0);
    WriteFileBytes(Local("note.txt"), Pattern(3000, 3));
    ASSERT_EQ(Quillon("put " + Quote(Local("note.txt")) + " /docs/inner").exit_code, 0);
    ASSERT_EQ(Quillon("rename /docs/inner/note.txt " + Quote("Renamed note.txt")).exit_code, 0);
    ASSERT_EQ(Mtools("mcopy -n -i " + Quote(image) + " " + Quote("::/docs/inner/Renamed note.txt") + " " + Quote(Local("r"))).exit_code, 0);
    EXPECT_EQ(ReadFileBytes(Local("r")), Pattern(3000, 3));
    ExpectClean();
    EXPECT_EQ(Quillon("rm /docs").exit_code, 1);  // a folder needs -r
    ASSERT_EQ(Quillon("rm -r /docs").exit_code, 0);
    RunResult listing = Mtools("mdir -b -i " + Quote(image) + " ::/");
    EXPECT_EQ(listing.out.find("docs"), std::string::npos) << listing.out;
    ExpectClean();
}

TEST_P(VolumeRoundTrip, BadInputGivesOneClearMessage) {
    WriteFileBytes(Local("f.bin"), Pattern(10, 1));
    ASSERT_EQ(Quillon("mkdir /f.bin").exit_code, 0);
    struct Case {
        std::string args;
        int exit_code;
        std::string names;  // the message names this
    } cases[] = {
        {"put " + Quote(Local("missing.bin")), 1, "missing.bin"},
        {"put " + Quote(Local("f.bin")) + " /nowhere", 1, "/nowhere"},
        {"put " + Quote(Local("f.bin")), 1, "/f.bin"},  // exists as a folder
        {"get /absent.bin " + Quote(Local("x")), 1, "/absent.bin"},
        {"get /f.bin -", 1, "/f.bin"},  // a folder cannot go to standard output
        {"ls /absent", 1, "/absent"},
        {"mkdir /f.bin", 1, "/f.bin"},
        {"rm /absent", 1, "/absent"},
        {"rename /absent new", 1, "/absent"},
        {"get /only-one-argument", 2, "get"},
        {"frobnicate", 2, "frobnicate"},
        {"ls --bogus", 2, ""},
    };
    for (const auto& c : cases) {
        RunResult r = Quillon(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.names), std::string::npos) << c.args << "\n" << r.err;
    }
    ExpectClean();
}

TEST_P(VolumeRoundTrip, AFullVolumeLeavesNoHalfWrittenFile) {
    const std::uint64_t too_big = GetParam().bytes + (1u << 20);
    {
        std::ofstream big(Local("big.bin"), std::ios::binary);
        big.seekp(static_cast<std::streamoff>(too_big - 1));
        big.put('x');
    }
    RunResult r = Quillon("put " + Quote(Local("big.bin")));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("full"), std::string::npos) << r.err;
    RunResult ls = Quillon("ls /");
    EXPECT_EQ(ls.out.find("big.bin"), std::string::npos) << ls.out;
    ExpectClean();
    WriteFileBytes(Local("small.bin"), Pattern(5000, 5));
    EXPECT_EQ(Quillon("put " + Quote(Local("small.bin"))).exit_code, 0);  // room again
    ExpectClean();
}

TEST_P(VolumeRoundTrip, NewEntriesCarryTheLocalModificationTime) {
    fs::create_directories(Local("dated"));
    WriteFileBytes(Local("dated/old.txt"), Pattern(10, 1));
    ASSERT_EQ(testsupport::Run("touch -d '2021-03-04 05:06:30' " + Quote(Local("dated/old.txt")) + " " +
                               Quote(Local("dated"))).exit_code, 0);
    ASSERT_EQ(Quillon("put " + Quote(Local("dated"))).exit_code, 0);
    for (const char* folder : {"/", "/dated"}) {
        RunResult ls = Quillon(std::string("--json ls ") + folder);
        ASSERT_EQ(ls.exit_code, 0) << ls.err;
        EXPECT_EQ(nlohmann::json::parse(ls.out)[0]["modified"], "21-03-04 05:06") << folder;
    }
    RunResult listing = Mtools("mdir -i " + Quote(image) + " ::/dated");
    EXPECT_NE(listing.out.find("2021-03-04   5:06"), std::string::npos) << listing.out;
}

INSTANTIATE_TEST_SUITE_P(Fat, VolumeRoundTrip,
                         ::testing::Values(Layout{"FAT16", 48u << 20, "-F 16 -s 4", 2048},
                                           Layout{"FAT32", 300u << 20, "-F 32 -s 8", 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VolumeCommands, DamagedImageIsRefused) {
    std::string image = ScratchDir() + "/bad.img";
    MakeEmptyImage(image, 1 << 20);
    RunResult r = Cli("--image " + Quote(image) + " --start 0 ls /");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(image), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("FAT_FS: Error could not load FAT details (-3)!"), std::string::npos) << r.out;
}

TEST(VolumeCommands, InfoJsonMatchesTheGeometry) {
    std::string image = ScratchDir() + "/v.img";
    MakeFatImage(image, 300u << 20, "-F 32 -s 8");
    RunResult r = Cli("--image " + Quote(image) + " --start 0 info --json");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto info = nlohmann::json::parse(r.out);
    EXPECT_EQ(info["type"], "FAT32");
    EXPECT_EQ(info["volume_start"], 0);
    EXPECT_EQ(info["sectors_per_cluster"], 8);
    EXPECT_EQ(info["fats"], 2);
    EXPECT_EQ(info["root_entries"], 0);
    EXPECT_EQ(info["root_cluster"], 2);
    EXPECT_EQ(info["free_clusters"].get<std::uint32_t>() + 1, info["cluster_count"].get<std::uint32_t>());
    std::vector<std::string> keys;
    for (auto it = info.begin(); it != info.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys.size(), 10u);
}

TEST(VolumeCommands, CameraOptionWorksOnTheHiddenVolume) {
    const std::string dir = ScratchDir();
    ASSERT_EQ(Cli("make-camera " + Quote(dir + "/cam")).exit_code, 0);
    const std::string camera = "--camera " + Quote(dir + "/cam/camera.json") + " ";
    WriteFileBytes(dir + "/note.txt", {'h', 'i'});
    ASSERT_EQ(Cli(camera + "put " + Quote(dir + "/note.txt") + " /").exit_code, 0);
    RunResult ls = Cli(camera + "--json ls /");
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_NE(ls.out.find("\"note.txt\""), std::string::npos) << ls.out;
    EXPECT_EQ(Fsck(dir + "/cam/system.img", 0x40000ull * 512).exit_code, 0);
    RunResult wrong_start = Cli(camera + "--start 0 ls /");
    EXPECT_EQ(wrong_start.exit_code, 1);
    EXPECT_NE(wrong_start.err.find("camera.json"), std::string::npos) << wrong_start.err;
}

}  // namespace
