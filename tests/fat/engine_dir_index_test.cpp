// The directory index answers "this name is free" and plans the new entry
// without a pass. Each script below runs twice on copies of one image: once
// in a single session, where the index answers whenever it can, and once
// with a mount before every step, where every answer comes from a pass.
// The images must come out byte for byte the same, with the same answers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

using Log = std::vector<std::string>;

class EngineDirIndex : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }

public:
    // The steps of the scripts below, each adding its outcome to the log.

    // Fixed stamps: runs compared byte for byte must not differ by the clock.
    static constexpr const char* kStamp = "24-03-15 14:30";

    void Put(Log& log, const std::string& path, std::size_t size = 100) {
        const auto data = Pattern(size, static_cast<unsigned>(path.size()));
        FatFile* file = FatOpenWriteStamped(path.c_str(), kStamp);
        bool ok = file != nullptr;
        if (file) {
            ok = FatWriteFile(file, data.data(), static_cast<std::uint32_t>(data.size())) == static_cast<int>(size);
            FatCloseFile(file);
        }
        log.push_back("put " + path + (ok ? " ok" : " failed"));
    }
    void Delete(Log& log, const std::string& path) {
        log.push_back("rm " + path + " " + std::to_string(FatDeleteFile(path.c_str())));
    }
    void MakeDir(Log& log, const std::string& path) {
        log.push_back("mkdir " + path + " " + std::to_string(FatMakeDirectoryStamped(path.c_str(), kStamp)));
    }
    void Rename(Log& log, const std::string& path, const std::string& to) {
        log.push_back("mv " + path + " " + std::to_string(FatRenamePath(path.c_str(), to.c_str())));
    }
    void Look(Log& log, const std::string& path) {
        FatEntryInfo info{};
        const int found = FatLookupEntry(path.c_str(), &info);
        log.push_back("look " + path + " " + (found == 1 ? std::string(info.name) : "-"));
    }
protected:
    // No two visible entries of a directory answer to the same name.
    void ExpectUniqueNames(const char* directory) {
        const auto names = ListNames(directory);
        for (std::size_t i = 0; i < names.size(); ++i)
            for (std::size_t j = i + 1; j < names.size(); ++j)
                EXPECT_EQ(FatNamesMatch(names[i].c_str(), names[j].c_str()), 0)
                    << directory << ": " << names[i] << " / " << names[j];
    }
};

using Step = std::function<void(EngineDirIndex&, Log&)>;

struct Script {
    const char* name;
    const char* mkfs_options;
    std::uint64_t image_bytes;
    // mtools commands run on the fresh image ("IMG" stands for it).
    std::vector<std::string> prepare;
    std::vector<Step> steps;
    std::vector<const char*> directories;  // checked for duplicate names
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }

Step PutMany(std::string prefix, int count, std::size_t size_step = 700) {
    return [=](EngineDirIndex& t, Log& log) {
        for (int i = 0; i < count; ++i)
            t.Put(log, prefix + std::to_string(i) + ".dat", (i % 7) * size_step + 1);
    };
}
Step PutOne(std::string path, std::size_t size = 100) {
    return [=](EngineDirIndex& t, Log& log) { t.Put(log, path, size); };
}
Step DeleteOne(std::string path) {
    return [=](EngineDirIndex& t, Log& log) { t.Delete(log, path); };
}
Step MakeDirOne(std::string path) {
    return [=](EngineDirIndex& t, Log& log) { t.MakeDir(log, path); };
}
Step RenameOne(std::string path, std::string to) {
    return [=](EngineDirIndex& t, Log& log) { t.Rename(log, path, to); };
}
Step LookOne(std::string path) {
    return [=](EngineDirIndex& t, Log& log) { t.Look(log, path); };
}

constexpr std::uint64_t kFat16Bytes = 32u << 20;
constexpr std::uint64_t kFat32Bytes = 40u << 20;

