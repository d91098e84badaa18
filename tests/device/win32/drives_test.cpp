// Physical drives and volumes through the backend. Wine has no raw disks
// and no camera, so drives are pointed at image files and the disk
// interfaces the write check sees are told by the test; the control
// requests and the drive queries go to Wine as they are.
#include <gtest/gtest.h>

#include "device/platform/win32/windows_api.h"

#include <winioctl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/physical_drive_name.h"
#include "device/platform/platform.h"
#include "device/platform/win32/device_calls.h"
#include "device/platform/win32/unique_handle.h"
#include "device/platform/win32/win32_platform.h"
#include "scratch_files.h"

namespace {

using platform::DeviceAccess;
using platform::DiskIdentity;
using platform::VolumeControl;
using platform::win32::UniqueHandle;
using namespace win32test;

constexpr int kImageDrive = 3;
constexpr std::size_t kSector = 512;
constexpr std::size_t kImageBytes = 1 << 20;
// A drive number that names no disk, here or under Wine.
constexpr int kAbsentDrive = 97;

const std::string kCameraSystemInterface = std::string("\\\\?\\") + camera::kSystemDiskInterface +
                                           "#7&2a0c4e3d&0&1634000001&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kCameraParent = std::string(camera::kCameraParentId) + "000001";

DiskIdentity CameraSystemDisk(std::uint32_t number) { return {kCameraSystemInterface, kCameraParent, number}; }

// The disk interfaces as the test says they are at the moment.
struct ToldDisks {
    std::shared_ptr<std::vector<DiskIdentity>> disks = std::make_shared<std::vector<DiskIdentity>>();
    platform::DiskLister Lister() const {
        return [disks = disks] { return *disks; };
    }
};

std::size_t WriteSector(platform::Device& drive, std::uint64_t sector, const std::vector<std::uint8_t>& bytes) {
    if (!drive.Seek(sector * kSector)) return 0;
    return drive.Write(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> ReadSector(platform::Device& drive, std::uint64_t sector) {
    std::vector<std::uint8_t> bytes(kSector);
    EXPECT_TRUE(drive.Seek(sector * kSector));
    bytes.resize(drive.Read(bytes.data(), bytes.size()));
    return bytes;
}

// A letter that no drive of this computer has.
char AbsentLetter() {
    const DWORD present = ::GetLogicalDrives();
    for (char letter = 'Y'; letter > 'C'; --letter)
        if (!(present & (1u << (letter - 'A')))) return letter;
    return 0;
}

class Win32Drives : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = ScratchFolder();
        image_ = folder_ + "\\camera.img";
        MakePatternFile(image_, kImageBytes);
    }

    std::unique_ptr<platform::Platform> PlatformWith(const ToldDisks& told) const {
        platform::Win32PlatformOptions options;
        options.drive_images[kImageDrive] = image_;
        options.list_disks = told.Lister();
        return platform::MakeWin32Platform(std::move(options));
    }

    ToldDisks told_;
    std::string folder_;
    std::string image_;
    const std::string drive_name_ = PhysicalDriveName(kImageDrive);
};

TEST_F(Win32Drives, AMappedDriveReadsItsImage) {
    ToldDisks told;
    auto host = PlatformWith(told);
    auto drive = host->OpenDevice(drive_name_, DeviceAccess::Read);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->Size(), static_cast<std::int64_t>(kImageBytes));
    EXPECT_EQ(ReadSector(*drive, 1234), Pattern(1234 * kSector, kSector));
    EXPECT_EQ(ReadSector(*drive, kImageBytes / kSector), std::vector<std::uint8_t>{});
    // Held for queries only: no data moves.
    auto query = host->OpenDevice(drive_name_, DeviceAccess::Query);
    ASSERT_NE(query, nullptr);
    EXPECT_TRUE(ReadSector(*query, 0).empty());
    EXPECT_EQ(host->OpenDevice(PhysicalDriveName(kAbsentDrive), DeviceAccess::Read), nullptr);
    EXPECT_EQ(host->OpenDevice(PhysicalDriveName(kAbsentDrive), DeviceAccess::Query), nullptr);
}

