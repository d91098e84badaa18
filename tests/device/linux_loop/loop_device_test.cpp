// The Linux backend's raw sector I/O against a real block device: a loop
// device over the system disk of a camera made by make-camera. The backend
// sees a device snapshot of the test's own making, in which that loop device
// is the camera's system disk (and, for the refusals, a second one is some
// other disk), so nothing here depends on what this computer has attached.
// udisks2 is never needed: as root the backend opens the nodes directly, and
// the volume service it gets refuses everything and says when it was asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "device/linux_test_disks.h"
#include "device/camera_layout.h"
#include "device/device_record.h"
#include "device/discovery.h"
#include "device/physical_drive_name.h"
#include "device/platform/linux/block_devices.h"
#include "device/platform/linux/linux_platform.h"
#include "device/platform/linux/windows_names.h"
#include "device/platform/platform.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/diagnostics.h"
#include "fat/engine.h"
#include "fat/listing.h"
#include "support/test_support.h"
#include "update/marker.h"

namespace {

using namespace linux_test;

namespace fs = std::filesystem;
namespace udisks = platform::udisks;
using platform::DeviceAccess;
using platform::blockdev::BlockDisk;
using platform::blockdev::BlockFilesystem;
using platform::blockdev::BlockSnapshot;
using testsupport::Quote;
using Sector = std::vector<std::uint8_t>;

// Four different bytes, so a read from the wrong place or in the wrong
// order cannot give it by chance.
constexpr std::uint32_t kStateWord = 0x1634A5C3;
// Inside the user volume's size window.
constexpr std::uint64_t kUserVolumeBytes = 198492160;
constexpr std::uint64_t kOtherDiskBytes = 1 << 20;
constexpr std::uint32_t kOtherDiskSector = 5;
constexpr std::uint64_t kFourGibibytes = std::uint64_t{1} << 32;
constexpr std::uint64_t kSectorBytes = kSectorSize;

// The system disk's names and serial on a USB device of other ids.
constexpr UsbIdentity kPoser{"BRENX", "SYSTEM", "2.12", "1634", 0x058F, 0x6387, 1};

BlockFilesystem Filesystem(const std::string& sysname, const std::string& disk_sysname, const std::string& label,
                           std::uint64_t size_bytes) {
    BlockFilesystem filesystem;
    filesystem.sysname = sysname;
    filesystem.devnode = "/dev/" + sysname;
    filesystem.disk_sysname = disk_sysname;
    filesystem.size_bytes = size_bytes;
    filesystem.type = "vfat";
    filesystem.label = label;
    return filesystem;
}

// The camera as udev would show it: the user volume, a file system on the
// whole of LUN 0 (its node is never opened raw), and the system disk, LUN 1,
// at `system_node` with its "QX SYSTEM" partition.
BlockSnapshot CameraSnapshot(const std::string& system_node, std::uint64_t system_bytes) {
    BlockSnapshot snapshot;
    snapshot.disks.push_back(UsbDisk("sdc", "/dev/sdc", kCameraUser, kUserVolumeBytes));
    snapshot.disks.push_back(UsbDisk("sdd", system_node, kCameraSystem, system_bytes));
    snapshot.filesystems.push_back(Filesystem("sdc", "sdc", "CAMERA", kUserVolumeBytes));
    snapshot.filesystems.push_back(Filesystem("sdd1", "sdd", camera::kSystemVolumeLabel, 128ull << 20));
    return snapshot;
}

BlockDisk* DiskOf(BlockSnapshot& snapshot, const std::string& sysname) {
    for (BlockDisk& disk : snapshot.disks)
        if (disk.sysname == sysname) return &disk;
    return nullptr;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Why these tests cannot run here; "" when they can.
std::string MissingPrerequisite() {
    if (::geteuid() != 0) return "needs root, to attach loop devices with losetup";
    if (::access("/dev/loop-control", F_OK) != 0) return "no /dev/loop-control: this kernel offers no loop devices";
    if (testsupport::Run("command -v losetup").exit_code != 0) return "losetup is not installed";
    return "";
}

// A loop device over an image file for as long as it lives.
class LoopDevice {
public:
    static std::unique_ptr<LoopDevice> Attach(const std::string& image, std::string* error) {
        const testsupport::RunResult attached = testsupport::Run("losetup -f --show " + Quote(image));
        const std::string node = Trimmed(attached.out);
        if (attached.exit_code != 0 || node.rfind("/dev/loop", 0) != 0) {
            *error = "losetup could not attach " + image + ": " + attached.err;
            return nullptr;
        }
        return std::unique_ptr<LoopDevice>(new LoopDevice(node));
    }
    ~LoopDevice() { testsupport::Run("losetup -d " + Quote(node_)); }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& Node() const { return node_; }
    // The backing file has grown: the device takes its new size.
    bool Refresh() const { return testsupport::Run("losetup -c " + Quote(node_)).exit_code == 0; }

private:
    explicit LoopDevice(std::string node) : node_(std::move(node)) {}
    std::string node_;
};

// Stands in for udisks2 and refuses everything: as root the backend must
// not need it for raw I/O.
class RefusingVolumes : public platform::VolumeService {
public:
    explicit RefusingVolumes(std::shared_ptr<std::vector<std::string>> asked) : asked_(std::move(asked)) {}
    udisks::MountResult Mount(const std::string& node) override { return Refuse<udisks::MountResult>("Mount", node); }
    udisks::Result Unmount(const std::string& node) override { return Refuse<udisks::Result>("Unmount", node); }
    udisks::EjectResult Eject(const std::string& node) override { return Refuse<udisks::EjectResult>("Eject", node); }
    udisks::OpenDeviceResult OpenDevice(const std::string& node, udisks::OpenMode) override {
        return Refuse<udisks::OpenDeviceResult>("OpenDevice", node);
    }
    bool Knows(const std::string&) override { return false; }

private:
    template <typename R>
    R Refuse(const std::string& method, const std::string& node) {
        asked_->push_back(method + " " + node);
        R result;
        result.not_authorized = true;
        result.message = "refused by the test";
        return result;
    }
    std::shared_ptr<std::vector<std::string>> asked_;
};

Sector Pattern(std::uint8_t seed) {
    Sector bytes(kSectorBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

Sector ImageBytes(const std::string& image, std::uint64_t offset, std::size_t length) {
    Sector bytes(length);
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << image;
    if (fd < 0) return {};
    EXPECT_EQ(::pread(fd, bytes.data(), length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
    ::close(fd);
    return bytes;
}

class LoopCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = MissingPrerequisite(); !missing.empty()) GTEST_SKIP() << missing;
        scratch_ = testsupport::ScratchDir();
        const std::string camera_dir = scratch_ + "/camera";
        const testsupport::RunResult made =
            testsupport::Cli("make-camera " + Quote(camera_dir) + " --state " + std::to_string(kStateWord));
        ASSERT_EQ(made.exit_code, 0) << made.err;
        system_image_ = camera_dir + "/system.img";
        std::string error;
        system_loop_ = LoopDevice::Attach(system_image_, &error);
        ASSERT_TRUE(system_loop_) << error;
        *devices_ = CameraSnapshot(system_loop_->Node(), fs::file_size(system_image_));

        platform::LinuxPlatformOptions options;
        options.read_devices = [devices = devices_](BlockSnapshot* snapshot, std::string*) {
            *snapshot = *devices;
            return true;
        };
        options.volumes = std::make_unique<RefusingVolumes>(asked_);
        options.lock_folder = scratch_ + "/locks";
        previous_ = platform::InstallPlatform(platform::MakeLinuxPlatform(std::move(options)));
        installed_ = true;
    }

    void TearDown() override {
        if (!installed_) return;
        // Discovery leaves the default volume and the media callbacks on
        // the system disk; pointed at nothing under the restored platform,
        // they let go of the loop device, which can then detach at once.
        fat::DefaultVolume().Unmount();
        platform::InstallPlatform(std::move(previous_));
        MediaDevicePath.clear();
        std::array<std::uint8_t, kSectorSize> unused{};
        MediaRead(0, unused.data(), 1);
        EXPECT_EQ(*asked_, std::vector<std::string>{}) << "udisks2 was asked although root opens nodes directly";
    }

    // A second loop device over a small image of known bytes.
    void AttachOtherDisk() {
        other_image_ = scratch_ + "/other.img";
        testsupport::MakeEmptyImage(other_image_, kOtherDiskBytes);
        testsupport::WriteSector(other_image_, kOtherDiskSector, Pattern(0x5A));
        std::string error;
        other_loop_ = LoopDevice::Attach(other_image_, &error);
        ASSERT_TRUE(other_loop_) << error;
    }

    // The drive number windows_names gives the disk at `devnode`.
    int DriveNumberOf(const std::string& devnode) const {
        for (const auto& disk : platform::blockdev::NameInWindowsForm(*devices_).disks)
            if (disk.devnode == devnode) return static_cast<int>(disk.number);
        ADD_FAILURE() << "no disk at " << devnode;
        return -1;
    }
    int SystemDrive() const { return DriveNumberOf(system_loop_->Node()); }
    std::string SystemDiskName() const { return PhysicalDriveName(SystemDrive()); }

    Sector ImageSector(std::uint64_t sector) const {
        return ImageBytes(system_image_, sector * kSectorBytes, kSectorBytes);
    }

    std::string scratch_;
    std::string system_image_;
    std::string other_image_;
    std::unique_ptr<LoopDevice> system_loop_;
    std::unique_ptr<LoopDevice> other_loop_;
    // What the backend reads each time it looks at the devices.
    std::shared_ptr<BlockSnapshot> devices_ = std::make_shared<BlockSnapshot>();
    std::shared_ptr<std::vector<std::string>> asked_ = std::make_shared<std::vector<std::string>>();
    std::unique_ptr<platform::Platform> previous_;
    bool installed_ = false;
};

TEST_F(LoopCameraTest, ReadsTheStateWordThroughTheDiskName) {
    std::array<std::uint8_t, kSectorSize> sector{};
    ASSERT_EQ(ReadPhysicalSectors(1, camera::kStateWordSector, SystemDrive(), sector.data()), 1);
    const std::uint32_t word = std::uint32_t{sector[0]} | std::uint32_t{sector[1]} << 8 |
                               std::uint32_t{sector[2]} << 16 | std::uint32_t{sector[3]} << 24;
    EXPECT_EQ(word, kStateWord);
    EXPECT_EQ(Sector(sector.begin(), sector.end()), ImageSector(camera::kStateWordSector));

    const auto disk = platform::CurrentPlatform().OpenDevice(SystemDiskName(), DeviceAccess::Read);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->Size(), static_cast<std::int64_t>(fs::file_size(system_image_)));
}

TEST_F(LoopCameraTest, WritesTheMarkerAndReadsItBack) {
    const Sector before = ImageSector(camera::kUpdateMarkerSector - 1);
    const Sector after = ImageSector(camera::kUpdateMarkerSector + 1);
    for (const char* marker : {kMarkerAppData, kMarkerAppOnly}) {
        ASSERT_TRUE(SetUpdateMarker(SystemDrive(), marker)) << marker;
        const UpdateMarker written = MakeUpdateMarker(marker);
        EXPECT_EQ(ImageSector(camera::kUpdateMarkerSector), Sector(written.begin(), written.end())) << marker;
    }
    EXPECT_EQ(ImageSector(camera::kUpdateMarkerSector - 1), before);
    EXPECT_EQ(ImageSector(camera::kUpdateMarkerSector + 1), after);
}

// The marker's read-back must tell what the medium holds. The sector is
// read through the node, which stays open so that the system keeps that
// read in memory, then changed on the medium behind the device's back, as
// a camera's firmware may change it: the read-back must see the change.
TEST_F(LoopCameraTest, TheReadBackComesFromTheMediumNotFromMemory) {
    ASSERT_TRUE(SetUpdateMarker(SystemDrive(), kMarkerAppData));
    const int node = ::open(system_loop_->Node().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(node, 0);
    Sector cached(kSectorBytes);
    const off_t marker_offset = static_cast<off_t>(std::uint64_t{camera::kUpdateMarkerSector} * kSectorBytes);
    EXPECT_EQ(::pread(node, cached.data(), cached.size(), marker_offset), static_cast<ssize_t>(kSectorBytes));
    const Sector changed = Pattern(0x3C);
    testsupport::WriteSector(system_image_, camera::kUpdateMarkerSector, changed);

    std::array<std::uint8_t, kSectorSize> read_back{};
    EXPECT_EQ(ReadPhysicalSectors(1, camera::kUpdateMarkerSector, SystemDrive(), read_back.data()), 1);
    EXPECT_EQ(Sector(read_back.begin(), read_back.end()), changed);
    ::close(node);
}

TEST_F(LoopCameraTest, OurEngineMountsTheHiddenVolumeListsItAndWritesIt) {
    {
        const auto device = device::PlatformBlockDevice::Open(SystemDiskName(), camera::kHiddenVolumeStartSector);
        ASSERT_TRUE(device);
        EXPECT_TRUE(device->Writable());
        const fat::Mounted mounted = fat::Mount(*device, fat::SilentDiagnostics());
        ASSERT_TRUE(mounted.volume);
        FatEntryInfoList entries;
        ASSERT_EQ(mounted.volume->List("/", &entries), fat::Result::Ok);
        std::set<std::string> names;
        for (const FatEntryInfo& entry : entries) names.insert(entry.name);
        EXPECT_EQ(names, (std::set<std::string>{"DCIM", "SYSTEM", "LOG", "Read me first.txt"}));

        FatFile* file = nullptr;
        ASSERT_EQ(mounted.volume->Open("/SYSTEM/VERSION.TXT", "r", &file), fat::Result::Ok);
        std::array<char, 64> text{};
        std::uint32_t done = 0;
        EXPECT_EQ(mounted.volume->Read(file, text.data(), static_cast<std::uint32_t>(text.size()), &done), fat::Result::Ok);
        EXPECT_EQ(std::string(text.data(), done), "firmware 2.12\r\n");
        EXPECT_EQ(mounted.volume->Close(file), fat::Result::Ok);
        EXPECT_EQ(mounted.volume->MakeDirectory("/UPDATES"), fat::Result::Ok);
    }
    // What the engine wrote through the loop device is on the medium, whole.
    const testsupport::RunResult check =
        testsupport::Fsck(system_image_, std::uint64_t{camera::kHiddenVolumeStartSector} * kSectorBytes);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
    const auto device = device::PlatformBlockDevice::Open(SystemDiskName(), camera::kHiddenVolumeStartSector);
    ASSERT_TRUE(device);
    const fat::Mounted again = fat::Mount(*device, fat::SilentDiagnostics());
    ASSERT_TRUE(again.volume);
    FatEntryInfo info{};
    EXPECT_EQ(again.volume->Lookup("/UPDATES", &info), fat::Result::Ok);
    EXPECT_TRUE(info.is_directory);
}

TEST_F(LoopCameraTest, DiscoveryFindsTheCameraAndMountsItsHiddenVolume) {
    DeviceRecord record;
    EXPECT_TRUE(DetectDevice(record, nullptr));
    EXPECT_EQ(record.DevicePath, PhysicalDrivePath(SystemDrive()));
    EXPECT_EQ(record.PhysicalDriveNumber, SystemDrive());
    EXPECT_EQ(record.DeviceStateWord, kStateWord);
    EXPECT_FALSE(record.UserDriveRoot.empty());
    FatEntryInfoList top_level;
    FatListDirectory(top_level, "/");
    EXPECT_FALSE(top_level.empty());
}

// Beyond 4 GiB a position that lost its upper bits would land on a sector
// near the start of the disk.
TEST_F(LoopCameraTest, ReachesPositionsPastFourGibibytes) {
    const std::uint64_t far = kFourGibibytes + 7 * kSectorBytes;
    fs::resize_file(system_image_, kFourGibibytes + kOtherDiskBytes);
    ASSERT_TRUE(system_loop_->Refresh());
    DiskOf(*devices_, "sdd")->size_bytes = fs::file_size(system_image_);
    const Sector near_start = ImageBytes(system_image_, 7 * kSectorBytes, kSectorBytes);

    const auto disk = platform::CurrentPlatform().OpenDevice(SystemDiskName(), DeviceAccess::ReadWrite);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->Size(), static_cast<std::int64_t>(kFourGibibytes + kOtherDiskBytes));
    const Sector written = Pattern(0x81);
    ASSERT_TRUE(disk->Seek(far));
    ASSERT_EQ(disk->Write(written.data(), written.size()), written.size());
    ASSERT_TRUE(disk->Flush());
    Sector read_back(kSectorBytes);
    ASSERT_TRUE(disk->Seek(far));
    ASSERT_EQ(disk->Read(read_back.data(), read_back.size()), read_back.size());
    EXPECT_EQ(read_back, written);
    EXPECT_EQ(ImageBytes(system_image_, far, kSectorBytes), written);
    EXPECT_EQ(ImageBytes(system_image_, 7 * kSectorBytes, kSectorBytes), near_start);
}

// --- Disks that must never be written raw ----------------------------------

struct RefusedDisk {
    const char* name;
    // Puts the disk at `node` into the snapshot, as what it is.
    std::function<void(BlockSnapshot&, const std::string& node)> place;
};

void AsUsbStick(BlockSnapshot& snapshot, const std::string& node) {
    snapshot.disks.push_back(UsbDisk("sde", node, kStick, kOtherDiskBytes));
    snapshot.filesystems.push_back(Filesystem("sde1", "sde", "MY STICK", kOtherDiskBytes));
}

void AsBuiltInDisk(BlockSnapshot& snapshot, const std::string& node) {
    BlockDisk disk;
    disk.sysname = "sda";
    disk.devnode = node;
    disk.size_bytes = kOtherDiskBytes;
    disk.removable = false;
    snapshot.disks.push_back(disk);
}

// The camera's own user LUN: the right USB device, the wrong disk.
void AsCameraUserDisk(BlockSnapshot& snapshot, const std::string& node) { DiskOf(snapshot, "sdc")->devnode = node; }

void AsPoser(BlockSnapshot& snapshot, const std::string& node) {
    snapshot.disks.push_back(UsbDisk("sde", node, kPoser, kOtherDiskBytes));
}

// The camera's system disk by every name, yet carrying a file system of
// this computer's: it is not written either.
std::function<void(BlockSnapshot&, const std::string&)> AsSystemDiskMountedAt(const std::string& mount_point) {
    return [mount_point](BlockSnapshot& snapshot, const std::string& node) {
        DiskOf(snapshot, "sdd")->devnode = node;
        BlockFilesystem computers = Filesystem("sdd2", "sdd", "", kOtherDiskBytes);
        computers.type = "ext4";
        computers.mount_point = mount_point;
        snapshot.filesystems.push_back(computers);
    };
}

// ctest lists the cases by name rather than by their bytes.
void PrintTo(const RefusedDisk& disk, std::ostream* out) { *out << disk.name; }

class RefusedDiskTest : public LoopCameraTest, public ::testing::WithParamInterface<RefusedDisk> {};

TEST_P(RefusedDiskTest, IsNeverWrittenRawAndKeepsItsBytes) {
    AttachOtherDisk();
    if (HasFatalFailure()) return;
    GetParam().place(*devices_, other_loop_->Node());
    const int drive = DriveNumberOf(other_loop_->Node());
    const Sector original = ImageBytes(other_image_, 0, kOtherDiskBytes);

    EXPECT_FALSE(platform::CurrentPlatform().OpenDevice(PhysicalDriveName(drive), DeviceAccess::ReadWrite));
    const Sector attempt = Pattern(0xC7);
    EXPECT_EQ(WritePhysicalSector(kOtherDiskSector, drive, attempt.data()), 0);
    const auto volume = device::PlatformBlockDevice::Open(PhysicalDriveName(drive), 0);
    if (volume) {
        EXPECT_FALSE(volume->Writable());
        EXPECT_FALSE(volume->Write(kOtherDiskSector, attempt.data(), 1));
    }
    EXPECT_EQ(ImageBytes(other_image_, 0, kOtherDiskBytes), original);

    // Reading it is harmless, and still works.
    const auto disk = platform::CurrentPlatform().OpenDevice(PhysicalDriveName(drive), DeviceAccess::Read);
    ASSERT_TRUE(disk);
    Sector read(kSectorBytes);
    ASSERT_TRUE(disk->Seek(std::uint64_t{kOtherDiskSector} * kSectorBytes));
    ASSERT_EQ(disk->Read(read.data(), read.size()), read.size());
    EXPECT_EQ(read, Pattern(0x5A));
}

INSTANTIATE_TEST_SUITE_P(
    LoopDevices, RefusedDiskTest,
    ::testing::Values(RefusedDisk{"UsbStick", AsUsbStick}, RefusedDisk{"BuiltInDisk", AsBuiltInDisk},
                      RefusedDisk{"CameraUserDisk", AsCameraUserDisk},
                      RefusedDisk{"SystemDiskNamesOnOtherUsbIds", AsPoser},
                      RefusedDisk{"SystemDiskHoldingRoot", AsSystemDiskMountedAt("/")},
                      RefusedDisk{"SystemDiskHoldingHome", AsSystemDiskMountedAt("/home")}),
    [](const ::testing::TestParamInfo<RefusedDisk>& info) { return std::string(info.param.name); });

// --- The check right before each write -------------------------------------

struct DeviceChange {
    const char* name;
    // What happens to the camera's system disk (sysname "sdd") after it was
    // opened for writing.
    std::function<void(BlockSnapshot&)> change;
};

void Unplugged(BlockSnapshot& snapshot) {
    std::erase_if(snapshot.disks, [](const BlockDisk& disk) { return disk.sysname == "sdd"; });
    std::erase_if(snapshot.filesystems, [](const BlockFilesystem& filesystem) { return filesystem.disk_sysname == "sdd"; });
}

// Unplugged, and another device plugged in that got the same node.
void ReplacedByAStick(BlockSnapshot& snapshot) {
    BlockDisk* disk = DiskOf(snapshot, "sdd");
    *disk = UsbDisk("sdd", disk->devnode, kStick, kOtherDiskBytes);
}

void RootMountedFromIt(BlockSnapshot& snapshot) {
    BlockFilesystem computers = Filesystem("sdd2", "sdd", "", kOtherDiskBytes);
    computers.type = "ext4";
    computers.mount_point = "/";
    snapshot.filesystems.push_back(computers);
}

void PrintTo(const DeviceChange& change, std::ostream* out) { *out << change.name; }

class ChangeBeforeWriteTest : public LoopCameraTest, public ::testing::WithParamInterface<DeviceChange> {};

TEST_P(ChangeBeforeWriteTest, StopsTheNextWriteUntilTheCameraIsBack) {
    const int drive = SystemDrive();
    const auto disk = platform::CurrentPlatform().OpenDevice(PhysicalDriveName(drive), DeviceAccess::ReadWrite);
    ASSERT_TRUE(disk);
    const std::uint64_t marker_offset = std::uint64_t{camera::kUpdateMarkerSector} * kSectorBytes;
    const Sector original = ImageSector(camera::kUpdateMarkerSector);
    const Sector attempt = Pattern(0x42);

    const BlockSnapshot as_it_was = *devices_;
    GetParam().change(*devices_);
    ASSERT_TRUE(disk->Seek(marker_offset));
    EXPECT_EQ(disk->Write(attempt.data(), attempt.size()), 0u);
    disk->Flush();
    EXPECT_EQ(ImageSector(camera::kUpdateMarkerSector), original);

    // The same open device writes again once the camera is what it was.
    *devices_ = as_it_was;
    ASSERT_TRUE(disk->Seek(marker_offset));
    EXPECT_EQ(disk->Write(attempt.data(), attempt.size()), attempt.size());
    EXPECT_TRUE(disk->Flush());
    EXPECT_EQ(ImageSector(camera::kUpdateMarkerSector), attempt);
}

INSTANTIATE_TEST_SUITE_P(LoopDevices, ChangeBeforeWriteTest,
                         ::testing::Values(DeviceChange{"Unplugged", Unplugged},
                                           DeviceChange{"ReplacedByAStick", ReplacedByAStick},
                                           DeviceChange{"RootMountedFromIt", RootMountedFromIt}),
                         [](const ::testing::TestParamInfo<DeviceChange>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
