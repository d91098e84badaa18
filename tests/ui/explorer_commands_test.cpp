// The explorer's file commands on real images: what they write, other tools
// read back the same; what fails leaves nothing half-done behind; names from
// the volume never lead a save out of its folder.
#include "ui/explorer_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "fat/engine_fixture.h"

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

constexpr std::size_t kChunkFile = 100000;  // four chunks of the console copy
constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;
constexpr std::uint64_t kMoreThanTheVolume = 48u << 20;
const std::string kTripFolder = "2014.05 trip";
const std::string kSubFolder = "sub dir.x";

// Fails every read that touches one sector, as a medium with a bad spot.
class BadSectorDevice : public fat::BlockDevice {
public:
    BadSectorDevice(std::unique_ptr<fat::BlockDevice> inner, std::uint32_t bad) : inner_(std::move(inner)), bad_(bad) {}
    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        return !(sector <= bad_ && bad_ - sector < count) && inner_->Read(sector, buffer, count);
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        return inner_->Write(sector, buffer, count);
    }

private:
    std::unique_ptr<fat::BlockDevice> inner_;
    std::uint32_t bad_;
};

std::set<std::string> NamesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

class ExplorerCommands : public EngineFixture {
protected:
    void Fresh(EngineImage kind = EngineImage::kFat16) {
        MountFresh(kind);
        local = fs::path(image).parent_path() / "local";
        fs::create_directories(local);
    }
    fat::Volume& Vol() { return fat::DefaultVolume(); }

    fs::path LocalFile(const std::string& relative, const std::vector<std::uint8_t>& bytes) {
        const fs::path path = local / relative;
        fs::create_directories(path.parent_path());
        WriteFileBytes(path.string(), bytes);
        return path;
    }
    // A file that reads as zeros and costs no room on this computer's disk.
    fs::path SparseFile(const std::string& relative, std::uint64_t size) {
        const fs::path path = LocalFile(relative, {});
        fs::resize_file(path, size);
        return path;
    }
    // The trip folder: a file, an empty file, and a subfolder whose name
    // holds dots and blanks with a file of several chunks.
    fs::path TripFolder() {
        LocalFile(kTripFolder + "/a.txt", {'a', '\n'});
        LocalFile(kTripFolder + "/empty.dat", {});
        LocalFile(kTripFolder + "/" + kSubFolder + "/Photo Of The Day.jpeg", Pattern(kChunkFile));
        return local / kTripFolder;
    }
    void ImportOk(const fs::path& path, const std::string& into = "/", const TransferControl& control = {}) {
        const ExplorerResult r = ImportLocalPath(Vol(), path, into, control);
        ASSERT_TRUE(r.ok) << r.message;
    }
    bool OnVolume(const std::string& path) {
        FatEntryInfo info{};
        return Vol().Lookup(path, &info) == fat::Result::Ok;
    }
    std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

    fs::path local;
};

// ---- import ------------------------------------------------------------------

TEST_F(ExplorerCommands, ImportsFilesAndNestedFoldersUnderTheirWholeNames) {
    for (const EngineImage kind : {EngineImage::kFat16, EngineImage::kFat32}) {
        SCOPED_TRACE(EngineImageName(kind));
        Fresh(kind);
        const fs::path loose = LocalFile("A Long File Name.text", Pattern(3000, 2));
        std::vector<TransferProgress> seen;
        TransferControl control;
        control.progress = [&seen](const TransferProgress& p) {
            seen.push_back(p);
            return true;
        };
        const ExplorerResult folder = ImportLocalFolder(Vol(), TripFolder(), "/", control);
        ASSERT_TRUE(folder.ok) << folder.message;
        EXPECT_EQ(folder.entry, "/" + kTripFolder);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().done, seen.back().total);
        EXPECT_EQ(seen.back().total, 2 + kChunkFile);
        const ExplorerResult file = ImportLocalFile(Vol(), loose, "/" + kTripFolder, {});
        ASSERT_TRUE(file.ok) << file.message;
        EXPECT_EQ(file.entry, "/" + kTripFolder + "/A Long File Name.text");

        EXPECT_EQ(MtoolsRead("/" + kTripFolder + "/a.txt"), Bytes("a\n"));
        EXPECT_TRUE(MtoolsRead("/" + kTripFolder + "/empty.dat").empty());
        EXPECT_EQ(MtoolsRead("/" + kTripFolder + "/" + kSubFolder + "/Photo Of The Day.jpeg"), Pattern(kChunkFile));
        EXPECT_EQ(MtoolsRead("/" + kTripFolder + "/A Long File Name.text"), Pattern(3000, 2));
        EXPECT_NE(MtoolsDir("/").find(kTripFolder), std::string::npos) << MtoolsDir("/");
        EXPECT_NE(MtoolsDir("/" + kTripFolder).find(kSubFolder), std::string::npos);
        ExpectFsckClean();
    }
}

