// The Linux backend's mapping of the platform interface, without root, a bus
// or udev. The backend reads a device snapshot of the test's own making,
// whose device nodes are regular files in a scratch folder, and asks what it
// would ask udisks2 of a fake that notes every request and fails as told.
// The computer of most tests: a built-in disk with three partitions, a USB
// stick, and the camera with its user LUN and its system LUN.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "device/linux_test_disks.h"
#include "device/camera_layout.h"
#include "device/device_record.h"
#include "device/discovery.h"
#include "device/eject.h"
#include "device/physical_drive_name.h"
#include "device/platform/linux/block_devices.h"
#include "device/platform/linux/linux_platform.h"
#include "device/platform/platform.h"
#include "device/sector_io.h"
#include "fat/engine.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

using namespace linux_test;

namespace fs = std::filesystem;
namespace udisks = platform::udisks;
using platform::DeviceAccess;
using platform::DeviceInterface;
using platform::DiskFreeSpace;
using platform::DriveType;
using platform::FileMode;
using platform::InterfaceClass;
using platform::blockdev::BlockDisk;
using platform::blockdev::BlockFilesystem;
using platform::blockdev::BlockSnapshot;

// Four different bytes, so a read from the wrong place or in the wrong
// order cannot give it by chance.
constexpr std::uint32_t kStateWord = 0x1634A5C3;
// Inside the user volume's size window.
constexpr std::uint64_t kUserVolumeBytes = 198492160;
constexpr std::uint64_t kSystemPartitionBytes = 128ull << 20;
constexpr std::uint64_t kHiddenVolumeBytes = 16ull << 20;
constexpr std::uint64_t kStickBytes = 8ull << 30;
constexpr std::uint64_t kStickPartitionBytes = kStickBytes - (1ull << 20);
constexpr std::uint64_t kBuiltInBytes = 512ull << 30;
constexpr std::uint64_t kEfiBytes = 512ull << 20;
constexpr std::uint64_t kRootBytes = 400ull << 30;
// A failure count the fake never uses up.
constexpr int kAlways = INT_MAX;


std::string NodeOf(const std::string& folder, const std::string& sysname) { return folder + "/" + sysname; }

BlockFilesystem Filesystem(const std::string& folder, const std::string& sysname, const std::string& disk_sysname,
                           std::optional<std::string> type, std::optional<std::string> label,
                           std::optional<std::uint64_t> size_bytes) {
    BlockFilesystem filesystem;
    filesystem.sysname = sysname;
    filesystem.devnode = NodeOf(folder, sysname);
    filesystem.disk_sysname = disk_sysname;
    filesystem.size_bytes = size_bytes;
    filesystem.type = std::move(type);
    filesystem.label = std::move(label);
    return filesystem;
}

// Which kernel names the stick and the camera's two disks got, which
// depends on the order they were plugged in.
struct Arrangement {
    const char* stick;
    const char* camera_user;
    const char* camera_system;
};

constexpr Arrangement kStickFirst{"sdb", "sdc", "sdd"};
constexpr Arrangement kCameraFirst{"sdd", "sdb", "sdc"};

// The computer as udev would show it, with nodes in `folder`.
BlockSnapshot Computer(const std::string& folder, const Arrangement& arrangement) {
    BlockSnapshot snapshot;
    BlockDisk built_in;
    built_in.sysname = "sda";
    built_in.devnode = NodeOf(folder, "sda");
    built_in.size_bytes = kBuiltInBytes;
    built_in.removable = false;
    built_in.model = "Samsung_SSD_980";
    built_in.revision = "3B4Q";
    snapshot.disks.push_back(built_in);
    // udev lists the camera's disks before the stick's here, whatever their
    // names: the Windows form must not depend on that order.
    const auto disk = [&folder](const std::string& sysname, const UsbIdentity& id, std::uint64_t bytes) {
        return UsbDisk(sysname, NodeOf(folder, sysname), id, bytes);
    };
    snapshot.disks.push_back(disk(arrangement.camera_system, kCameraSystem, 256ull << 20));
    snapshot.disks.push_back(disk(arrangement.camera_user, kCameraUser, kUserVolumeBytes));
    snapshot.disks.push_back(disk(arrangement.stick, kStick, kStickBytes));

    BlockFilesystem efi = Filesystem(folder, "sda1", "sda", "vfat", "EFI", kEfiBytes);
    efi.mount_point = "/boot/efi";
    snapshot.filesystems.push_back(efi);
    BlockFilesystem root = Filesystem(folder, "sda2", "sda", "ext4", std::nullopt, kRootBytes);
    root.mount_point = "/";
    snapshot.filesystems.push_back(root);
    // Unformatted, and of a size udev did not tell.
    snapshot.filesystems.push_back(Filesystem(folder, "sda3", "sda", std::nullopt, std::nullopt, std::nullopt));
    const std::string system = arrangement.camera_system;
    snapshot.filesystems.push_back(
        Filesystem(folder, system + "1", system, "vfat", camera::kSystemVolumeLabel, kSystemPartitionBytes));
    // The camera formats its user LUN without a partition table.
    snapshot.filesystems.push_back(
        Filesystem(folder, arrangement.camera_user, arrangement.camera_user, "vfat", "CAMERA", kUserVolumeBytes));
    const std::string stick = arrangement.stick;
    snapshot.filesystems.push_back(Filesystem(folder, stick + "1", stick, "vfat", "MY STICK", kStickPartitionBytes));
    return snapshot;
}

