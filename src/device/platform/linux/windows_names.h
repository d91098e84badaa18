// The block-device snapshot in the Windows form the platform interface and
// device discovery speak: physical drive numbers, drive letters, disk
// interface paths and parent instance IDs. Pure functions of the snapshot:
// the same snapshot always gives the same names, whatever order udev
// listed the devices in.
//
// Order of kernel names: shorter names first, names of one length in byte
// order, so sda … sdz, sdaa …, loop2 before loop10, sdb1 … sdb9, sdb10.
//
// Physical drive numbers: the computer's own disks (neither on USB nor with
// removable media) come first, numbered 0, 1, 2 … in name order; USB and
// removable disks follow in name order, but never below 1. Number 0 thus
// always stands for a built-in disk, as on Windows, where it is the system
// disk, and the explorer never expands drive 0: the camera must not get it
// just because the computer boots from NVMe or the network.
//
// Drive letters: 'D' to 'Z' in turn ('C' stays the Windows system volume
// and is never given). Filesystems of USB and removable disks take them
// first, so the camera's volumes always find a letter however many
// partitions the built-in disks have; then the others. Within each group
// they go by their disk's number, then by name. A filesystem beyond 'Z'
// gets no letter and is not reported.
//
// A volume, its disk and that disk's interface share one device number:
// the disk's physical drive number.
//
// Disk interface paths, lower case as Windows delivers them:
//   USB disk:   \\?\usbstor#disk&ven_<ID_VENDOR>&prod_<ID_MODEL>&rev_<ID_REVISION>#<serial>&<lun>#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
//   other disk: \\?\scsi#disk&ven_<ID_VENDOR>&prod_<ID_MODEL>&rev_<ID_REVISION>#<kernel name>#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
// A missing text leaves its place empty; blanks, commas, '#', '&', '\' and
// bytes outside printable ASCII become '_' so that no value can pose as a
// separator. <serial> is ID_SERIAL_SHORT, else the USB port ("1-2") the
// device sits on, else the disk's kernel name; <lun> is the SCSI LUN, 0 when
// unknown. A disk that is not on USB thus never carries "usbstor#" and
// never matches the camera.
//
// Parent instance IDs: "USB\VID_%04X&PID_%04X\<SERIAL>" (upper case, as
// Windows gives instance IDs) for a USB disk whose vendor and product IDs
// are known, <SERIAL> chosen as above; empty otherwise.
//
// Drive type and size: a volume is Removable when its disk is on USB or
// reports removable media, else Fixed. Its label is the filesystem's label;
// an unlabelled filesystem of a known type has the empty label, and one of
// unknown type (unformatted) has none, as the label query fails there. Its
// total bytes are the size of the partition or disk that holds it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/platform/linux/block_devices.h"
#include "device/platform/platform.h"

namespace platform::blockdev {

struct WindowsDisk {
    std::string sysname;            // the BlockDisk behind it
    std::string devnode;
    std::uint32_t number = 0;       // physical drive and device number
    std::string drive_name;         // "\\.\PHYSICALDRIVE<number>"
    std::string interface_path;     // of the disk interface class
    std::string parent_instance;    // "" when none
};

struct WindowsVolume {
    char letter = 0;                // 'D' .. 'Z'
    std::string sysname;            // the BlockFilesystem behind it
    std::string devnode;
    std::uint32_t device_number = 0;
    DriveType type = DriveType::Fixed;
    std::optional<std::string> label;
    std::optional<std::uint64_t> total_bytes;
    std::optional<std::string> mount_point;
};

struct WindowsView {
    std::vector<WindowsDisk> disks;      // by number
    std::vector<WindowsVolume> volumes;  // by letter
};

constexpr char kFirstGivenLetter = 'D';
constexpr char kLastGivenLetter = 'Z';

WindowsView NameInWindowsForm(const BlockSnapshot& snapshot);

// The pieces, one disk at a time.
bool IsRemovableDisk(const BlockDisk& disk);
std::string DiskInterfacePath(const BlockDisk& disk);
std::string ParentInstanceId(const BlockDisk& disk);
// Shorter first, then byte order (see above).
bool KernelNameLess(const std::string& left, const std::string& right);

// Lookups; null when there is none.
const WindowsVolume* VolumeOfLetter(const WindowsView& view, char letter);
const WindowsDisk* DiskOfNumber(const WindowsView& view, std::uint32_t number);
const WindowsDisk* DiskOfInterface(const WindowsView& view, const std::string& interface_path);

}  // namespace platform::blockdev