// The console copy's caption follows the file chunk by chunk.
TEST_F(ExplorerCommands, ProgressCaptionsFollowTheChunks) {
    Fresh();
    std::vector<std::string> captions;
    TransferControl control;
    control.progress = [&captions](const TransferProgress& p) {
        captions.push_back(p.Caption());
        return true;
    };
    ImportOk(LocalFile("x.bin", Pattern(kChunkFile)), "/", control);
    EXPECT_EQ(captions, (std::vector<std::string>{"Written 32768 of 100000 (32%)", "Written 65536 of 100000 (65%)",
                                                  "Written 98304 of 100000 (98%)",
                                                  "Written 100000 of 100000 (100%)"}));
    const struct {
        std::uint64_t done, total;
        const char* caption;
    } cases[] = {
        {32768, 32768, "Written 32768 of 32768 (100%)"},
        {0, 30000000, "Written 0 of 30000000 (0%)"},
        {29999999, 30000000, "Written 29999999 of 30000000 (99%)"},
        {4294967294u, 4294967295u, "Written 4294967294 of 4294967295 (99%)"},
        {0, 0, "Written 0 of 0 (100%)"},
    };
    for (const auto& c : cases) EXPECT_EQ(WrittenCaption(c.done, c.total), c.caption);
}

TEST_F(ExplorerCommands, AFileOfFourGiBIsRefusedBeforeAnythingIsWritten) {
    const struct {
        const char* what;
        bool in_folder;
    } cases[] = {{"a file", false}, {"a folder holding one", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        LocalFile("big/first.txt", Bytes("first"));
        const fs::path big = SparseFile("big/huge.bin", kFourGiB);
        const auto before = ReadFileBytes(image);
        const ExplorerResult r = ImportLocalPath(Vol(), c.in_folder ? big.parent_path() : big, "/", {});
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.message.find("huge.bin"), std::string::npos) << r.message;
        EXPECT_NE(r.message.find("4 GiB"), std::string::npos) << r.message;
        EXPECT_EQ(r.entry, big.string());
        EXPECT_TRUE(ListNames("/").empty());
        EXPECT_TRUE(ReadFileBytes(image) == before);
    }
}

// A write the volume cannot take ends the file: a new one is gone, a
// replaced one keeps its old content, and the clusters are free again.
TEST_F(ExplorerCommands, AFailedWriteOnAFullVolumeLeavesNoPartialFile) {
    for (const bool replacing : {false, true}) {
        SCOPED_TRACE(replacing ? "replacing" : "new");
        Fresh();
        if (replacing) ImportOk(LocalFile("old/big.bin", Bytes("old")));
        std::uint32_t free_before = 0;
        ASSERT_EQ(Vol().CountFreeClusters(&free_before), fat::Result::Ok);
        TransferControl control;
        control.replace = [](const std::string&) { return true; };
        const ExplorerResult r = ImportLocalFile(Vol(), SparseFile("big.bin", kMoreThanTheVolume), "/", control);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.entry, "/big.bin");
        EXPECT_NE(r.message.find("big.bin"), std::string::npos) << r.message;
        std::uint32_t free_after = 0;
        ASSERT_EQ(Vol().CountFreeClusters(&free_after), fat::Result::Ok);
        EXPECT_EQ(free_after, free_before);
        EXPECT_EQ(OnVolume("/big.bin"), replacing);
        if (replacing) {
            EXPECT_EQ(MtoolsRead("/big.bin"), Bytes("old"));
        }
        if (!replacing) {
            EXPECT_EQ(MtoolsDir("/").find("big"), std::string::npos) << MtoolsDir("/");
        }
        ExpectFsckClean();
    }
}

