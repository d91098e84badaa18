// The platform the core uses until a program installs its backend: it
// reaches local files and nothing else, so no backend is picked below the
// programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;
using platform::DeviceAccess;
using platform::FileMode;

namespace {

// ctest runs every test in a process of its own, and the tests that install
// a platform put the previous one back, so this sees the start-up state.
TEST(LocalFilesPlatform, IsInUseUntilABackendIsInstalled) {
    EXPECT_EQ(dynamic_cast<platform::SimulatedPlatform*>(&platform::CurrentPlatform()), nullptr);
    EXPECT_TRUE(platform::CurrentPlatform().Interfaces(platform::InterfaceClass::Disk).empty());
}

TEST(LocalFilesPlatform, ReachesNoDriveVolumeOrDevice) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/disk.img";
    MakeEmptyImage(image, 4 * 512);
    auto local = platform::MakeLocalFilesPlatform();

    // A disk image is a local file, but no device name leads to it.
    const std::vector<std::string> names = {"\\\\.\\PHYSICALDRIVE0", "\\\\.\\E:", "\\\\?\\usbstor#disk", image};
    for (const std::string& name : names) {
        for (DeviceAccess access : {DeviceAccess::Query, DeviceAccess::Read, DeviceAccess::ReadWrite})
            EXPECT_FALSE(local->OpenDevice(name, access)) << name;
        std::uint32_t number = 7;
        EXPECT_FALSE(local->DeviceNumber(name, &number)) << name;
        EXPECT_EQ(number, 7u) << name;
    }
    const std::vector<std::string> roots = {"C:\\", "E:\\", dir};
    for (const std::string& root : roots) {
        std::string label = "kept";
        std::uint64_t total = 0;
        platform::DiskFreeSpace space{};
        EXPECT_EQ(local->GetDriveType(root), platform::DriveType::Unknown) << root;
        EXPECT_FALSE(local->VolumeLabel(root, &label)) << root;
        EXPECT_EQ(label, "kept") << root;
        EXPECT_FALSE(local->TotalBytes(root, &total)) << root;
        EXPECT_FALSE(local->FreeSpace(root, &space)) << root;
    }
    EXPECT_TRUE(local->Interfaces(platform::InterfaceClass::Disk).empty());
    EXPECT_TRUE(local->Interfaces(platform::InterfaceClass::CdRom).empty());
    for (auto control : {platform::VolumeControl::Lock, platform::VolumeControl::Dismount,
                         platform::VolumeControl::Eject})
        EXPECT_FALSE(local->ControlVolume("\\\\.\\E:", control));
}

// The update run copies its update file from a local folder; that must work
// whichever backend is installed, this one included.
TEST(LocalFilesPlatform, LocalFilesAreCreatedGrownAndReadBack) {
    const std::string dir = ScratchDir();
    auto local = platform::MakeLocalFilesPlatform();
    const std::string path = dir + "/APP_DATA.BIN";
    const std::vector<std::uint8_t> data(3000, 0x6B);

    auto created = local->OpenFile(path, FileMode::CreateTruncate);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->Write(data.data(), data.size()), data.size());
    EXPECT_TRUE(created->Flush());
    created.reset();
    EXPECT_EQ(ReadFileBytes(path), data);

    auto read = local->OpenFile(path, FileMode::ReadExisting);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Size(), static_cast<std::int64_t>(data.size()));
    std::vector<std::uint8_t> back(data.size());
    EXPECT_EQ(read->Read(back.data(), back.size()), back.size());
    EXPECT_EQ(back, data);
    // Opened for reading, the file refuses writes.
    ASSERT_TRUE(read->Seek(0));
    EXPECT_EQ(read->Write(data.data(), 1), 0u);

    EXPECT_FALSE(local->OpenFile(dir + "/missing", FileMode::ReadExisting));
    EXPECT_FALSE(local->OpenFile(dir, FileMode::ReadExisting));
}

// On this host "E:\APP_DATA.BIN" is a legal local name; taking it as one
// would write the update into the working folder instead of onto a drive.
TEST(LocalFilesPlatform, DriveRootPathsNameNoLocalFile) {
    const std::string dir = ScratchDir();
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    auto local = platform::MakeLocalFilesPlatform();
    for (const char* path : {"E:\\APP_DATA.BIN", "e:/APP_DATA.BIN", "E:"}) {
        EXPECT_FALSE(local->OpenFile(path, FileMode::CreateTruncate)) << path;
        EXPECT_FALSE(local->OpenFile(path, FileMode::ReadExisting)) << path;
    }
    fs::current_path(before);
    EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
