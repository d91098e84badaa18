// A snapshot of this computer's block devices, read with libudev: the whole
// disks and the filesystems on them, with what the Windows-form names of
// windows_names.h are made from.
//
// Which block devices count:
// - A disk is a block device of DEVTYPE "disk" that has a device node.
//   Loop devices are left out unless the caller asks for them (and then only
//   attached ones, of non-zero size: the idle /dev/loopN are no disks), and
//   RAM disks (ram*, zram*), device-mapper devices (dm-*) and software RAID
//   (md*) always are: they are views of other disks or of memory, never a
//   camera, and the camera's raw sectors must be reached on its own disk.
//   So are optical drives (ID_CDROM=1), which Windows names apart from the
//   physical drives and which discovery never looks at.
// - A filesystem is a partition of such a disk, or the disk itself when
//   udev found a filesystem on the whole of it (ID_FS_TYPE, as cameras and
//   many sticks are formatted without a partition table). Extended-partition
//   containers are left out: they hold the logical partitions, not files.
//
// Every value read from udev or sysfs is checked; one that is missing or
// does not parse is left absent, and the device is still reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::blockdev {

struct BlockDisk {
    std::string sysname;                       // "sdb"
    std::string devnode;                       // "/dev/sdb"
    std::optional<std::uint64_t> size_bytes;   // sysfs "size" x 512
    std::optional<bool> removable;             // sysfs "removable": the medium can be taken out
    bool on_usb = false;                       // ID_BUS=usb, or a USB device above it
    // As udev reports them for USB storage: text with blanks already turned
    // into '_' (ID_VENDOR, ID_MODEL, ID_REVISION, ID_SERIAL_SHORT).
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    std::optional<std::string> revision;
    std::optional<std::string> serial;
    std::optional<std::uint16_t> vendor_id;    // ID_VENDOR_ID, hexadecimal
    std::optional<std::uint16_t> model_id;     // ID_MODEL_ID, hexadecimal
    std::optional<unsigned> usb_interface;     // ID_USB_INTERFACE_NUM, hexadecimal
    std::optional<unsigned> lun;               // last number of the SCSI parent "h:c:t:l"
    std::optional<std::string> usb_port;       // sysname of the USB device above ("1-2")
};

struct BlockFilesystem {
    std::string sysname;                       // "sdb1", or "sdb" for a whole-disk filesystem
    std::string devnode;                       // "/dev/sdb1"
    std::string disk_sysname;                  // the BlockDisk it lies on
    std::optional<std::uint64_t> size_bytes;   // of the partition (or disk) that holds it
    std::optional<std::string> type;           // ID_FS_TYPE ("vfat")
    // ID_FS_LABEL_ENC decoded (blanks kept), else ID_FS_LABEL.
    std::optional<std::string> label;
    std::optional<std::string> mount_point;    // from mountinfo, escapes decoded
};

struct BlockSnapshot {
    std::vector<BlockDisk> disks;              // in udev's enumeration order
    std::vector<BlockFilesystem> filesystems;  // in udev's enumeration order
};

struct SnapshotOptions {
    // Attached loop devices count as disks (for tests on disk images).
    bool include_loop_devices = false;
    std::string mountinfo_path = "/proc/self/mountinfo";
};

// Reads the snapshot. False, with a message, only when udev itself cannot
// be asked; an unreadable mountinfo leaves every mount point absent.
bool ReadBlockDevices(const SnapshotOptions& options, BlockSnapshot* snapshot, std::string* error);

// The parsers the snapshot is made with; each gives nothing for text it
// does not fully understand.

// A sysfs "size" (decimal count of 512-byte sectors) in bytes.
std::optional<std::uint64_t> ParseSectorCount(std::string_view text);
// A sysfs flag: exactly "0" or "1" (a trailing newline allowed).
std::optional<bool> ParseFlag(std::string_view text);
// One to four hexadecimal digits.
std::optional<std::uint16_t> ParseHex16(std::string_view text);
// The LUN, the last of the four numbers of a SCSI device name "h:c:t:l".
std::optional<unsigned> ParseScsiLun(std::string_view sysname);
// udev's encoded strings (ID_FS_LABEL_ENC): "\xNN" stands for the byte NN.
std::optional<std::string> DecodeUdevString(std::string_view text);
// mountinfo's octal escapes: "\040" stands for a blank.
std::optional<std::string> DecodeMountInfoString(std::string_view text);

struct MountEntry {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::string root;         // the directory of the filesystem mounted there
    std::string mount_point;
    std::string source;       // "/dev/sdb1"
};
// The lines of a mountinfo file that parse; others are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// Where a filesystem is mounted: the first mount of its whole filesystem
// (root "/"), else its first mount of all; matched by device number when
// known (major > 0), else by source path.
std::optional<std::string> MountPointOf(const std::vector<MountEntry>& mounts, std::uint32_t major,
                                        std::uint32_t minor, const std::string& devnode);

}  // namespace platform::blockdev
