// quillon-cli get: where the copy lands. The destination is replaced only
// by a complete copy; the disk image being read, devices and other files
// that are not regular files are never written; a failed get leaves every
// local file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "transfer/local_destination.h"
#include "device/camera_layout.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kVolumeBytes = 16u << 20;
constexpr std::size_t kInnerImageBytes = 300000;
constexpr std::uint64_t kCutImageBytes = 128u << 10;
const std::vector<std::uint8_t> kNoteBytes = {'n', 'o', 't', 'e', '\n'};
const std::vector<std::uint8_t> kKeptBytes = {'k', 'e', 'p', 't', '\n'};

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 0x9E3779B9;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

std::set<std::string> NamesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// A volume image "disk.img" holding /note.txt and a file that is also
// called disk.img, as a user who keeps images inside images would have.
class GetDestination : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/disk.img";
        MakeFatImage(image, kVolumeBytes, "-F 16");
        fs::create_directories(dir + "/in");
        WriteFileBytes(dir + "/in/note.txt", kNoteBytes);
        WriteFileBytes(dir + "/in/disk.img", Pattern(kInnerImageBytes));
        ASSERT_EQ(Quillon("put " + Quote(dir + "/in/note.txt")).exit_code, 0);
        ASSERT_EQ(Quillon("put " + Quote(dir + "/in/disk.img")).exit_code, 0);
        fs::remove_all(dir + "/in");
        image_bytes = ReadFileBytes(image);
    }

    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }
    // The same from inside the image's folder, naming the image relatively.
    RunResult QuillonInFolder(const std::string& args) {
        return testsupport::Run("cd " + Quote(dir) + " && " + Quote(QUILLON_CLI_PATH) + " --image disk.img --start 0 " +
                                args);
    }

    // Every refusal leaves the image whole and no stray file behind.
    void ExpectNothingChanged(const std::set<std::string>& names_before, const std::string& what) {
        EXPECT_TRUE(ReadFileBytes(image) == image_bytes) << what << ": the image changed";
        EXPECT_EQ(NamesIn(dir), names_before) << what;
    }

    std::string dir, image;
    std::vector<std::uint8_t> image_bytes;
};

TEST_F(GetDestination, TheImageBeingReadIsNeverTheDestination) {
    fs::create_symlink("disk.img", dir + "/link.img");
    fs::create_hard_link(image, dir + "/hard.img");
    const struct {
        const char* name;
        std::string source;
        std::string destination;
    } cases[] = {
        {"its own path", "/note.txt", image},
        {"a folder where the file's name is the image", "/disk.img", dir},
        {"the folder given as .", "/disk.img", "."},
        {"a symbolic link to it", "/note.txt", dir + "/link.img"},
        {"a hard link to it", "/note.txt", dir + "/hard.img"},
    };
    const std::set<std::string> names = NamesIn(dir);
    for (const auto& c : cases) {
        const RunResult r = QuillonInFolder("get " + Quote(c.source) + " " + Quote(c.destination));
        EXPECT_EQ(r.exit_code, 1) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find("is the disk image"), std::string::npos) << c.name << "\n" << r.err;
        ExpectNothingChanged(names, c.name);
    }
    // The image still reads: the refusals wrote nothing to it.
    const RunResult back = Quillon("get /note.txt " + Quote(dir + "/back.txt"));
    ASSERT_EQ(back.exit_code, 0) << back.err;
    EXPECT_EQ(ReadFileBytes(dir + "/back.txt"), kNoteBytes);
}