// Positions are 64-bit: a sector past 4 GiB is read where it lies, not at
// its position cut to 32 bits.
TEST_F(Win32Drives, SectorsBeyondFourGigabytes) {
    const std::uint64_t far_sector = (std::uint64_t{5} << 30) / kSector + 3;
    {
        UniqueHandle file(::CreateFileW(LongForm(image_).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.Valid());
        DWORD returned = 0;
        // Sparse, so the scratch folder holds only what is written.
        ::DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    }
    WriteBytes(image_, far_sector * kSector, Pattern(0, kSector, 9));
    told_.disks->push_back(CameraSystemDisk(kImageDrive));
    auto host = PlatformWith(told_);
    auto drive = host->OpenDevice(drive_name_, DeviceAccess::ReadWrite);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(ReadSector(*drive, far_sector), Pattern(0, kSector, 9));
    const std::uint64_t written = (far_sector - 1) * kSector;
    EXPECT_EQ(WriteSector(*drive, far_sector - 1, Pattern(0, kSector, 11)), kSector);
    EXPECT_EQ(ReadBytes(image_, written, kSector), Pattern(0, kSector, 11));
    // Nothing landed where the position cut to 32 bits would point, past
    // the pattern, where the image is still all zeros.
    const std::uint64_t cut = written & 0xFFFFFFFFu;
    ASSERT_GT(cut, kImageBytes);
    EXPECT_EQ(ReadBytes(image_, cut, kSector), std::vector<std::uint8_t>(kSector, 0));
}

// Raw writes go to the camera's system disk and nowhere else; reading any
// drive stays possible.
TEST_F(Win32Drives, OnlyTheCamerasSystemDiskOpensForWriting) {
    const struct {
        const char* what;
        std::vector<DiskIdentity> disks;
        bool writable;
    } cases[] = {
        {"the camera's system disk", {CameraSystemDisk(kImageDrive)}, true},
        {"no disk interfaces", {}, false},
        {"the camera's system disk on another drive", {CameraSystemDisk(kImageDrive + 1)}, false},
        {"the camera's user disk",
         {{std::string("\\\\?\\") + camera::kUserDiskInterface + "#1634000001&0#{53f56307}", kCameraParent,
           kImageDrive}},
         false},
        {"the system disk's interface under another USB device",
         {{kCameraSystemInterface, "USB\\VID_0781&PID_5581\\4C530001", kImageDrive}},
         false},
        {"the parent ID further in", {{kCameraSystemInterface, "X" + kCameraParent, kImageDrive}}, false},
        {"the interface literal at the very start",
         {{std::string(camera::kSystemDiskInterface) + "#1634", kCameraParent, kImageDrive}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ToldDisks told;
        *told.disks = c.disks;
        auto host = PlatformWith(told);
        auto drive = host->OpenDevice(drive_name_, DeviceAccess::ReadWrite);
        EXPECT_EQ(drive != nullptr, c.writable);
        if (drive) {
            EXPECT_EQ(WriteSector(*drive, 10, Pattern(0, kSector, 5)), kSector);
        }
        EXPECT_NE(host->OpenDevice(drive_name_, DeviceAccess::Read), nullptr);
    }
    EXPECT_EQ(ReadBytes(image_, 10 * kSector, kSector), Pattern(0, kSector, 5));
}

// Checked again before every write, by the interface found at the open:
// the same number on another disk, even another camera, is not the disk
// that was opened.
TEST_F(Win32Drives, EveryWriteChecksTheDiskAgain) {
    DiskIdentity other_camera = CameraSystemDisk(kImageDrive);
    other_camera.interface_path += "-other";
    const struct {
        const char* what;
        std::vector<DiskIdentity> now;
    } changes[] = {
        {"unplugged", {}},
        {"renumbered", {CameraSystemDisk(kImageDrive + 1)}},
        {"another camera on the same number", {other_camera}},
        {"no longer the camera's", {{kCameraSystemInterface, "USB\\VID_0781&PID_5581\\1", kImageDrive}}},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        told_.disks->assign({CameraSystemDisk(kImageDrive)});
        auto host = PlatformWith(told_);
        auto drive = host->OpenDevice(drive_name_, DeviceAccess::ReadWrite);
        ASSERT_NE(drive, nullptr);
        EXPECT_EQ(WriteSector(*drive, 20, Pattern(0, kSector, 1)), kSector);
        *told_.disks = change.now;
        EXPECT_EQ(WriteSector(*drive, 21, Pattern(0, kSector, 2)), 0u);
        EXPECT_EQ(ReadBytes(image_, 21 * kSector, kSector), Pattern(21 * kSector, kSector));
        // Back as it was, the disk takes writes again.
        told_.disks->assign({CameraSystemDisk(kImageDrive)});
        EXPECT_EQ(WriteSector(*drive, 21, Pattern(0, kSector, 2)), kSector);
        WriteBytes(image_, 20 * kSector, Pattern(20 * kSector, 2 * kSector));
    }
}

TEST_F(Win32Drives, AWriteThatOutlivesItsPlatformIsRefused) {
    told_.disks->push_back(CameraSystemDisk(kImageDrive));
    auto host = PlatformWith(told_);
    auto drive = host->OpenDevice(drive_name_, DeviceAccess::ReadWrite);
    ASSERT_NE(drive, nullptr);
    host.reset();
    EXPECT_EQ(WriteSector(*drive, 30, Pattern(0, kSector, 4)), 0u);
    EXPECT_EQ(ReadBytes(image_, 30 * kSector, kSector), Pattern(30 * kSector, kSector));
}

// An image stands for a disk of fixed size.
TEST_F(Win32Drives, WritesPastTheImagesEndFail) {
    told_.disks->push_back(CameraSystemDisk(kImageDrive));
    auto host = PlatformWith(told_);
    auto drive = host->OpenDevice(drive_name_, DeviceAccess::ReadWrite);
    ASSERT_NE(drive, nullptr);
    const std::vector<std::uint8_t> two_sectors = Pattern(0, 2 * kSector, 6);
    ASSERT_TRUE(drive->Seek(kImageBytes - kSector));
    EXPECT_EQ(drive->Write(two_sectors.data(), two_sectors.size()), 0u);
    EXPECT_EQ(WriteSector(*drive, kImageBytes / kSector, Pattern(0, kSector)), 0u);
    EXPECT_EQ(FileSize(image_), kImageBytes);
    EXPECT_EQ(WriteSector(*drive, kImageBytes / kSector - 1, Pattern(0, kSector, 6)), kSector);
}

// Volumes are held for queries and the eject, never written raw.
TEST_F(Win32Drives, VolumesDoNotOpenForWriting) {
    auto host = platform::MakeWin32Platform();
    EXPECT_EQ(host->OpenDevice("\\\\.\\C:", DeviceAccess::ReadWrite), nullptr);
    EXPECT_EQ(host->OpenDevice("\\\\?\\some#interface", DeviceAccess::ReadWrite), nullptr);
}

TEST_F(Win32Drives, HoldsExcludeEachOther) {
    auto host = PlatformWith(told_);
    platform::DeviceHoldResult first = host->HoldDevice(drive_name_);
    ASSERT_NE(first.hold, nullptr);
    EXPECT_FALSE(first.busy);
    // Another platform stands for another run.
    auto other_run = PlatformWith(told_);
    platform::DeviceHoldResult second = other_run->HoldDevice(drive_name_);
    EXPECT_EQ(second.hold, nullptr);
    EXPECT_TRUE(second.busy);
    first.hold.reset();
    platform::DeviceHoldResult third = other_run->HoldDevice(drive_name_);
    EXPECT_NE(third.hold, nullptr);
    platform::DeviceHoldResult absent = host->HoldDevice(PhysicalDriveName(kAbsentDrive));
    EXPECT_EQ(absent.hold, nullptr);
    EXPECT_FALSE(absent.busy);
}

// What a request on a handle that cannot take it answers: failure, never
// success.
TEST_F(Win32Drives, FailedControlRequestsAreFailures) {
    UniqueHandle file(::CreateFileW(LongForm(image_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.Valid());
    EXPECT_FALSE(platform::win32::SendVolumeControl(file.Get(), VolumeControl::Dismount));
    EXPECT_FALSE(platform::win32::SendVolumeControl(file.Get(), VolumeControl::Eject));
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.Valid());
    EXPECT_FALSE(platform::win32::StorageDeviceNumber(event.Get()).has_value());
    // Wine grants every lock request, whatever the handle; Windows does not.
    for (VolumeControl control : {VolumeControl::Dismount, VolumeControl::Eject})
        EXPECT_FALSE(platform::win32::SendVolumeControl(event.Get(), control));

    const char absent = AbsentLetter();
    ASSERT_NE(absent, 0);
    const std::string volume = std::string("\\\\.\\") + absent + ":";
    auto host = platform::MakeWin32Platform();
    std::uint32_t number = 0;
    EXPECT_FALSE(host->DeviceNumber(volume, &number));
    EXPECT_EQ(host->OpenDevice(volume, DeviceAccess::Read), nullptr);
    for (VolumeControl control : {VolumeControl::Lock, VolumeControl::Dismount, VolumeControl::Eject})
        EXPECT_FALSE(host->ControlVolume(volume, control));
    EXPECT_FALSE(host->ControlVolume("\\\\.\\PHYSICALDRIVE0", VolumeControl::Eject));
}

TEST_F(Win32Drives, QueriesOfAMissingDriveFail) {
    const char absent = AbsentLetter();
    ASSERT_NE(absent, 0);
    const std::string root = std::string(1, absent) + ":\\";
    auto host = platform::MakeWin32Platform();
    std::string label;
    std::uint64_t total = 0;
    platform::DiskFreeSpace space{};
    EXPECT_EQ(host->GetDriveType(root), platform::DriveType::Unknown);
    EXPECT_FALSE(host->VolumeLabel(root, &label));
    EXPECT_FALSE(host->TotalBytes(root, &total));
    EXPECT_FALSE(host->FreeSpace(root, &space));
}

TEST_F(Win32Drives, QueriesOfThisComputersDrive) {
    auto host = platform::MakeWin32Platform();
    std::uint64_t total = 0;
    platform::DiskFreeSpace space{};
    EXPECT_NE(host->GetDriveType("C:\\"), platform::DriveType::Unknown);
    ASSERT_TRUE(host->TotalBytes("C:\\", &total));
    ASSERT_TRUE(host->FreeSpace("C:\\", &space));
    EXPECT_GT(space.bytes_per_sector, 0u);
    EXPECT_LE(space.sectors_per_cluster * space.bytes_per_sector * space.free_clusters, total);
}

}  // namespace
