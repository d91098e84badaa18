// The Windows form of hand-made block-device snapshots: disk interface
// paths and parent IDs, drive numbers, drive letters and volume facts.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "device/platform/linux/windows_names.h"

namespace {

using namespace platform::blockdev;
using platform::DriveType;

const std::string kDiskClass = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

BlockDisk FixedDisk(const std::string& name) {
    BlockDisk disk;
    disk.sysname = name;
    disk.devnode = "/dev/" + name;
    disk.removable = false;
    return disk;
}

BlockDisk UsbDisk(const std::string& name) {
    BlockDisk disk = FixedDisk(name);
    disk.removable = true;
    disk.on_usb = true;
    disk.usb_port = "1-2";
    disk.vendor_id = 0xe4d2;
    disk.model_id = 0x3a17;
    disk.serial = "1634";
    disk.lun = 0;
    return disk;
}

BlockDisk CameraDisk(const std::string& name, const std::string& model, const std::string& revision, unsigned lun) {
    BlockDisk disk = UsbDisk(name);
    disk.vendor = "BRENX";
    disk.model = model;
    disk.revision = revision;
    disk.lun = lun;
    return disk;
}

BlockFilesystem Filesystem(const std::string& name, const std::string& disk) {
    BlockFilesystem filesystem;
    filesystem.sysname = name;
    filesystem.devnode = "/dev/" + name;
    filesystem.disk_sysname = disk;
    filesystem.type = "vfat";
    return filesystem;
}

struct IdentityCase {
    const char* what;
    BlockDisk disk;
    std::string interface_path;
    std::string parent;
};

std::vector<IdentityCase> IdentityCases() {
    std::vector<IdentityCase> cases;
    cases.push_back({"camera user disk", CameraDisk("sdc", "FOTOBEAN", "2.10", 0),
                     "\\\\?\\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0" + kDiskClass,
                     "USB\\VID_E4D2&PID_3A17\\1634"});
    cases.push_back({"camera system disk", CameraDisk("sdd", "SYSTEM", "2.12", 1),
                     "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1" + kDiskClass,
                     "USB\\VID_E4D2&PID_3A17\\1634"});

    BlockDisk mixed = UsbDisk("sde");
    mixed.vendor = "Ven Dor";
    mixed.model = "A&B#C";
    mixed.revision = "1,0\\";
    mixed.serial = "Ab12x";
    mixed.lun = 7;
    mixed.vendor_id = 0x0e4d;
    mixed.model_id = 0x00ff;
    cases.push_back({"separators and case", mixed, "\\\\?\\usbstor#disk&ven_ven_dor&prod_a_b_c&rev_1_0_#ab12x&7" + kDiskClass,
                     "USB\\VID_0E4D&PID_00FF\\AB12X"});

    BlockDisk foreign = UsbDisk("sdf");
    foreign.model = "K\xC3\xA4se\x01";
    cases.push_back({"bytes outside printable ASCII", foreign,
                     "\\\\?\\usbstor#disk&ven_&prod_k__se_&rev_#1634&0" + kDiskClass, "USB\\VID_E4D2&PID_3A17\\1634"});

    BlockDisk no_serial = UsbDisk("sdg");
    no_serial.serial.reset();
    no_serial.usb_port = "1-4.2";
    no_serial.lun.reset();
    cases.push_back({"no serial, no LUN", no_serial, "\\\\?\\usbstor#disk&ven_&prod_&rev_#1-4.2&0" + kDiskClass,
                     "USB\\VID_E4D2&PID_3A17\\1-4.2"});

    BlockDisk no_port = no_serial;
    no_port.usb_port.reset();
    cases.push_back({"neither serial nor port", no_port, "\\\\?\\usbstor#disk&ven_&prod_&rev_#sdg&0" + kDiskClass,
                     "USB\\VID_E4D2&PID_3A17\\SDG"});

    BlockDisk no_ids = UsbDisk("sdh");
    no_ids.model_id.reset();
    cases.push_back({"USB without a product ID", no_ids, "\\\\?\\usbstor#disk&ven_&prod_&rev_#1634&0" + kDiskClass, ""});

    BlockDisk sata = FixedDisk("sda");
    sata.vendor = "ATA";
    sata.model = "Fixed_SSD";
    sata.revision = "1B";
    sata.serial = "S0FIXED";
    sata.vendor_id = 0x1234;
    sata.model_id = 0x5678;
    cases.push_back({"built-in disk", sata, "\\\\?\\scsi#disk&ven_ata&prod_fixed_ssd&rev_1b#sda" + kDiskClass, ""});

    BlockDisk card = FixedDisk("mmcblk0");
    card.removable = true;
    cases.push_back({"card reader not on USB", card, "\\\\?\\scsi#disk&ven_&prod_&rev_#mmcblk0" + kDiskClass, ""});
    return cases;
}

TEST(WindowsNames, InterfacePathAndParentOfEachKindOfDisk) {
    for (const IdentityCase& c : IdentityCases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DiskInterfacePath(c.disk), c.interface_path);
        EXPECT_EQ(ParentInstanceId(c.disk), c.parent);
    }
}