TEST_F(ExplorerCommands, AnExistingFileIsReplacedOnlyWhenTheUserSaysSo) {
    const struct {
        const char* what;
        int answer;  // -1: nobody to ask
        const char* expected;
        const char* says;  // the start of the message
    } cases[] = {{"yes", 1, "new", "Imported 'x.txt'"},
                 {"no", 0, "old", "Nothing was imported.\nKept '/x.txt' as it was"},
                 {"nobody asked", -1, "old", "Nothing was imported.\nKept '/x.txt' as it was"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        ImportOk(LocalFile("old/x.txt", Bytes("old")));
        std::vector<std::string> asked;
        TransferControl control;
        if (c.answer >= 0)
            control.replace = [&](const std::string& existing) {
                asked.push_back(existing);
                return c.answer == 1;
            };
        const ExplorerResult r = ImportLocalFile(Vol(), LocalFile("x.txt", Bytes("new")), "/", control);
        EXPECT_TRUE(r.ok) << r.message;
        EXPECT_EQ(r.message.rfind(c.says, 0), 0u) << r.message;
        EXPECT_EQ(asked, c.answer >= 0 ? std::vector<std::string>{"/x.txt"} : std::vector<std::string>{});
        EXPECT_EQ(ListNames("/"), std::vector<std::string>{"x.txt"});
        EXPECT_EQ(MtoolsRead("/x.txt"), Bytes(c.expected));
        ExpectFsckClean();
    }
}

// Cancelling in the middle of a file leaves that file out on either side.
TEST_F(ExplorerCommands, CancellingLeavesOutTheFileInHand) {
    for (const bool saving : {false, true}) {
        SCOPED_TRACE(saving ? "save" : "import");
        Fresh();
        if (saving) ImportOk(LocalFile("in/c.bin", Pattern(kChunkFile)));
        TransferControl control;
        control.progress = [](const TransferProgress& p) { return p.file_done < p.file_total / 2; };
        const fs::path out = local / "out";
        fs::create_directories(out);
        const ExplorerResult r = saving ? SaveVolumeEntry(Vol(), "/c.bin", out, control)
                                        : ImportLocalFile(Vol(), LocalFile("c.bin", Pattern(kChunkFile)), "/", control);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.message.find("cancelled"), std::string::npos) << r.message;
        EXPECT_TRUE(NamesIn(out).empty());
        EXPECT_EQ(OnVolume("/c.bin"), saving);
        ExpectFsckClean();
    }
}

// ---- delete and rename -------------------------------------------------------

TEST_F(ExplorerCommands, DeletesAFolderWithEverythingInsideAndFiles) {
    Fresh(EngineImage::kFat32);
    ImportOk(TripFolder());
    ImportOk(LocalFile("keep.txt", Bytes("keep")));
    ImportOk(LocalFile("gone.txt", Bytes("gone")));
    for (const std::string& path : {"/" + kTripFolder, std::string("/gone.txt")}) {
        const ExplorerResult r = DeleteVolumeEntry(Vol(), path);
        EXPECT_TRUE(r.ok) << r.message;
        EXPECT_EQ(r.entry, path);
    }
    EXPECT_EQ(ListNames("/"), std::vector<std::string>{"keep.txt"});
    const ExplorerResult missing = DeleteVolumeEntry(Vol(), "/gone.txt");
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.message.find("'gone.txt'"), std::string::npos) << missing.message;
    EXPECT_FALSE(DeleteVolumeEntry(Vol(), "/").ok);
    EXPECT_EQ(MtoolsRead("/keep.txt"), Bytes("keep"));
    ExpectFsckClean();
}