std::vector<Script> Scripts() {
    return {
        {"growth_of_a_fat32_subdirectory", "-F 32 -s 1", kFat32Bytes, {},
         {MakeDirOne("/d"), PutMany("/d/file", 60), LookOne("/d/FILE7.DAT"), LookOne("/d/file60.dat"),
          PutMany("/d/more", 30)},
         {"/d"}},
        {"growth_of_a_fat16_subdirectory", "-F 16 -s 1", kFat16Bytes, {},
         {MakeDirOne("/d"), PutMany("/d/file", 60), PutOne("/d/a name long enough for three parts.txt"),
          PutMany("/d/x", 20)},
         {"/d"}},
        {"growth_of_the_fat32_root", "-F 32 -s 1", kFat32Bytes, {}, {PutMany("/file", 50)}, {"/"}},
        {"the_fat16_root_fills_up", "-F 16 -r 64", kFat16Bytes, {},
         {PutMany("/file", 40), DeleteOne("/file3.dat"), PutOne("/again.dat"), PutOne("/one too many.dat"),
          DeleteOne("/file9.dat"), DeleteOne("/file10.dat"), PutOne("/a long name that takes three slots")},
         {"/"}},
        {"a_deleted_entry_slot_is_reused", "-F 32 -s 1", kFat32Bytes, {},
         {PutMany("/f", 12), DeleteOne("/f3.dat"), DeleteOne("/f7.dat"), PutOne("/n1"),
          PutOne("/a longer name that needs three parts"), PutOne("/f3.dat"), PutMany("/g", 5)},
         {"/"}},
        {"rm_then_put_of_the_same_name", "-F 16", kFat16Bytes, {},
         {PutMany("/f", 10), DeleteOne("/f5.dat"), PutOne("/f5.dat", 3000), PutOne("/F5.DAT", 10),
          LookOne("/f5.dat"), PutOne("/F7.dat", 20), PutMany("/h", 4)},
         {"/"}},
        {"renames", "-F 32 -s 1", kFat32Bytes, {},
         {PutMany("/f", 10), RenameOne("/f2.dat", "renamed long name.txt"), PutOne("/f2.dat"),
          PutOne("/RENAMED LONG NAME.TXT", 7), RenameOne("/f4.dat", "F4.DAT"), PutOne("/f4.dat", 9),
          RenameOne("/f6.dat", "x"), PutOne("/X"), PutMany("/k", 3)},
         {"/"}},
        {"entries_made_by_other_paths", "-F 32 -s 1", kFat32Bytes, {},
         {PutMany("/f", 5), MakeDirOne("/sub"), PutOne("/sub/a"), PutOne("/b"), MakeDirOne("/SUB"),
          MakeDirOne("/sub2"), PutOne("/sub2"), PutOne("/c"), PutMany("/sub/s", 20), PutMany("/t", 20)},
         {"/", "/sub", "/sub2"}},
        {"numeric_tails_of_short_names", "-F 16 -s 1", kFat16Bytes, {},
         {MakeDirOne("/d"), PutMany("/d/longfilename", 14), DeleteOne("/d/longfilename3.dat"),
          PutOne("/d/longfilename99.dat"), PutOne("/d/longfilenameX.dat"), PutOne("/d/LONGFI~1.DAT"),
          PutOne("/d/longfi~1.dat", 5)},
         {"/d"}},
        {"hidden_entries_with_the_same_short_name", "-F 32 -s 1", kFat32Bytes,
         {"mcopy -i IMG /etc/hostname ::/HIDDEN.TXT", "mattrib -i IMG +h ::/HIDDEN.TXT",
          "mcopy -i IMG /etc/hostname ::/SYSTEM.DAT", "mattrib -i IMG +s ::/SYSTEM.DAT"},
         {PutMany("/f", 3), PutOne("/hidden.txt"), PutOne("/HIDDEN.TXT", 50), PutOne("/system.dat"),
          LookOne("/Hidden.txt"), PutMany("/g", 3)},
         {"/"}},
        {"case_and_trailing_spaces", "-F 32 -s 1", kFat32Bytes, {},
         {PutOne("/Report.TXT"), PutOne("/report.txt", 5), PutOne("/report .txt", 6), LookOne("/REPORT.TXT  "),
          PutOne("/name."), PutOne("/name"), PutOne("/NAME.", 3), PutOne("/caf\xc3\xa9.txt"),
          PutOne("/CAF\xc3\xa9.TXT", 4), PutMany("/z", 3)},
         {"/"}},
        {"alternating_directories", "-F 32 -s 1", kFat32Bytes, {},
         {MakeDirOne("/a"), MakeDirOne("/b"),
          [](EngineDirIndex& t, Log& log) {
              for (int i = 0; i < 25; ++i) {
                  t.Put(log, "/a/x" + std::to_string(i), 600);
                  t.Look(log, "/missing" + std::to_string(i));
                  t.Put(log, "/b/x" + std::to_string(i), 1300);
              }
          }},
         {"/", "/a", "/b"}},
    };
}