std::vector<std::pair<std::string, std::uint32_t>> Numbers(const WindowsView& view) {
    std::vector<std::pair<std::string, std::uint32_t>> numbers;
    for (const WindowsDisk& disk : view.disks) numbers.emplace_back(disk.sysname, disk.number);
    return numbers;
}

struct NumberingCase {
    const char* what;
    std::vector<BlockDisk> disks;  // in the order udev lists them
    std::vector<std::pair<std::string, std::uint32_t>> numbers;
};

TEST(WindowsNames, NumbersBuiltInDisksFirstAndNeverGivesZeroToARemovableOne) {
    BlockDisk card = FixedDisk("mmcblk0");
    card.removable = true;
    const NumberingCase cases[] = {
        {"built-in disks first", {UsbDisk("sdb"), FixedDisk("sda"), FixedDisk("nvme0n1")},
         {{"sda", 0}, {"nvme0n1", 1}, {"sdb", 2}}},
        {"only removable disks start at 1", {UsbDisk("sdc"), UsbDisk("sdb")}, {{"sdb", 1}, {"sdc", 2}}},
        {"shorter names first", {UsbDisk("sdaa"), UsbDisk("sdz"), UsbDisk("sdb")},
         {{"sdb", 1}, {"sdz", 2}, {"sdaa", 3}}},
        {"removable media without USB", {card, FixedDisk("vda")}, {{"vda", 0}, {"mmcblk0", 1}}},
        {"loop numbers", {FixedDisk("loop10"), FixedDisk("loop2")}, {{"loop2", 0}, {"loop10", 1}}},
        {"nothing", {}, {}},
    };
    for (const NumberingCase& c : cases) {
        SCOPED_TRACE(c.what);
        BlockSnapshot snapshot;
        snapshot.disks = c.disks;
        const WindowsView view = NameInWindowsForm(snapshot);
        EXPECT_EQ(Numbers(view), c.numbers);
        for (const WindowsDisk& disk : view.disks) {
            EXPECT_EQ(disk.drive_name, "\\\\.\\PHYSICALDRIVE" + std::to_string(disk.number));
            EXPECT_EQ(disk.devnode, "/dev/" + disk.sysname);
        }
    }
}

std::string Describe(const WindowsView& view) {
    std::ostringstream text;
    for (const WindowsDisk& disk : view.disks)
        text << disk.number << ' ' << disk.sysname << ' ' << disk.interface_path << ' ' << disk.parent_instance << '\n';
    for (const WindowsVolume& volume : view.volumes)
        text << volume.letter << ' ' << volume.sysname << ' ' << volume.device_number << '\n';
    return text.str();
}

BlockSnapshot MixedComputer() {
    BlockSnapshot snapshot;
    snapshot.disks = {FixedDisk("sda"), UsbDisk("sdb"), CameraDisk("sdc", "FOTOBEAN", "2.10", 0),
                      CameraDisk("sdd", "SYSTEM", "2.12", 1)};
    snapshot.filesystems = {Filesystem("sda1", "sda"),  Filesystem("sda2", "sda"), Filesystem("sdb10", "sdb"),
                            Filesystem("sdb2", "sdb"),  Filesystem("sdb1", "sdb"), Filesystem("sdc", "sdc"),
                            Filesystem("sdd1", "sdd")};
    return snapshot;
}

TEST(WindowsNames, SameNamesWhateverOrderUdevListsTheDevicesIn) {
    BlockSnapshot snapshot = MixedComputer();
    const std::string first = Describe(NameInWindowsForm(snapshot));
    std::sort(snapshot.disks.begin(), snapshot.disks.end(),
              [](const BlockDisk& a, const BlockDisk& b) { return a.sysname < b.sysname; });
    do {
        std::reverse(snapshot.filesystems.begin(), snapshot.filesystems.end());
        ASSERT_EQ(Describe(NameInWindowsForm(snapshot)), first);
    } while (std::next_permutation(snapshot.disks.begin(), snapshot.disks.end(),
                                   [](const BlockDisk& a, const BlockDisk& b) { return a.sysname < b.sysname; }));
}