BlockDisk* DiskOf(BlockSnapshot& snapshot, const std::string& sysname) {
    for (BlockDisk& disk : snapshot.disks)
        if (disk.sysname == sysname) return &disk;
    return nullptr;
}

BlockFilesystem* FilesystemOf(BlockSnapshot& snapshot, const std::string& sysname) {
    for (BlockFilesystem& filesystem : snapshot.filesystems)
        if (filesystem.sysname == sysname) return &filesystem;
    return nullptr;
}

void Unplug(BlockSnapshot& snapshot, const std::string& disk_sysname) {
    std::erase_if(snapshot.disks, [&](const BlockDisk& disk) { return disk.sysname == disk_sysname; });
    std::erase_if(snapshot.filesystems,
                  [&](const BlockFilesystem& filesystem) { return filesystem.disk_sysname == disk_sysname; });
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool WriteAll(platform::Device& device, const std::string& text) {
    return device.Write(text.data(), text.size()) == text.size();
}

// What the fake volume service answers, and what it was asked.
struct ServiceScript {
    std::vector<std::string> requests;  // "<request> <node>", in order
    bool mount_ok = true;
    std::string mount_path;    // where a granted Mount says it mounted
    int unmount_failures = 0;  // the first this many Unmounts fail
    int eject_failures = 0;
    std::set<std::string> known;

    int Count(const std::string& request) const {
        return static_cast<int>(std::count_if(requests.begin(), requests.end(), [&](const std::string& made) {
            return made.rfind(request + " ", 0) == 0;
        }));
    }
};

// Stands in for udisks2.
class FakeVolumes : public platform::VolumeService {
public:
    explicit FakeVolumes(std::shared_ptr<ServiceScript> script) : script_(std::move(script)) {}

    udisks::MountResult Mount(const std::string& node) override {
        Note("Mount", node);
        udisks::MountResult result;
        result.ok = script_->mount_ok;
        if (result.ok) {
            result.mount_path = script_->mount_path;
        } else {
            result.not_authorized = true;
            result.message = "refused by the test";
        }
        return result;
    }
    udisks::Result Unmount(const std::string& node) override {
        Note("Unmount", node);
        return Answer<udisks::Result>(script_->unmount_failures);
    }
    udisks::EjectResult Eject(const std::string& node) override {
        Note("Eject", node);
        udisks::EjectResult result = Answer<udisks::EjectResult>(script_->eject_failures);
        result.ejected = result.powered_off = result.ok;
        return result;
    }
    // Grants what it is asked, read-only: if a test sees a device where it
    // expects none, the service was asked although it should not have been.
    udisks::OpenDeviceResult OpenDevice(const std::string& node, udisks::OpenMode) override {
        Note("OpenDevice", node);
        udisks::OpenDeviceResult result;
        result.fd = udisks::FileDescriptor(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
        result.ok = result.fd.Valid();
        return result;
    }
    bool Knows(const std::string& node) override {
        Note("Knows", node);
        return script_->known.count(node) > 0;
    }

private:
    void Note(const char* request, const std::string& node) { script_->requests.push_back(request + (" " + node)); }

    template <typename R>
    R Answer(int& failures_left) {
        R result;
        if (failures_left > 0) {
            if (failures_left != kAlways) --failures_left;
            result.message = "the device is busy, says the test";
            result.error_name = "org.freedesktop.UDisks2.Error.DeviceBusy";
            return result;
        }
        result.ok = true;
        return result;
    }

    std::shared_ptr<ServiceScript> script_;
};

// The backend with its retry pauses passing at once, and counted: the
// eject's eleven attempts would otherwise wait ten seconds for nothing.
class WithoutPauses : public platform::Platform {
public:
    WithoutPauses(std::unique_ptr<platform::Platform> backend, std::shared_ptr<int> pauses)
        : backend_(std::move(backend)), pauses_(std::move(pauses)) {}

    std::unique_ptr<platform::Device> OpenDevice(const std::string& name, DeviceAccess access) override {
        return backend_->OpenDevice(name, access);
    }
    bool DeviceNumber(const std::string& name, std::uint32_t* number) override {
        return backend_->DeviceNumber(name, number);
    }
    DriveType GetDriveType(const std::string& root) override { return backend_->GetDriveType(root); }
    bool VolumeLabel(const std::string& root, std::string* label) override {
        return backend_->VolumeLabel(root, label);
    }
    bool TotalBytes(const std::string& root, std::uint64_t* total) override {
        return backend_->TotalBytes(root, total);
    }
    bool FreeSpace(const std::string& root, DiskFreeSpace* space) override { return backend_->FreeSpace(root, space); }
    std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) override {
        return backend_->Interfaces(interface_class);
    }
    bool ControlVolume(const std::string& volume_name, platform::VolumeControl control) override {
        return backend_->ControlVolume(volume_name, control);
    }
    std::unique_ptr<platform::Device> OpenFile(const std::string& path, FileMode mode) override {
        return backend_->OpenFile(path, mode);
    }
    bool RemoveFile(const std::string& path) override { return backend_->RemoveFile(path); }
    bool ReplaceFile(const std::string& from, const std::string& to) override {
        return backend_->ReplaceFile(from, to);
    }
    platform::DeviceHoldResult HoldDevice(const std::string& name) override { return backend_->HoldDevice(name); }
    bool IsAdministrator() override { return backend_->IsAdministrator(); }
    const char* MissingRightsTextKey() const override { return backend_->MissingRightsTextKey(); }
    void Pause(unsigned) override { ++*pauses_; }

private:
    std::unique_ptr<platform::Platform> backend_;
    std::shared_ptr<int> pauses_;
};

// Runs the test inside a folder of its own, so that a drive path taken for
// a local one would show up there.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : before_(fs::current_path()) { fs::current_path(folder); }
    ~InFolder() { fs::current_path(before_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path before_;
};

class LinuxPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = testsupport::ScratchDir();
        nodes_ = scratch_ + "/dev";
        lock_folder_ = scratch_ + "/locks";
        fs::create_directories(nodes_);
        Arrange(kStickFirst);
    }

    void TearDown() override {
        if (!installed_) return;
        // Discovery leaves the default volume and the media callbacks on
        // the system disk; pointed at nothing under the restored platform,
        // they let go of its node.
        fat::DefaultVolume().Unmount();
        platform::InstallPlatform(std::move(previous_));
        MediaDevicePath.clear();
        std::array<std::uint8_t, kSectorSize> unused{};
        MediaRead(0, unused.data(), 1);
    }

    // The computer in that arrangement, with an empty file for every node.
    void Arrange(const Arrangement& arrangement) {
        arrangement_ = arrangement;
        *devices_ = Computer(nodes_, arrangement);
        for (const BlockDisk& disk : devices_->disks) std::ofstream(disk.devnode, std::ios::app);
        for (const BlockFilesystem& filesystem : devices_->filesystems)
            std::ofstream(filesystem.devnode, std::ios::app);
    }

    std::unique_ptr<platform::Platform> MakeBackend() {
        platform::LinuxPlatformOptions options;
        options.read_devices = [devices = devices_](BlockSnapshot* snapshot, std::string*) {
            *snapshot = *devices;
            return true;
        };
        options.volumes = std::make_unique<FakeVolumes>(script_);
        options.lock_folder = lock_folder_;
        return platform::MakeLinuxPlatform(std::move(options));
    }

    // The backend, installed on first use: tests arrange the devices and
    // the service's answers before.
    platform::Platform& Backend() {
        if (!installed_) {
            previous_ = platform::InstallPlatform(std::make_unique<WithoutPauses>(MakeBackend(), pauses_));
            installed_ = true;
        }
        return platform::CurrentPlatform();
    }

    std::string CameraUserNode() const { return NodeOf(nodes_, arrangement_.camera_user); }
    std::string CameraSystemNode() const { return NodeOf(nodes_, arrangement_.camera_system); }
    // A node that does not exist: a disk this process cannot open.
    std::string MissingNode(const std::string& sysname) const { return scratch_ + "/gone/" + sysname; }

    std::string scratch_;
    std::string nodes_;
    std::string lock_folder_;
    Arrangement arrangement_ = kStickFirst;
    // What the backend reads each time it looks at the devices.
    std::shared_ptr<BlockSnapshot> devices_ = std::make_shared<BlockSnapshot>();
    std::shared_ptr<ServiceScript> script_ = std::make_shared<ServiceScript>();
    std::shared_ptr<int> pauses_ = std::make_shared<int>(0);
    std::unique_ptr<platform::Platform> previous_;
    bool installed_ = false;
};

