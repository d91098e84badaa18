// The backend on the computer the tests run on, with the system's own
// enumeration: no camera is attached, so none may be found, and nothing
// may be offered for raw writing.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/device_record.h"
#include "device/discovery.h"
#include "device/platform/platform.h"
#include "device/platform/win32/win32_platform.h"
#include "device/sector_io.h"

namespace {

class ThisComputer : public ::testing::Test {
protected:
    void SetUp() override { previous_ = platform::InstallPlatform(platform::MakeWin32Platform()); }
    void TearDown() override { platform::InstallPlatform(std::move(previous_)); }

private:
    std::unique_ptr<platform::Platform> previous_;
};

TEST_F(ThisComputer, NoCameraIsFound) {
    DeviceRecord record;
    EXPECT_FALSE(DetectDevice(record, nullptr));
    EXPECT_EQ(record.DevicePath.find("PHYSICAL"), std::string::npos);
    EXPECT_TRUE(record.UserDriveRoot.empty());
    EXPECT_EQ(record.PhysicalDriveNumber, kNoPhysicalDrive);
    for (const platform::DeviceInterface& disk : platform::CurrentPlatform().Interfaces(platform::InterfaceClass::Disk))
        EXPECT_FALSE(camera::IsCameraSystemDisk(disk.path, disk.parent_instance)) << disk.path;
}

// The sector tools' drive list holds the drives that open for writing.
TEST_F(ThisComputer, NoDriveIsOfferedForRawWriting) {
    std::vector<int> drives;
    ListPhysicalDrives(drives);
    EXPECT_TRUE(drives.empty());
}

TEST_F(ThisComputer, TheAdministratorCheckAnswers) {
    const bool first = platform::CurrentPlatform().IsAdministrator();
    EXPECT_EQ(platform::CurrentPlatform().IsAdministrator(), first);
}

// Disk interfaces as a test tells them, and the volumes as Wine has them:
// its drive C answers a storage device number, which is all the search for
// a volume's disk needs.
TEST(ToldDisks, TheSearchForAVolumesDiskMatchesItsNumber) {
    const std::string root = "C:\\";
    std::uint32_t volume_number = 0;
    auto probe = platform::MakeWin32Platform();
    if (!probe->DeviceNumber("\\\\.\\C:", &volume_number)) GTEST_SKIP() << "drive C tells no device number here";

    platform::Win32PlatformOptions options;
    options.list_disks = [volume_number] {
        return std::vector<platform::DiskIdentity>{{"\\\\?\\other#disk", "PCI\\OTHER", volume_number + 1},
                                                   {"\\\\?\\this#disk", "PCI\\THIS", volume_number}};
    };
    auto previous = platform::InstallPlatform(platform::MakeWin32Platform(std::move(options)));
    std::string interface_path = "untouched";
    std::string parent = "untouched";
    FindDiskOfVolume(root, platform::DriveType::CdRom, interface_path, parent);
    EXPECT_EQ(interface_path, "untouched");
    FindDiskOfVolume(root, platform::DriveType::Fixed, interface_path, parent);
    EXPECT_EQ(interface_path, "\\\\?\\this#disk");
    EXPECT_EQ(parent, "PCI\\THIS");
    platform::InstallPlatform(std::move(previous));
}

}  // namespace