TEST_F(GetDestination, AFailedCopyLeavesTheDestinationAsItWas) {
    // Cut the image short: the volume still mounts, but most of the inner
    // image's clusters (from about 52 KiB to 350 KiB) now lie beyond the end
    // of the file and cannot be read.
    fs::resize_file(image, kCutImageBytes);
    WriteFileBytes(dir + "/existing.bin", kKeptBytes);
    fs::permissions(dir + "/existing.bin", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::set<std::string> names = NamesIn(dir);
    for (const std::string& destination : {dir + "/existing.bin", dir + "/new.bin"}) {
        const RunResult r = Quillon("get /disk.img " + Quote(destination));
        EXPECT_EQ(r.exit_code, 1) << destination;
        EXPECT_NE(r.err.find("cannot read /disk.img"), std::string::npos) << r.err;
        EXPECT_EQ(NamesIn(dir), names) << destination << ": a partial or temporary file was left";
    }
    EXPECT_EQ(ReadFileBytes(dir + "/existing.bin"), kKeptBytes);
    EXPECT_EQ(fs::status(dir + "/existing.bin").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// As root every file can be unlinked, a device node too: a failed get must
// remove only the file it made itself.
TEST_F(GetDestination, AFailedGetRemovesNothingItDidNotCreate) {
    fs::create_symlink("/dev/full", dir + "/full-link");
    WriteFileBytes(dir + "/existing.bin", kKeptBytes);
    struct stat full_before {};
    ASSERT_EQ(::stat("/dev/full", &full_before), 0);
    ASSERT_TRUE(S_ISCHR(full_before.st_mode));
    const struct {
        const char* name;
        std::string destination;
        bool cut_image;  // the read fails half-way instead of the write
    } cases[] = {
        {"the device /dev/full", "/dev/full", false},
        {"a link to /dev/full", dir + "/full-link", false},
        {"an existing file, the copy failing", dir + "/existing.bin", true},
        {"a link to an existing file, the copy failing", dir + "/full-link", true},
    };
    for (const auto& c : cases) {
        if (c.cut_image) {
            fs::resize_file(image, kCutImageBytes);
            fs::remove(dir + "/full-link");
            fs::create_symlink("existing.bin", dir + "/full-link");
        }
        const std::set<std::string> names = NamesIn(dir);
        const RunResult r = Quillon("get /disk.img " + Quote(c.destination));
        EXPECT_EQ(r.exit_code, 1) << c.name << "\n" << r.err;
        EXPECT_EQ(NamesIn(dir), names) << c.name;
        struct stat full_after {};
        ASSERT_EQ(::stat("/dev/full", &full_after), 0) << c.name << ": /dev/full is gone";
        EXPECT_TRUE(S_ISCHR(full_after.st_mode)) << c.name;
        EXPECT_EQ(full_after.st_rdev, full_before.st_rdev) << c.name;
        EXPECT_EQ(ReadFileBytes(dir + "/existing.bin"), kKeptBytes) << c.name;
    }
    EXPECT_TRUE(fs::is_symlink(dir + "/full-link"));
}

TEST_F(GetDestination, DestinationsThatAreNoRegularFileAreRefused) {
    fs::create_directories(dir + "/folder/note.txt");
    const std::set<std::string> names = NamesIn(dir);
    const struct {
        const char* name;
        std::string destination;
        const char* message;
    } cases[] = {
        {"a device", "/dev/null", "is not a regular file"},
        {"a folder already holding a folder of the file's name", dir + "/folder", "is a folder"},
    };
    for (const auto& c : cases) {
        const RunResult r = Quillon("get /note.txt " + Quote(c.destination));
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << "\n" << r.err;
        ExpectNothingChanged(names, c.name);
    }
    struct stat device {};
    ASSERT_EQ(::stat("/dev/null", &device), 0);
    EXPECT_TRUE(S_ISCHR(device.st_mode));
    EXPECT_TRUE(fs::is_directory(dir + "/folder/note.txt"));
}

TEST_F(GetDestination, ACompleteCopyReplacesTheFileAndKeepsLinksAndPermissions) {
    WriteFileBytes(dir + "/target.txt", kKeptBytes);
    fs::permissions(dir + "/target.txt", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("target.txt", dir + "/via-link.txt");
    const RunResult direct = Quillon("get /note.txt " + Quote(dir + "/target.txt"));
    ASSERT_EQ(direct.exit_code, 0) << direct.err;
    EXPECT_EQ(ReadFileBytes(dir + "/target.txt"), kNoteBytes);
    EXPECT_EQ(fs::status(dir + "/target.txt").permissions(), fs::perms::owner_read | fs::perms::owner_write);

    WriteFileBytes(dir + "/target.txt", kKeptBytes);
    const RunResult linked = Quillon("get /note.txt " + Quote(dir + "/via-link.txt"));
    ASSERT_EQ(linked.exit_code, 0) << linked.err;
    EXPECT_TRUE(fs::is_symlink(dir + "/via-link.txt"));
    EXPECT_EQ(ReadFileBytes(dir + "/target.txt"), kNoteBytes);

    fs::create_directories(dir + "/into");
    const RunResult into = Quillon("get /disk.img " + Quote(dir + "/into"));
    ASSERT_EQ(into.exit_code, 0) << into.err;
    EXPECT_EQ(ReadFileBytes(dir + "/into/disk.img"), Pattern(kInnerImageBytes));
    EXPECT_EQ(NamesIn(dir + "/into"), std::set<std::string>{"disk.img"});
}

TEST_F(GetDestination, DashWritesToStandardOutput) {
    const std::set<std::string> names = NamesIn(dir);
    const RunResult r = QuillonInFolder("get /note.txt -");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kNoteBytes.begin(), kNoteBytes.end()));
    EXPECT_EQ(NamesIn(dir), names);
}

// A destination made for the copy is removed when the copy fails, but only
// while its name still holds that file: whatever took the name meanwhile
// belongs to someone else.
TEST(LocalDestinationDiscard, RemovesOnlyTheFileItCreated) {
    const std::string dir = ScratchDir();
    WriteFileBytes(dir + "/other.bin", kKeptBytes);
    const struct {
        const char* name;
        void (*meanwhile)(const std::string& target, const std::string& other);
        bool target_remains;
    } cases[] = {
        {"left as it was made", [](const std::string&, const std::string&) {}, false},
        {"replaced by another file",
         [](const std::string& target, const std::string&) {
             fs::remove(target);
             WriteFileBytes(target, kKeptBytes);
         },
         true},
        {"replaced by a link", [](const std::string& target, const std::string& other) {
             fs::remove(target);
             fs::create_symlink(other, target);
         },
         true},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        // Windows keeps the name of a file open for writing: nobody can put
        // another file or a link there meanwhile.
        if (c.target_remains) continue;
#endif
        const std::string target = dir + "/new.bin";
        fs::remove(target);
        {
            LocalDestination out;
            ASSERT_TRUE(out.Open(target, {})) << c.name;
            ASSERT_TRUE(out.Write(kNoteBytes.data(), kNoteBytes.size())) << c.name;
            c.meanwhile(target, dir + "/other.bin");
        }  // dropped without Commit, as after a failed copy
        EXPECT_EQ(fs::exists(fs::symlink_status(target)), c.target_remains) << c.name;
        if (c.target_remains) {
            EXPECT_EQ(ReadFileBytes(target), kKeptBytes) << c.name;
        }
        EXPECT_EQ(ReadFileBytes(dir + "/other.bin"), kKeptBytes) << c.name;
    }
}

// Under --camera the protected image is the camera's system disk.
TEST(GetDestinationOnCamera, TheSystemImageIsNeverTheDestination) {
    const std::string dir = ScratchDir();
    ASSERT_EQ(Cli("make-camera " + Quote(dir + "/cam")).exit_code, 0);
    const std::string system_image = dir + "/cam/system.img";
    const auto size = fs::file_size(system_image);
    const auto boot_sector = ReadSector(system_image, camera::kHiddenVolumeStartSector);
    const RunResult r = Cli("--camera " + Quote(dir + "/cam/camera.json") + " get /SYSTEM/VERSION.TXT " +
                            Quote(system_image));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("is the disk image"), std::string::npos) << r.err;
    EXPECT_EQ(fs::file_size(system_image), size);
    EXPECT_EQ(ReadSector(system_image, camera::kHiddenVolumeStartSector), boot_sector);
    EXPECT_EQ(Fsck(system_image, std::uint64_t{camera::kHiddenVolumeStartSector} * 512).exit_code, 0);
}

}  // namespace
