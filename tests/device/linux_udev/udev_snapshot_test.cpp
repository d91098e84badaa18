// The block-device snapshot and its Windows form against faked udev trees
// (umockdev): a computer with a built-in disk, a USB stick and the camera,
// and a tree of broken values. Runs under umockdev-wrapper, which diverts
// /sys, /dev and /proc into the test bed.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "device/platform/linux/block_devices.h"
#include "device/platform/linux/windows_names.h"

namespace {

using namespace platform::blockdev;
using platform::DriveType;

const char kDiskClass[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// The built-in disk's root and EFI partition, the stick mounted twice (a
// folder of it bound elsewhere first), the camera's user volume, and a line
// that does not parse.
const char kMountInfo[] =
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "30 22 8:1 / /boot/efi rw,relatime shared:7 - vfat /dev/sda1 rw\n"
    "39 22 8:17 /DCIM /srv/photos rw,relatime shared:9 - vfat /dev/sdb1 rw\n"
    "40 22 8:17 / /media/user/MY\\040STICK rw,nosuid shared:8 - vfat /dev/sdb1 rw\n"
    "not a mount line\n"
    "41 22 8:32 / /media/user/CAMERA rw,nosuid - vfat /dev/sdc rw\n";

class FakedUdevTree : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        if (!umockdev_in_mock_environment())
            GTEST_SKIP() << "not running under umockdev-wrapper: udev would show this computer's real devices";
    }

    void TearDown() override {
        if (testbed_) g_object_unref(testbed_);
    }

    // Our description files carry '#' comments, which umockdev does not read.
    void Load(const std::string& file_name) {
        std::ifstream file(std::string(QUILLON_UDEV_FIXTURES) + "/" + file_name);
        ASSERT_TRUE(file) << file_name;
        std::string description;
        for (std::string line; std::getline(file, line);)
            if (line.empty() || line[0] != '#') description += line + "\n";
        // Paragraphs are separated by one empty line; the comments leave
        // more at the top.
        description.erase(0, description.find_first_not_of('\n'));
        GError* error = nullptr;
        const bool added = umockdev_testbed_add_from_string(testbed_, description.c_str(), &error);
        ASSERT_TRUE(added) << (error ? error->message : "") << " in " << file_name;
    }

    // The test bed's /proc/self/mountinfo stands in for the real one.
    void WriteMountInfo(const std::string& text) {
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        const std::filesystem::path folder = std::filesystem::path(root) / "proc" / "self";
        g_free(root);
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "mountinfo") << text;
    }

    BlockSnapshot Snapshot(const SnapshotOptions& options = {}) {
        BlockSnapshot snapshot;
        std::string error;
        EXPECT_TRUE(ReadBlockDevices(options, &snapshot, &error)) << error;
        return snapshot;
    }

    void LoadComputer() {
        Load("computer.umockdev");
        WriteMountInfo(kMountInfo);
    }

    UMockdevTestbed* testbed_ = nullptr;
};

std::map<std::string, BlockDisk> DisksByName(const BlockSnapshot& snapshot) {
    std::map<std::string, BlockDisk> disks;
    for (const BlockDisk& disk : snapshot.disks) disks[disk.sysname] = disk;
    return disks;
}

std::map<std::string, BlockFilesystem> FilesystemsByName(const BlockSnapshot& snapshot) {
    std::map<std::string, BlockFilesystem> filesystems;
    for (const BlockFilesystem& filesystem : snapshot.filesystems) filesystems[filesystem.sysname] = filesystem;
    return filesystems;
}

template <typename Map>
std::vector<std::string> Names(const Map& map) {
    std::vector<std::string> names;
    for (const auto& [name, value] : map) names.push_back(name);
    return names;
}

std::optional<std::string> Text(const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; }

struct ExpectedDisk {
    const char* sysname;
    std::uint64_t size_bytes;
    bool removable;
    bool on_usb;
    const char* vendor;
    const char* model;
    const char* revision;
    const char* serial;
    std::optional<std::uint16_t> vendor_id;
    std::optional<std::uint16_t> model_id;
    std::optional<unsigned> lun;
    const char* usb_port;
};