// --- The Windows form discovery relies on ----------------------------------

struct DiskCase {
    const char* name;
    std::uint32_t number;
    const char* interface_path;
    const char* parent_instance;
};

// Built-in disks first from 0, then USB disks by kernel name.
const DiskCase kDisks[] = {
    {"BuiltIn", 0, R"(\\?\scsi#disk&ven_&prod_samsung_ssd_980&rev_3b4q#sda#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})",
     ""},
    {"UsbStick", 1,
     R"(\\?\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#a1b2c3d4&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})",
     R"(USB\VID_058F&PID_6387\A1B2C3D4)"},
    {"CameraUser", 2,
     R"(\\?\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})",
     R"(USB\VID_E4D2&PID_3A17\1634)"},
    {"CameraSystem", 3,
     R"(\\?\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})",
     R"(USB\VID_E4D2&PID_3A17\1634)"},
};

void PrintTo(const DiskCase& disk, std::ostream* out) { *out << disk.name; }

TEST_F(LinuxPlatformTest, ListsTheDiskInterfacesInDriveNumberOrder) {
    std::vector<DeviceInterface> expected;
    for (const DiskCase& disk : kDisks) expected.push_back({disk.interface_path, disk.parent_instance});
    const std::vector<DeviceInterface> found = Backend().Interfaces(InterfaceClass::Disk);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].path, expected[i].path) << i;
        EXPECT_EQ(found[i].parent_instance, expected[i].parent_instance) << i;
    }
    EXPECT_TRUE(Backend().Interfaces(InterfaceClass::CdRom).empty());
}

class LinuxDiskNamesTest : public LinuxPlatformTest, public ::testing::WithParamInterface<DiskCase> {};