class EngineDirIndexScripts : public EngineDirIndex, public ::testing::WithParamInterface<Script> {};

TEST_P(EngineDirIndexScripts, OneSessionWritesWhatAFreshMountPerStepWrites) {
    const Script& script = GetParam();
    const std::string dir = ScratchDir();
    const std::string base = dir + "/base.img";
    MakeFatImage(base, script.image_bytes, std::string(script.mkfs_options) + " -i 1234abcd");
    for (std::string command : script.prepare) {
        command.replace(command.find("IMG"), 3, Quote(base));
        const RunResult r = testsupport::Run("MTOOLS_SKIP_CHECK=1 " + command);
        ASSERT_EQ(r.exit_code, 0) << command << ": " << r.err;
    }
    std::vector<std::uint8_t> images[2];
    Log logs[2];
    for (int fresh_mount = 0; fresh_mount < 2; ++fresh_mount) {
        image = dir + "/session" + std::to_string(fresh_mount) + ".img";
        std::filesystem::copy_file(base, image, std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(Mount(image), kFatMountOk);
        for (const Step& step : script.steps) {
            if (fresh_mount) Remount();
            step(*this, logs[fresh_mount]);
        }
        for (const char* directory : script.directories) ExpectUniqueNames(directory);
        images[fresh_mount] = ReadFileBytes(image);
        ExpectFsckClean();
    }
    EXPECT_EQ(logs[0], logs[1]);
    EXPECT_TRUE(images[0] == images[1]);
}

INSTANTIATE_TEST_SUITE_P(Scripts, EngineDirIndexScripts, ::testing::ValuesIn(Scripts()),
                         [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

// An index of one image's root never answers for another image mounted
// through the same record: the name that image already holds is found.
TEST_F(EngineDirIndex, AMountOfAnotherImageForgetsTheIndex) {
    const std::string dir = ScratchDir();
    const std::string first = dir + "/first.img", other = dir + "/other.img";
    MakeFatImage(first, kFat32Bytes, "-F 32 -s 1");
    MakeFatImage(other, kFat32Bytes, "-F 32 -s 1");
    MountImage(other);
    Log log;
    Put(log, "/wanted", 10);
    Put(log, "/only in other", 10);

    MountImage(first);
    for (int i = 0; i < 20; ++i) Put(log, "/f" + std::to_string(i), 10);
    Look(log, "/wanted");  // missing here: the index now covers this root

    MountImage(other);
    Put(log, "/wanted", 20);
    Put(log, "/f3", 5);
    EXPECT_EQ(ListNames("/"), (std::vector<std::string>{"wanted", "only in other", "f3"}));
    ExpectFsckClean();
}

// File data that lands on the sectors of the indexed directory (a chain
// that crosses into it) makes the index forget the directory.
TEST_F(EngineDirIndex, SectorWritesOverTheDirectoryAreSeen) {
    MountFresh(EngineImage::kFat32);
    Log log;
    ASSERT_EQ(FatMakeDirectory("/d"), 1);
    FatEntryInfo info{};
    ASSERT_EQ(FatLookupEntry("/d", &info), 1);
    FatFile* file = FatOpenFile("wb", "/raw.bin");
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < 6; ++i) Put(log, "/d/f" + std::to_string(i), 10);
    Look(log, "/d/wanted");
    // The open file's chain is pointed at the directory's cluster, as
    // damage could leave it; its data then overwrites the directory's entries.
    file->first_cluster = info.first_cluster;
    std::vector<std::uint8_t> sector(kSectorSize, 0);
    std::memcpy(sector.data() + 2 * kFatEntrySize, "WANTED     ", kFatShortNameSize);
    sector[2 * kFatEntrySize + fatentry::kAttribute] = fatentry::kArchive;
    ASSERT_EQ(FatWriteFileSectors(file, 0, sector.data(), 1), 1u);
    file->first_cluster = 0;
    file->size = 0;
    FatCloseFile(file);
    EXPECT_EQ(FatLookupEntry("/d/wanted", &info), 1);
}

}  // namespace