TEST_F(FakedUdevTree, ReadsEveryDiskWithItsUsbIdentity) {
    LoadComputer();
    const auto disks = DisksByName(Snapshot());
    ASSERT_EQ(Names(disks), (std::vector<std::string>{"sda", "sdb", "sdc", "sdd"}));
    const ExpectedDisk expected[] = {
        {"sda", 976773168ull * 512, false, false, nullptr, "FIXED_SSD_500", "1B2Q", "S0FIXED", std::nullopt,
         std::nullopt, 0, nullptr},
        {"sdb", 15728640ull * 512, true, true, "Generic", "Flash_Disk", "8.07", "a1b2c3d4", 0x058f, 0x6387, 0, "1-1"},
        {"sdc", 387680ull * 512, true, true, "BRENX", "FOTOBEAN", "2.10", "1634", 0xe4d2, 0x3a17, 0, "1-2"},
        {"sdd", 524288ull * 512, true, true, "BRENX", "SYSTEM", "2.12", "1634", 0xe4d2, 0x3a17, 1, "1-2"},
    };
    for (const ExpectedDisk& want : expected) {
        SCOPED_TRACE(want.sysname);
        const BlockDisk& disk = disks.at(want.sysname);
        EXPECT_EQ(disk.devnode, std::string("/dev/") + want.sysname);
        EXPECT_EQ(disk.size_bytes, want.size_bytes);
        EXPECT_EQ(disk.removable, want.removable);
        EXPECT_EQ(disk.on_usb, want.on_usb);
        EXPECT_EQ(disk.vendor, Text(want.vendor));
        EXPECT_EQ(disk.model, Text(want.model));
        EXPECT_EQ(disk.revision, Text(want.revision));
        EXPECT_EQ(disk.serial, Text(want.serial));
        EXPECT_EQ(disk.vendor_id, want.vendor_id);
        EXPECT_EQ(disk.model_id, want.model_id);
        EXPECT_EQ(disk.lun, want.lun);
        EXPECT_EQ(disk.usb_port, Text(want.usb_port));
        EXPECT_EQ(disk.usb_interface, want.on_usb ? std::optional<unsigned>(0) : std::nullopt);
    }
}

struct ExpectedFilesystem {
    const char* sysname;
    const char* disk;
    const char* type;
    const char* label;
    std::uint64_t size_bytes;
    const char* mount_point;
};

TEST_F(FakedUdevTree, ReadsPartitionsAndWholeDiskFilesystemsWithTheirMounts) {
    LoadComputer();
    const auto filesystems = FilesystemsByName(Snapshot());
    ASSERT_EQ(Names(filesystems), (std::vector<std::string>{"sda1", "sda2", "sdb1", "sdc", "sdd1"}));
    const ExpectedFilesystem expected[] = {
        {"sda1", "sda", "vfat", "EFI", 1048576ull * 512, "/boot/efi"},
        {"sda2", "sda", "ext4", nullptr, 975722496ull * 512, "/"},
        // The encoded label keeps the blank that ID_FS_LABEL turns into '_';
        // the whole filesystem's mount wins over the bound folder.
        {"sdb1", "sdb", "vfat", "MY STICK", 15726592ull * 512, "/media/user/MY STICK"},
        {"sdc", "sdc", "vfat", "CAMERA", 387680ull * 512, "/media/user/CAMERA"},
        {"sdd1", "sdd", "vfat", "QX SYSTEM", 262144ull * 512, nullptr},
    };
    for (const ExpectedFilesystem& want : expected) {
        SCOPED_TRACE(want.sysname);
        const BlockFilesystem& filesystem = filesystems.at(want.sysname);
        EXPECT_EQ(filesystem.devnode, std::string("/dev/") + want.sysname);
        EXPECT_EQ(filesystem.disk_sysname, want.disk);
        EXPECT_EQ(filesystem.type, Text(want.type));
        EXPECT_EQ(filesystem.label, Text(want.label));
        EXPECT_EQ(filesystem.size_bytes, want.size_bytes);
        EXPECT_EQ(filesystem.mount_point, Text(want.mount_point));
    }
}

TEST_F(FakedUdevTree, LoopDevicesCountOnlyWhenAskedForAndAttached) {
    LoadComputer();
    const std::vector<std::string> without_loops = {"sda", "sdb", "sdc", "sdd"};
    EXPECT_EQ(Names(DisksByName(Snapshot())), without_loops);

    SnapshotOptions options;
    options.include_loop_devices = true;
    const BlockSnapshot snapshot = Snapshot(options);
    // RAM disks, zram, device mapper and the optical drive never count;
    // the idle loop0 neither.
    EXPECT_EQ(Names(DisksByName(snapshot)), (std::vector<std::string>{"loop1", "sda", "sdb", "sdc", "sdd"}));
    const auto filesystems = FilesystemsByName(snapshot);
    ASSERT_TRUE(filesystems.count("loop1"));
    EXPECT_EQ(filesystems.at("loop1").label, "IMAGE");
    EXPECT_EQ(filesystems.at("loop1").disk_sysname, "loop1");
}

TEST_F(FakedUdevTree, UnreadableMountInfoLeavesEveryMountPointAbsent) {
    LoadComputer();
    SnapshotOptions options;
    options.mountinfo_path = "/proc/self/no-such-mountinfo";
    const BlockSnapshot snapshot = Snapshot(options);
    ASSERT_EQ(snapshot.filesystems.size(), 5u);
    for (const BlockFilesystem& filesystem : snapshot.filesystems)
        EXPECT_FALSE(filesystem.mount_point) << filesystem.sysname;
}

struct ExpectedWindowsDisk {
    const char* sysname;
    std::uint32_t number;
    std::string interface_path;
    const char* parent;
};