TEST_F(ExplorerCommands, RenamesLongAndShortNames) {
    const struct {
        const char* from;
        const char* to;
        bool folder;
    } cases[] = {
        {"a.txt", "b.txt", false},
        {"a.txt", "A Much Longer Name.text", false},
        {"Long Name File.dat", "s.dat", false},
        {"Long Name File.dat", "Another Long Name.dat", false},
        {"Folder With Long Name", "F2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        Fresh();
        if (c.folder)
            ImportOk(LocalFile(std::string(c.from) + "/in.txt", Bytes("in")).parent_path());
        else
            ImportOk(LocalFile(c.from, Bytes(c.from)));
        const ExplorerResult r = RenameVolumeEntry(Vol(), std::string("/") + c.from, c.to);
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_EQ(r.entry, std::string("/") + c.to);
        EXPECT_EQ(ListNames("/"), std::vector<std::string>{c.to});
        EXPECT_EQ(MtoolsRead(c.folder ? std::string("/") + c.to + "/in.txt" : std::string("/") + c.to),
                  Bytes(c.folder ? "in" : c.from));
        ExpectFsckClean();
    }
}

TEST_F(ExplorerCommands, ARenameThatCannotBeDoneSaysWhy) {
    Fresh();
    ImportOk(LocalFile("a.txt", Bytes("a")));
    ImportOk(LocalFile("b.txt", Bytes("b")));
    const struct {
        const char* to;
        bool ok;
        std::string says;
    } cases[] = {
        {"a.txt", true, ""},
        {"", true, ""},
        {"a:b", false, "A file name cannot contain any of the following characters: \r\n\t \\ / :  * ? \" < > | "},
        {"b.txt", false, fat::ResultText(fat::Result::Exists)},
        {"trailing.", false, fat::ResultText(fat::Result::BadName)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        const ExplorerResult r = RenameVolumeEntry(Vol(), "/a.txt", c.to);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_NE(r.message.find(c.says), std::string::npos) << r.message;
        if (c.says.empty()) {
            EXPECT_TRUE(r.message.empty()) << r.message;
        }
    }
    EXPECT_EQ(MtoolsRead("/a.txt"), Bytes("a"));
    EXPECT_EQ(MtoolsRead("/b.txt"), Bytes("b"));
}

// ---- save --------------------------------------------------------------------

TEST_F(ExplorerCommands, SavesFilesAndFoldersWithTheirContents) {
    Fresh(EngineImage::kFat32);
    ImportOk(TripFolder());
    const fs::path out = local / "out";
    fs::create_directories(out);
    const ExplorerResult folder = SaveVolumeEntry(Vol(), "/" + kTripFolder, out, {});
    ASSERT_TRUE(folder.ok) << folder.message;
    EXPECT_EQ(folder.message, "Save completed");
    EXPECT_EQ(folder.entry, (out / kTripFolder).string());
    EXPECT_EQ(ReadFileBytes((out / kTripFolder / "a.txt").string()), Bytes("a\n"));
    EXPECT_TRUE(ReadFileBytes((out / kTripFolder / "empty.dat").string()).empty());
    EXPECT_EQ(ReadFileBytes((out / kTripFolder / kSubFolder / "Photo Of The Day.jpeg").string()), Pattern(kChunkFile));

    const fs::path chosen = local / "chosen name.bin";
    const ExplorerResult file =
        SaveVolumeEntryAs(Vol(), "/" + kTripFolder + "/" + kSubFolder + "/Photo Of The Day.jpeg", chosen, {});
    ASSERT_TRUE(file.ok) << file.message;
    EXPECT_EQ(ReadFileBytes(chosen.string()), Pattern(kChunkFile));
}

TEST_F(ExplorerCommands, AnExistingLocalFileIsOverwrittenOnlyWhenTheUserSaysSo) {
    Fresh();
    ImportOk(LocalFile("in/x.txt", Bytes("volume")));
    for (const bool answer : {false, true}) {
        SCOPED_TRACE(answer ? "yes" : "no");
        const fs::path out = local / "out";
        fs::remove_all(out);
        LocalFile("out/x.txt", Bytes("local"));
        std::vector<std::string> asked;
        TransferControl control;
        control.replace = [&](const std::string& existing) {
            asked.push_back(existing);
            return answer;
        };
        const ExplorerResult r = SaveVolumeEntry(Vol(), "/x.txt", out, control);
        EXPECT_TRUE(r.ok) << r.message;
        EXPECT_EQ(asked, std::vector<std::string>{(out / "x.txt").string()});
        EXPECT_EQ(ReadFileBytes((out / "x.txt").string()), Bytes(answer ? "volume" : "local"));
        EXPECT_EQ(NamesIn(out), std::set<std::string>{"x.txt"});
    }
}

// Names the engine would never make, as a damaged or foreign volume may
// hold them: the long names of two files are changed in the image itself.
TEST_F(ExplorerCommands, NamesFromTheVolumeAreMadeSafeAndStayInTheFolder) {
    Fresh();
    ASSERT_TRUE(Vol().MakeDirectory("/odd") == fat::Result::Ok);
    const struct {
        const char* made;
        const char* shown;  // as long, in the same number of characters
    } odd[] = {{"q+", ".."}, {"a+b", "a\\b"}};
    ImportOk(LocalFile("q+", Bytes("dots")), "/odd");
    ImportOk(LocalFile("a+b", Bytes("backslash")), "/odd");
    ImportOk(LocalFile("a_b", Bytes("plain")), "/odd");
    fat::DefaultVolume().Unmount();
    auto bytes = ReadFileBytes(image);
    for (const auto& o : odd) {
        // The one long-name slot of the name: its order byte, then UTF-16.
        std::vector<std::uint8_t> slot = {0x41};
        for (const char* c = o.made; *c; ++c) slot.insert(slot.end(), {static_cast<std::uint8_t>(*c), 0});
        slot.insert(slot.end(), {0, 0});
        const auto at = std::search(bytes.begin(), bytes.end(), slot.begin(), slot.end());
        ASSERT_NE(at, bytes.end()) << o.made;
        for (std::size_t i = 0; o.shown[i]; ++i)
            at[static_cast<long>(1 + 2 * i)] = static_cast<std::uint8_t>(o.shown[i]);
    }
    WriteFileBytes(image, bytes);
    Remount();
    ASSERT_EQ(ListNames("/odd"), (std::vector<std::string>{".", "..", "..", "a\\b", "a_b"}));

    const fs::path out = local / "out";
    fs::create_directories(out);
    const ExplorerResult r = SaveVolumeEntry(Vol(), "/odd", out, {});
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(NamesIn(out), std::set<std::string>{"odd"});
    EXPECT_EQ(NamesIn(out / "odd"), (std::set<std::string>{".._", "a_b", "a_b (2)"}));
    EXPECT_EQ(ReadFileBytes((out / "odd" / ".._").string()), Bytes("dots"));
    std::set<std::vector<std::uint8_t>> both = {ReadFileBytes((out / "odd" / "a_b").string()),
                                                ReadFileBytes((out / "odd" / "a_b (2)").string())};
    EXPECT_EQ(both, (std::set<std::vector<std::uint8_t>>{Bytes("backslash"), Bytes("plain")}));
}

// A read the medium fails part-way through a file: the copy it had begun is
// removed, and a file it was to replace stays as it was.
TEST_F(ExplorerCommands, AShortReadRemovesThePartialLocalFile) {
    for (const bool replacing : {false, true}) {
        SCOPED_TRACE(replacing ? "replacing" : "new");
        Fresh();
        ImportOk(LocalFile("in/r.bin", Pattern(kChunkFile)));
        FatEntryInfo info{};
        ASSERT_EQ(Vol().Lookup("/r.bin", &info), fat::Result::Ok);
        const std::uint32_t cluster_bytes = Volume().sectors_per_cluster * kSectorSize;
        const std::vector<std::uint32_t> chain = Chain(info.first_cluster);
        const std::uint32_t late = (kChunkFile - 1000) / cluster_bytes;
        ASSERT_LT(late, chain.size());
        const std::uint32_t bad = FatClusterToSector(Volume(), chain[late]);
        ASSERT_EQ(MountDevice(std::make_unique<BadSectorDevice>(OpenImageDevice(), bad)), kFatMountOk);

        const fs::path out = local / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        if (replacing) LocalFile("out/r.bin", Bytes("kept"));
        TransferControl control;
        control.replace = [](const std::string&) { return true; };
        const ExplorerResult r = SaveVolumeEntry(Vol(), "/r.bin", out, control);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.entry, "/r.bin");
        EXPECT_NE(r.message.find("/r.bin"), std::string::npos) << r.message;
        EXPECT_EQ(NamesIn(out), replacing ? std::set<std::string>{"r.bin"} : std::set<std::string>{});
        if (replacing) {
            EXPECT_EQ(ReadFileBytes((out / "r.bin").string()), Bytes("kept"));
        }
    }
}

}  // namespace