TEST(WindowsNames, LettersGoToRemovableVolumesFirstByDiskThenName) {
    const WindowsView view = NameInWindowsForm(MixedComputer());
    struct Expected {
        char letter;
        const char* sysname;
        std::uint32_t device_number;
        DriveType type;
    };
    const Expected expected[] = {
        {'D', "sdb1", 1, DriveType::Removable}, {'E', "sdb2", 1, DriveType::Removable},
        {'F', "sdb10", 1, DriveType::Removable}, {'G', "sdc", 2, DriveType::Removable},
        {'H', "sdd1", 3, DriveType::Removable}, {'I', "sda1", 0, DriveType::Fixed},
        {'J', "sda2", 0, DriveType::Fixed},
    };
    ASSERT_EQ(view.volumes.size(), std::size(expected));
    for (std::size_t i = 0; i < view.volumes.size(); ++i) {
        SCOPED_TRACE(expected[i].sysname);
        EXPECT_EQ(view.volumes[i].letter, expected[i].letter);
        EXPECT_EQ(view.volumes[i].sysname, expected[i].sysname);
        EXPECT_EQ(view.volumes[i].devnode, std::string("/dev/") + expected[i].sysname);
        EXPECT_EQ(view.volumes[i].device_number, expected[i].device_number);
        EXPECT_EQ(view.volumes[i].type, expected[i].type);
        // The volume's disk carries the same number as a physical drive.
        const WindowsDisk* disk = DiskOfNumber(view, expected[i].device_number);
        ASSERT_TRUE(disk);
        EXPECT_EQ(disk->number, view.volumes[i].device_number);
    }
}

TEST(WindowsNames, LettersEndAtZAndSkipC) {
    BlockSnapshot snapshot;
    snapshot.disks = {UsbDisk("sdb")};
    for (int i = 1; i <= 30; ++i) snapshot.filesystems.push_back(Filesystem("sdb" + std::to_string(i), "sdb"));
    // A filesystem whose disk is not in the snapshot gets nothing.
    snapshot.filesystems.push_back(Filesystem("sdq1", "sdq"));
    const WindowsView view = NameInWindowsForm(snapshot);
    ASSERT_EQ(view.volumes.size(), std::size_t{kLastGivenLetter - kFirstGivenLetter + 1});
    EXPECT_EQ(view.volumes.front().letter, 'D');
    EXPECT_EQ(view.volumes.front().sysname, "sdb1");
    EXPECT_EQ(view.volumes.back().letter, 'Z');
    EXPECT_EQ(view.volumes.back().sysname, "sdb23");
    EXPECT_FALSE(VolumeOfLetter(view, 'C'));
}

TEST(WindowsNames, VolumeLabelSizeAndMountPoint) {
    struct Case {
        const char* what;
        std::optional<std::string> label;
        std::optional<std::string> type;
        std::optional<std::string> reported;
    };
    const Case cases[] = {
        {"labelled", "QX SYSTEM", "vfat", "QX SYSTEM"},
        {"unlabelled filesystem", std::nullopt, "vfat", ""},
        {"unformatted", std::nullopt, std::nullopt, std::nullopt},
        {"label of unknown type", "OLD", std::nullopt, "OLD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BlockSnapshot snapshot;
        snapshot.disks = {FixedDisk("sda")};
        BlockFilesystem filesystem = Filesystem("sda1", "sda");
        filesystem.label = c.label;
        filesystem.type = c.type;
        filesystem.size_bytes = 268435456;
        filesystem.mount_point = "/mnt/x";
        snapshot.filesystems = {filesystem};
        const WindowsView view = NameInWindowsForm(snapshot);
        const WindowsVolume* volume = VolumeOfLetter(view, 'd');  // either case
        ASSERT_TRUE(volume);
        EXPECT_EQ(volume->label, c.reported);
        EXPECT_EQ(volume->total_bytes, 268435456u);
        EXPECT_EQ(volume->mount_point, "/mnt/x");
    }
}

TEST(WindowsNames, FindsADiskByItsInterfacePath) {
    const WindowsView view = NameInWindowsForm(MixedComputer());
    const WindowsDisk* system_disk =
        DiskOfInterface(view, "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1" + kDiskClass);
    ASSERT_TRUE(system_disk);
    EXPECT_EQ(system_disk->sysname, "sdd");
    EXPECT_EQ(system_disk->number, 3u);
    EXPECT_FALSE(DiskOfInterface(view, "\\\\?\\usbstor#disk&ven_brenx"));
    EXPECT_FALSE(DiskOfNumber(view, 4));
}

}  // namespace