TEST_F(FakedUdevTree, NamesTheComputerInWindowsForm) {
    LoadComputer();
    const WindowsView view = NameInWindowsForm(Snapshot());
    const ExpectedWindowsDisk expected_disks[] = {
        {"sda", 0, std::string("\\\\?\\scsi#disk&ven_&prod_fixed_ssd_500&rev_1b2q#sda") + kDiskClass, ""},
        {"sdb", 1, std::string("\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#a1b2c3d4&0") + kDiskClass,
         "USB\\VID_058F&PID_6387\\A1B2C3D4"},
        // Exactly the shape of the simulated camera's manifest.
        {"sdc", 2, std::string("\\\\?\\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0") + kDiskClass,
         "USB\\VID_E4D2&PID_3A17\\1634"},
        {"sdd", 3, std::string("\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1") + kDiskClass,
         "USB\\VID_E4D2&PID_3A17\\1634"},
    };
    ASSERT_EQ(view.disks.size(), std::size(expected_disks));
    for (std::size_t i = 0; i < view.disks.size(); ++i) {
        const ExpectedWindowsDisk& want = expected_disks[i];
        const WindowsDisk& disk = view.disks[i];
        SCOPED_TRACE(want.sysname);
        EXPECT_EQ(disk.sysname, want.sysname);
        EXPECT_EQ(disk.devnode, std::string("/dev/") + want.sysname);
        EXPECT_EQ(disk.number, want.number);
        EXPECT_EQ(disk.drive_name, "\\\\.\\PHYSICALDRIVE" + std::to_string(want.number));
        EXPECT_EQ(disk.interface_path, want.interface_path);
        EXPECT_EQ(disk.parent_instance, want.parent);
    }

    struct ExpectedVolume {
        char letter;
        const char* sysname;
        std::uint32_t device_number;
        DriveType type;
        std::optional<std::string> label;
    };
    // USB volumes first, so the camera's always get a letter.
    const ExpectedVolume expected_volumes[] = {
        {'D', "sdb1", 1, DriveType::Removable, "MY STICK"}, {'E', "sdc", 2, DriveType::Removable, "CAMERA"},
        {'F', "sdd1", 3, DriveType::Removable, "QX SYSTEM"}, {'G', "sda1", 0, DriveType::Fixed, "EFI"},
        {'H', "sda2", 0, DriveType::Fixed, ""},
    };
    ASSERT_EQ(view.volumes.size(), std::size(expected_volumes));
    for (std::size_t i = 0; i < view.volumes.size(); ++i) {
        const ExpectedVolume& want = expected_volumes[i];
        const WindowsVolume& volume = view.volumes[i];
        SCOPED_TRACE(want.sysname);
        EXPECT_EQ(volume.letter, want.letter);
        EXPECT_EQ(volume.sysname, want.sysname);
        EXPECT_EQ(volume.device_number, want.device_number);
        EXPECT_EQ(volume.type, want.type);
        EXPECT_EQ(volume.label, want.label);
    }
    // The camera's user volume lies in the size window discovery asks for.
    EXPECT_EQ(view.volumes[1].total_bytes, 198492160u);
    EXPECT_EQ(view.volumes[1].mount_point, "/media/user/CAMERA");
}

TEST_F(FakedUdevTree, BrokenOrMissingValuesAreAbsent) {
    Load("malformed.umockdev");
    WriteMountInfo("");
    const BlockSnapshot snapshot = Snapshot();
    // The disk without a device node is no disk; the extended partition
    // holds no files.
    ASSERT_EQ(Names(DisksByName(snapshot)), std::vector<std::string>{"sde"});
    ASSERT_EQ(Names(FilesystemsByName(snapshot)), std::vector<std::string>{"sde1"});

    const BlockDisk& disk = snapshot.disks[0];
    EXPECT_FALSE(disk.size_bytes);
    EXPECT_FALSE(disk.removable);
    EXPECT_TRUE(disk.on_usb);  // by its USB parent, without ID_BUS
    EXPECT_FALSE(disk.vendor);
    EXPECT_FALSE(disk.model);
    EXPECT_FALSE(disk.revision);
    EXPECT_FALSE(disk.serial);
    EXPECT_FALSE(disk.vendor_id);
    EXPECT_FALSE(disk.model_id);
    EXPECT_FALSE(disk.usb_interface);
    EXPECT_FALSE(disk.lun);
    EXPECT_EQ(disk.usb_port, "2-1");

    const BlockFilesystem& filesystem = snapshot.filesystems[0];
    EXPECT_EQ(filesystem.label, "BROKEN_ESC");  // the encoded label does not decode
    EXPECT_FALSE(filesystem.type);
    EXPECT_FALSE(filesystem.size_bytes);
    EXPECT_FALSE(filesystem.mount_point);

    const WindowsView view = NameInWindowsForm(snapshot);
    ASSERT_EQ(view.disks.size(), 1u);
    EXPECT_EQ(view.disks[0].number, 1u);
    EXPECT_EQ(view.disks[0].interface_path, std::string("\\\\?\\usbstor#disk&ven_&prod_&rev_#2-1&0") + kDiskClass);
    EXPECT_EQ(view.disks[0].parent_instance, "");
    ASSERT_EQ(view.volumes.size(), 1u);
    EXPECT_EQ(view.volumes[0].letter, 'D');
    EXPECT_EQ(view.volumes[0].type, DriveType::Removable);
    EXPECT_FALSE(view.volumes[0].total_bytes);
}

}  // namespace