TEST_P(LinuxDiskNamesTest, InterfacePathAndPhysicalDriveNameGiveTheDiskNumber) {
    const DiskCase& disk = GetParam();
    for (const std::string& name :
         {std::string(disk.interface_path), PhysicalDriveName(static_cast<int>(disk.number))}) {
        EXPECT_TRUE(Backend().OpenDevice(name, DeviceAccess::Query)) << name;
        std::uint32_t number = 99;
        EXPECT_TRUE(Backend().DeviceNumber(name, &number)) << name;
        EXPECT_EQ(number, disk.number) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Computer, LinuxDiskNamesTest, ::testing::ValuesIn(kDisks),
                         [](const ::testing::TestParamInfo<DiskCase>& info) { return std::string(info.param.name); });

struct VolumeCase {
    const char* name;
    char letter;
    std::uint32_t disk_number;
    DriveType type;
    std::optional<std::string> label;
    std::optional<std::uint64_t> total_bytes;
};

void PrintTo(const VolumeCase& volume, std::ostream* out) { *out << volume.name; }

class LinuxVolumeNamesTest : public LinuxPlatformTest, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(LinuxVolumeNamesTest, AnswersAsDiscoveryExpects) {
    const VolumeCase& volume = GetParam();
    const std::string name = VolumeDeviceName(volume.letter);
    const std::string root = DriveRoot(volume.letter);
    const DiskCase& disk = kDisks[volume.disk_number];

    EXPECT_TRUE(Backend().OpenDevice(name, DeviceAccess::Query));
    std::uint32_t of_volume = 99;
    std::uint32_t of_interface = 98;
    std::uint32_t of_drive = 97;
    ASSERT_TRUE(Backend().DeviceNumber(name, &of_volume));
    ASSERT_TRUE(Backend().DeviceNumber(disk.interface_path, &of_interface));
    ASSERT_TRUE(Backend().DeviceNumber(PhysicalDriveName(static_cast<int>(volume.disk_number)), &of_drive));
    EXPECT_EQ(of_volume, volume.disk_number);
    EXPECT_EQ(of_interface, of_volume);
    EXPECT_EQ(of_drive, of_volume);

    EXPECT_EQ(Backend().GetDriveType(root), volume.type);
    std::string label = "untouched";
    EXPECT_EQ(Backend().VolumeLabel(root, &label), volume.label.has_value());
    if (volume.label) {
        EXPECT_EQ(label, *volume.label);
    }
    std::uint64_t total = 0;
    EXPECT_EQ(Backend().TotalBytes(root, &total), volume.total_bytes.has_value());
    if (volume.total_bytes) {
        EXPECT_EQ(total, *volume.total_bytes);
    }

    // Discovery's own way from a volume to its disk.
    std::string interface_path;
    std::string parent;
    FindDiskOfVolume(root, volume.type, interface_path, parent);
    EXPECT_EQ(interface_path, disk.interface_path);
    EXPECT_EQ(parent, disk.parent_instance);
    for (const DiskCase& other : kDisks)
        EXPECT_EQ(IsVolumeOnDisk(other.number, root), other.number == volume.disk_number ? 1 : 0) << other.name;
}

// The USB disks' file systems take the first letters, by disk number.
INSTANTIATE_TEST_SUITE_P(
    Computer, LinuxVolumeNamesTest,
    ::testing::Values(VolumeCase{"StickD", 'D', 1, DriveType::Removable, "MY STICK", kStickPartitionBytes},
                      VolumeCase{"CameraUserE", 'E', 2, DriveType::Removable, "CAMERA", kUserVolumeBytes},
                      VolumeCase{"CameraSystemF", 'F', 3, DriveType::Removable, camera::kSystemVolumeLabel,
                                 kSystemPartitionBytes},
                      VolumeCase{"EfiG", 'G', 0, DriveType::Fixed, "EFI", kEfiBytes},
                      VolumeCase{"UnlabelledRootH", 'H', 0, DriveType::Fixed, "", kRootBytes},
                      VolumeCase{"UnformattedI", 'I', 0, DriveType::Fixed, std::nullopt, std::nullopt}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) { return std::string(info.param.name); });

TEST_F(LinuxPlatformTest, LettersAndDrivesWithoutADeviceAnswerNothing) {
    for (const char letter : {'A', 'C', 'J', 'Z'}) {
        const std::string root = DriveRoot(letter);
        EXPECT_FALSE(Backend().OpenDevice(VolumeDeviceName(letter), DeviceAccess::Query)) << letter;
        std::uint32_t number = 0;
        EXPECT_FALSE(Backend().DeviceNumber(VolumeDeviceName(letter), &number)) << letter;
        EXPECT_EQ(Backend().GetDriveType(root), DriveType::Unknown) << letter;
        std::string label;
        EXPECT_FALSE(Backend().VolumeLabel(root, &label)) << letter;
        std::uint64_t total = 0;
        EXPECT_FALSE(Backend().TotalBytes(root, &total)) << letter;
    }
    // A drive path without a volume names no local file either.
    const std::string here = scratch_ + "/here";
    fs::create_directories(here);
    {
        InFolder inside(here);
        EXPECT_FALSE(Backend().OpenFile("J:\\X", FileMode::CreateTruncate));
        DiskFreeSpace space{};
        EXPECT_FALSE(Backend().FreeSpace("J:\\", &space));
    }
    EXPECT_EQ(FolderEntries(here), std::vector<std::string>{});
    EXPECT_EQ(script_->requests, std::vector<std::string>{});

    std::uint32_t number = 0;
    EXPECT_FALSE(Backend().OpenDevice(PhysicalDriveName(4), DeviceAccess::Read));
    EXPECT_FALSE(Backend().DeviceNumber(PhysicalDriveName(4), &number));
    EXPECT_FALSE(Backend().DeviceNumber(
        R"(\\?\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&7#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", &number));
}

struct DiscoveryCase {
    const char* name;
    Arrangement arrangement;
    const char* user_root;
    int system_drive;
    const char* stick_root;
};

void PrintTo(const DiscoveryCase& discovery, std::ostream* out) { *out << discovery.name; }

class LinuxDiscoveryTest : public LinuxPlatformTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(LinuxDiscoveryTest, FindsTheCameraAmongTheComputersDisks) {
    const DiscoveryCase& discovery = GetParam();
    Arrange(discovery.arrangement);
    // The system disk's node holds the state word and the hidden volume.
    testsupport::MakeSystemImage(CameraSystemNode(), kStateWord, kHiddenVolumeBytes);
    DiskOf(*devices_, discovery.arrangement.camera_system)->size_bytes = fs::file_size(CameraSystemNode());
    Backend();

    DeviceRecord record;
    EXPECT_TRUE(DetectDevice(record, nullptr));
    EXPECT_EQ(record.UserDriveRoot, discovery.user_root);
    EXPECT_EQ(record.PhysicalDriveNumber, discovery.system_drive);
    EXPECT_EQ(record.DevicePath, PhysicalDrivePath(discovery.system_drive));
    EXPECT_EQ(record.DeviceStateWord, kStateWord);
    const auto label_of = [&](const char* root) { return record.VolumeLabels[root[0] - 'A']; };
    EXPECT_EQ(label_of(discovery.user_root), "CAMERA");
    EXPECT_EQ(label_of(discovery.stick_root), "MY STICK");
    // The built-in disk's volumes are no candidates.
    for (const char letter : {'G', 'H', 'I'}) EXPECT_EQ(record.VolumeLabels[letter - 'A'], "") << letter;
    // Looking is no reason to mount anything or to ask for consent.
    EXPECT_EQ(script_->requests, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Computer, LinuxDiscoveryTest,
                         ::testing::Values(DiscoveryCase{"StickPluggedFirst", kStickFirst, "E:\\", 3, "D:\\"},
                                           DiscoveryCase{"CameraPluggedFirst", kCameraFirst, "D:\\", 2, "F:\\"}),
                         [](const ::testing::TestParamInfo<DiscoveryCase>& info) {
                             return std::string(info.param.name);
                         });

// --- Volumes mounted on first use ------------------------------------------

enum class FirstQuestion { File, FreeSpace };

struct MountCase {
    const char* name;
    bool mounted_before;  // by someone else, as the snapshot shows
    FirstQuestion first;
};

void PrintTo(const MountCase& mount, std::ostream* out) { *out << mount.name; }

class LinuxMountOnFirstUseTest : public LinuxPlatformTest, public ::testing::WithParamInterface<MountCase> {};

TEST_P(LinuxMountOnFirstUseTest, FilesLandBelowTheMountPathAndTheVolumeIsMountedOnce) {
    const MountCase& mount = GetParam();
    const std::string mount_path = scratch_ + "/media/CAMERA";
    fs::create_directories(mount_path);
    if (mount.mounted_before)
        FilesystemOf(*devices_, arrangement_.camera_user)->mount_point = mount_path;
    else
        script_->mount_path = mount_path;

    const auto ask_free_space = [&] {
        DiskFreeSpace space{};
        ASSERT_TRUE(Backend().FreeSpace("E:\\", &space));
        struct statvfs expected {};
        ASSERT_EQ(::statvfs(mount_path.c_str(), &expected), 0);
        EXPECT_EQ(space.sectors_per_cluster, 1u);
        EXPECT_EQ(space.bytes_per_sector, expected.f_frsize);
    };
    const auto write_file = [&] {
        const auto file = Backend().OpenFile("E:\\APP_DATA.BIN", FileMode::CreateTruncate);
        ASSERT_TRUE(file);
        EXPECT_TRUE(WriteAll(*file, "update bytes"));
    };
    if (mount.first == FirstQuestion::File) {
        write_file();
        ask_free_space();
    } else {
        ask_free_space();
        write_file();
    }
    fs::create_directories(mount_path + "/DCIM");
    const auto nested = Backend().OpenFile("E:\\DCIM\\NOTE.TXT", FileMode::CreateTruncate);
    ASSERT_TRUE(nested);
    EXPECT_TRUE(WriteAll(*nested, "note"));
    EXPECT_TRUE(Backend().OpenFile("E:\\APP_DATA.BIN", FileMode::ReadExisting));

    EXPECT_EQ(FileText(mount_path + "/APP_DATA.BIN"), "update bytes");
    EXPECT_EQ(FileText(mount_path + "/DCIM/NOTE.TXT"), "note");
    const std::vector<std::string> expected_requests =
        mount.mounted_before ? std::vector<std::string>{} : std::vector<std::string>{"Mount " + CameraUserNode()};
    EXPECT_EQ(script_->requests, expected_requests);
}

INSTANTIATE_TEST_SUITE_P(Volumes, LinuxMountOnFirstUseTest,
                         ::testing::Values(MountCase{"NotMountedFileAskedFirst", false, FirstQuestion::File},
                                           MountCase{"NotMountedFreeSpaceAskedFirst", false, FirstQuestion::FreeSpace},
                                           MountCase{"MountedBySomeoneElse", true, FirstQuestion::File}),
                         [](const ::testing::TestParamInfo<MountCase>& info) { return std::string(info.param.name); });

struct RefusedMountCase {
    const char* name;
    bool mount_ok;  // true: "mounted", yet at no path
};

void PrintTo(const RefusedMountCase& refused, std::ostream* out) { *out << refused.name; }

class LinuxRefusedMountTest : public LinuxPlatformTest, public ::testing::WithParamInterface<RefusedMountCase> {};

TEST_P(LinuxRefusedMountTest, FailsAndNeverFallsBackToALocalFile) {
    const RefusedMountCase& refused = GetParam();
    script_->mount_ok = refused.mount_ok;
    const std::string here = scratch_ + "/here";
    fs::create_directories(here);
    std::ofstream(here + "/B") << "local";
    {
        InFolder inside(here);
        EXPECT_FALSE(Backend().OpenFile("E:\\X", FileMode::CreateTruncate));
        EXPECT_FALSE(Backend().OpenFile("E:\\X", FileMode::ReadExisting));
        DiskFreeSpace space{};
        EXPECT_FALSE(Backend().FreeSpace("E:\\", &space));
        EXPECT_FALSE(Backend().RemoveFile("E:\\X"));
        EXPECT_FALSE(Backend().ReplaceFile("B", "E:\\X"));
    }
    EXPECT_EQ(FolderEntries(here), std::vector<std::string>{"B"});
    EXPECT_GE(script_->Count("Mount"), 1);
    EXPECT_EQ(script_->Count("Mount"), static_cast<int>(script_->requests.size()));
}

INSTANTIATE_TEST_SUITE_P(Volumes, LinuxRefusedMountTest,
                         ::testing::Values(RefusedMountCase{"NotAuthorized", false},
                                           RefusedMountCase{"MountedNowhere", true}),
                         [](const ::testing::TestParamInfo<RefusedMountCase>& info) {
                             return std::string(info.param.name);
                         });

// Once unmounted, the old mount path is an empty folder of the computer's
// own disk: a file put there would never reach the camera.
TEST_F(LinuxPlatformTest, AfterTheDismountFilesGoToTheNextMountNotTheOldPath) {
    const std::string first = scratch_ + "/media/first";
    const std::string second = scratch_ + "/media/second";
    fs::create_directories(first);
    fs::create_directories(second);
    script_->mount_path = first;
    ASSERT_TRUE(Backend().OpenFile("E:\\A", FileMode::CreateTruncate));
    ASSERT_TRUE(Backend().ControlVolume(VolumeDeviceName('E'), platform::VolumeControl::Dismount));

    script_->mount_path = second;
    ASSERT_TRUE(Backend().OpenFile("E:\\B", FileMode::CreateTruncate));
    EXPECT_EQ(FolderEntries(first), std::vector<std::string>{"A"});
    EXPECT_EQ(FolderEntries(second), std::vector<std::string>{"B"});
    EXPECT_EQ(script_->requests, (std::vector<std::string>{"Mount " + CameraUserNode(), "Unmount " + CameraUserNode(),
                                                           "Mount " + CameraUserNode()}));
}

// --- The eject --------------------------------------------------------------

struct EjectCase {
    const char* name;
    bool mounted;
    int unmount_failures;
    int eject_failures;
    EjectOutcome outcome;
    int unmounts;
    int ejects;
};

void PrintTo(const EjectCase& eject, std::ostream* out) { *out << eject.name; }

class LinuxEjectTest : public LinuxPlatformTest, public ::testing::WithParamInterface<EjectCase> {};

TEST_P(LinuxEjectTest, LockFlushesDismountUnmountsEjectEjects) {
    const EjectCase& eject = GetParam();
    if (eject.mounted) {
        const std::string mount_path = scratch_ + "/media/CAMERA";
        fs::create_directories(mount_path);
        FilesystemOf(*devices_, arrangement_.camera_user)->mount_point = mount_path;
    }
    script_->unmount_failures = eject.unmount_failures;
    script_->eject_failures = eject.eject_failures;
    Backend();

    std::vector<int> progress;
    std::vector<std::string> lines;
    const EjectOutcome outcome = EjectVolume(
        'E', [&](int position) { progress.push_back(position); },
        [&](const std::string& line) { lines.push_back(line); });
    EXPECT_TRUE(outcome.opened);
    EXPECT_EQ(outcome.locked, eject.outcome.locked);
    EXPECT_EQ(outcome.dismounted, eject.outcome.dismounted);
    EXPECT_EQ(outcome.ejected, eject.outcome.ejected);
    EXPECT_EQ(progress, (std::vector<int>{kProgressAfterLock, kProgressAfterDismount, kProgressAfterEject}));

    // Each control is one attempt: the repeats are all the eject's own.
    EXPECT_EQ(script_->Count("Unmount"), eject.unmounts);
    EXPECT_EQ(script_->Count("Eject"), eject.ejects);
    EXPECT_EQ(static_cast<int>(script_->requests.size()), eject.unmounts + eject.ejects);
    EXPECT_EQ(*pauses_, eject.unmounts - 1 + eject.ejects - 1);
    for (const std::string& request : script_->requests)
        EXPECT_TRUE(request == "Unmount " + CameraUserNode() || request == "Eject " + CameraUserNode()) << request;
    // Nothing is ejected before it is unmounted.
    EXPECT_EQ(script_->requests.front(), "Unmount " + CameraUserNode());
}

INSTANTIATE_TEST_SUITE_P(
    Eject, LinuxEjectTest,
    ::testing::Values(EjectCase{"AllSucceed", true, 0, 0, {true, true, true, true}, 1, 1},
                      EjectCase{"NotMounted", false, 0, 0, {true, true, true, true}, 1, 1},
                      EjectCase{"UnmountFailsTwice", true, 2, 0, {true, true, true, true}, 3, 1},
                      EjectCase{"UnmountAlwaysFails", true, kAlways, 0, {true, true, false, true}, kEjectAttempts, 1},
                      EjectCase{"EjectAlwaysFails", true, 0, kAlways, {true, true, true, false}, 1, kEjectAttempts}),
    [](const ::testing::TestParamInfo<EjectCase>& info) { return std::string(info.param.name); });

TEST_F(LinuxPlatformTest, AVolumeWithoutALetterIsNotEjected) {
    Backend();
    std::vector<std::string> lines;
    const EjectOutcome outcome = EjectVolume('J', nullptr, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_FALSE(outcome.opened);
    for (const auto control :
         {platform::VolumeControl::Lock, platform::VolumeControl::Dismount, platform::VolumeControl::Eject})
        EXPECT_FALSE(Backend().ControlVolume(VolumeDeviceName('J'), control));
    EXPECT_EQ(script_->requests, std::vector<std::string>{});
}

// --- Holds ------------------------------------------------------------------

TEST_F(LinuxPlatformTest, ASecondHoldOfTheSystemDiskIsBusyWhileTheFirstLives) {
    const std::string system_disk = PhysicalDriveName(3);
    platform::DeviceHoldResult first = Backend().HoldDevice(system_disk);
    ASSERT_TRUE(first.hold);
    EXPECT_FALSE(first.busy);

    const platform::DeviceHoldResult second = Backend().HoldDevice(system_disk);
    EXPECT_FALSE(second.hold);
    EXPECT_TRUE(second.busy);
    // Another run has a backend of its own.
    const platform::DeviceHoldResult other_run = MakeBackend()->HoldDevice(system_disk);
    EXPECT_FALSE(other_run.hold);
    EXPECT_TRUE(other_run.busy);
    // The camera's other disk is another device.
    const platform::DeviceHoldResult user_disk = Backend().HoldDevice(PhysicalDriveName(2));
    EXPECT_TRUE(user_disk.hold);

    first.hold.reset();
    const platform::DeviceHoldResult after = Backend().HoldDevice(system_disk);
    EXPECT_TRUE(after.hold);
    EXPECT_FALSE(after.busy);

    // The folder made for the locks is this user's alone.
    struct stat folder {};
    ASSERT_EQ(::lstat(lock_folder_.c_str(), &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_mode & 0077, 0u);
    EXPECT_EQ(script_->requests, std::vector<std::string>{});
}

TEST_F(LinuxPlatformTest, OnlyPhysicalDrivesThatExistAreHeld) {
    for (const std::string& name :
         {PhysicalDriveName(4), VolumeDeviceName('F'), std::string(kDisks[3].interface_path)}) {
        const platform::DeviceHoldResult held = Backend().HoldDevice(name);
        EXPECT_FALSE(held.hold) << name;
        EXPECT_FALSE(held.busy) << name;
    }
}

struct LockFolderCase {
    const char* name;
    // Makes the lock folder at `folder`; returns the folder whose contents
    // must stay empty.
    std::function<std::string(const std::string& folder, const std::string& scratch)> make;
};

void PrintTo(const LockFolderCase& folder, std::ostream* out) { *out << folder.name; }

std::function<std::string(const std::string&, const std::string&)> FolderWithMode(fs::perms mode) {
    return [mode](const std::string& folder, const std::string&) {
        fs::create_directories(folder);
        fs::permissions(folder, mode, fs::perm_options::replace);
        return folder;
    };
}

std::string LinkToAPrivateFolder(const std::string& folder, const std::string& scratch) {
    const std::string target = scratch + "/planted";
    fs::create_directories(target);
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directory_symlink(target, folder);
    return target;
}

class LinuxLockFolderTest : public LinuxPlatformTest, public ::testing::WithParamInterface<LockFolderCase> {};

TEST_P(LinuxLockFolderTest, IsRefusedAndNothingIsHeld) {
    const std::string watched = GetParam().make(lock_folder_, scratch_);
    const platform::DeviceHoldResult held = Backend().HoldDevice(PhysicalDriveName(3));
    EXPECT_FALSE(held.hold);
    EXPECT_FALSE(held.busy);
    EXPECT_EQ(FolderEntries(watched), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Holds, LinuxLockFolderTest,
    ::testing::Values(LockFolderCase{"SymbolicLink", LinkToAPrivateFolder},
                      LockFolderCase{"WritableByAll", FolderWithMode(fs::perms::all)},
                      LockFolderCase{"WritableByGroup", FolderWithMode(fs::perms::owner_all | fs::perms::group_all)},
                      LockFolderCase{"WritableByOthers", FolderWithMode(fs::perms::owner_all | fs::perms::others_write |
                                                                        fs::perms::others_exec)}),
    [](const ::testing::TestParamInfo<LockFolderCase>& info) { return std::string(info.param.name); });

// --- Rights -----------------------------------------------------------------

enum class ServiceKnows { Nothing, SystemDisk, UserDisk };

struct RightsCase {
    const char* name;
    bool camera_attached;
    bool system_disk_opens;  // directly, by this process
    ServiceKnows knows;
    bool administrator;
};

void PrintTo(const RightsCase& rights, std::ostream* out) { *out << rights.name; }

class LinuxRightsTest : public LinuxPlatformTest, public ::testing::WithParamInterface<RightsCase> {};

TEST_P(LinuxRightsTest, AnswerForTheCamerasSystemDisk) {
    const RightsCase& rights = GetParam();
    if (rights.camera_attached) {
        if (!rights.system_disk_opens) DiskOf(*devices_, "sdd")->devnode = MissingNode("sdd");
    } else {
        Unplug(*devices_, "sdc");
        Unplug(*devices_, "sdd");
        // Disks that are not the camera's do not count, open or not.
        for (BlockDisk& disk : devices_->disks) disk.devnode = MissingNode(disk.sysname);
    }
    const std::string system_node = DiskOf(*devices_, "sdd") ? DiskOf(*devices_, "sdd")->devnode : "";
    if (rights.knows == ServiceKnows::SystemDisk) script_->known.insert(system_node);
    if (rights.knows == ServiceKnows::UserDisk) script_->known.insert(CameraUserNode());

    EXPECT_EQ(Backend().IsAdministrator(), rights.administrator);
    // No right is missing yet, and no one is asked for consent.
    if (!rights.camera_attached) {
        EXPECT_EQ(script_->requests, std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rights, LinuxRightsTest,
    ::testing::Values(RightsCase{"NoCameraAttached", false, false, ServiceKnows::Nothing, true},
                      RightsCase{"SystemDiskOpens", true, true, ServiceKnows::Nothing, true},
                      RightsCase{"SystemDiskUnopenableServiceDoesNotKnowIt", true, false, ServiceKnows::Nothing, false},
                      RightsCase{"SystemDiskUnopenableServiceKnowsIt", true, false, ServiceKnows::SystemDisk, true},
                      // The camera's user disk does not reach its system disk.
                      RightsCase{"SystemDiskUnopenableServiceKnowsTheUserDisk", true, false, ServiceKnows::UserDisk,
                                 false}),
    [](const ::testing::TestParamInfo<RightsCase>& info) { return std::string(info.param.name); });

TEST_F(LinuxPlatformTest, NamesTheLinuxTextForMissingRights) {
    EXPECT_STREQ(Backend().MissingRightsTextKey(), "OT0.1");
}

// --- Raw writes -------------------------------------------------------------

struct RawWriteCase {
    const char* name;
    int drive;
    std::function<void(BlockSnapshot&, const std::string& nodes)> change;
    bool opens_for_writing;
};

void PrintTo(const RawWriteCase& raw, std::ostream* out) { *out << raw.name; }

class LinuxRawWriteTest : public LinuxPlatformTest, public ::testing::WithParamInterface<RawWriteCase> {};

// The nodes are read-only files: a process that may not open a node for
// writing asks the service, which grants, so a missing refusal shows as a
// device whoever runs the test.
TEST_P(LinuxRawWriteTest, OnlyTheCamerasSystemDiskOpensForWriting) {
    const RawWriteCase& raw = GetParam();
    raw.change(*devices_, nodes_);
    for (const BlockDisk& disk : devices_->disks) {
        std::ofstream(disk.devnode) << "sectors of " << disk.sysname;
        fs::permissions(disk.devnode, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                        fs::perm_options::replace);
    }
    const std::string name = PhysicalDriveName(raw.drive);

    const auto for_writing = Backend().OpenDevice(name, DeviceAccess::ReadWrite);
    EXPECT_EQ(static_cast<bool>(for_writing), raw.opens_for_writing);
    if (!raw.opens_for_writing) {
        EXPECT_EQ(script_->requests, std::vector<std::string>{});
    }
    // Reading is harmless, and still works.
    EXPECT_TRUE(Backend().OpenDevice(name, DeviceAccess::Read));
}

// A disk opened by a platform that has since been replaced has no one left
// to check its writes against: they are refused, and the node keeps its bytes.
TEST_F(LinuxPlatformTest, AWriteAfterItsPlatformIsGoneIsRefused) {
    const std::string node = CameraSystemNode();
    std::ofstream(node) << std::string(kSectorSize, 'o');
    std::unique_ptr<platform::Platform> backend = MakeBackend();
    const auto disk = backend->OpenDevice(PhysicalDriveName(3), DeviceAccess::ReadWrite);
    ASSERT_TRUE(disk);
    backend.reset();
    const std::string sector(kSectorSize, 'n');
    ASSERT_TRUE(disk->Seek(0));
    EXPECT_EQ(disk->Write(sector.data(), sector.size()), 0u);
    EXPECT_EQ(testsupport::ReadFileBytes(node), std::vector<std::uint8_t>(kSectorSize, 'o'));
}

void AsItIs(BlockSnapshot&, const std::string&) {}

void HomeOnTheSystemDisk(BlockSnapshot& snapshot, const std::string& nodes) {
    BlockFilesystem home = Filesystem(nodes, "sdd2", "sdd", "ext4", std::nullopt, 64ull << 20);
    home.mount_point = "/home";
    snapshot.filesystems.push_back(home);
}

INSTANTIATE_TEST_SUITE_P(RawDisks, LinuxRawWriteTest,
                         ::testing::Values(RawWriteCase{"BuiltInDisk", 0, AsItIs, false},
                                           RawWriteCase{"UsbStick", 1, AsItIs, false},
                                           RawWriteCase{"CameraUserDisk", 2, AsItIs, false},
                                           RawWriteCase{"SystemDiskHoldingHome", 3, HomeOnTheSystemDisk, false},
                                           RawWriteCase{"CameraSystemDisk", 3, AsItIs, true}),
                         [](const ::testing::TestParamInfo<RawWriteCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
