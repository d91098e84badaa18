#include "device/platform/linux/windows_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <tuple>

#include "device/physical_drive_name.h"

namespace platform::blockdev {
namespace {

constexpr const char* kInterfacePrefix = "\\\\?\\";
constexpr const char* kUsbStorageBus = "usbstor";
constexpr const char* kOtherDiskBus = "scsi";
constexpr const char* kDiskInterfaceClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr unsigned kUnknownLun = 0;
// Built-in disks may have none, yet drive 0 stays theirs.
constexpr std::uint32_t kFirstRemovableNumber = 1;

// Replaces what could pose as a separator of an instance ID or interface
// path, or is not printable ASCII.
std::string IdSegment(const std::string& text) {
    std::string segment = text;
    for (char& c : segment) {
        const auto byte = static_cast<unsigned char>(c);
        const bool separator = c == ' ' || c == ',' || c == '#' || c == '&' || c == '\\';
        if (separator || byte < 0x21 || byte > 0x7E) c = '_';
    }
    return segment;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string SerialOf(const BlockDisk& disk) {
    return IdSegment(disk.serial ? *disk.serial : disk.usb_port ? *disk.usb_port : disk.sysname);
}

std::string HardwareIdOf(const BlockDisk& disk) {
    return "disk&ven_" + IdSegment(disk.vendor.value_or("")) + "&prod_" + IdSegment(disk.model.value_or("")) +
           "&rev_" + IdSegment(disk.revision.value_or(""));
}

std::string FormatUsbIds(std::uint16_t vendor_id, std::uint16_t product_id) {
    char text[sizeof "VID_FFFF&PID_FFFF"];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", unsigned{vendor_id}, unsigned{product_id});
    return text;
}

// Built-in disks first, each group in name order.
std::vector<const BlockDisk*> DisksInNumberOrder(const BlockSnapshot& snapshot) {
    std::vector<const BlockDisk*> disks;
    for (const BlockDisk& disk : snapshot.disks) disks.push_back(&disk);
    std::sort(disks.begin(), disks.end(), [](const BlockDisk* left, const BlockDisk* right) {
        if (IsRemovableDisk(*left) != IsRemovableDisk(*right)) return !IsRemovableDisk(*left);
        return KernelNameLess(left->sysname, right->sysname);
    });
    return disks;
}

std::vector<WindowsDisk> NumberDisks(const BlockSnapshot& snapshot) {
    std::vector<WindowsDisk> numbered;
    std::uint32_t next = 0;
    for (const BlockDisk* disk : DisksInNumberOrder(snapshot)) {
        if (IsRemovableDisk(*disk)) next = std::max(next, kFirstRemovableNumber);
        numbered.push_back({disk->sysname, disk->devnode, next, PhysicalDriveName(static_cast<int>(next)),
                            DiskInterfacePath(*disk), ParentInstanceId(*disk)});
        ++next;
    }
    return numbered;
}

struct PlacedFilesystem {
    const BlockFilesystem* filesystem;
    const BlockDisk* disk;
    std::uint32_t number;
};

// Removable volumes first, then by disk number, then by name.
bool LetterOrderLess(const PlacedFilesystem& left, const PlacedFilesystem& right) {
    const bool left_removable = IsRemovableDisk(*left.disk);
    const bool right_removable = IsRemovableDisk(*right.disk);
    if (left_removable != right_removable) return left_removable;
    if (left.number != right.number) return left.number < right.number;
    return KernelNameLess(left.filesystem->sysname, right.filesystem->sysname);
}

std::optional<std::string> LabelOf(const BlockFilesystem& filesystem) {
    if (filesystem.label) return filesystem.label;
    if (filesystem.type) return std::string();
    return std::nullopt;
}

WindowsVolume VolumeOf(const PlacedFilesystem& placed, char letter) {
    const BlockFilesystem& filesystem = *placed.filesystem;
    return {letter,
            filesystem.sysname,
            filesystem.devnode,
            placed.number,
            IsRemovableDisk(*placed.disk) ? DriveType::Removable : DriveType::Fixed,
            LabelOf(filesystem),
            filesystem.size_bytes,
            filesystem.mount_point};
}

std::vector<WindowsVolume> LetterVolumes(const BlockSnapshot& snapshot, const std::vector<WindowsDisk>& disks) {
    std::map<std::string, std::pair<const BlockDisk*, std::uint32_t>> disk_by_name;
    for (const BlockDisk& disk : snapshot.disks) disk_by_name[disk.sysname].first = &disk;
    for (const WindowsDisk& disk : disks) disk_by_name[disk.sysname].second = disk.number;
    std::vector<PlacedFilesystem> placed;
    for (const BlockFilesystem& filesystem : snapshot.filesystems) {
        const auto found = disk_by_name.find(filesystem.disk_sysname);
        if (found == disk_by_name.end()) continue;
        placed.push_back({&filesystem, found->second.first, found->second.second});
    }
    std::sort(placed.begin(), placed.end(), LetterOrderLess);
    std::vector<WindowsVolume> volumes;
    char letter = kFirstGivenLetter;
    for (const PlacedFilesystem& filesystem : placed) {
        if (letter > kLastGivenLetter) break;
        volumes.push_back(VolumeOf(filesystem, letter++));
    }
    return volumes;
}

}  // namespace

bool IsRemovableDisk(const BlockDisk& disk) { return disk.on_usb || disk.removable.value_or(false); }

bool KernelNameLess(const std::string& left, const std::string& right) {
    return std::forward_as_tuple(left.size(), left) < std::forward_as_tuple(right.size(), right);
}

std::string DiskInterfacePath(const BlockDisk& disk) {
    const std::string instance = disk.on_usb ? SerialOf(disk) + "&" + std::to_string(disk.lun.value_or(kUnknownLun))
                                             : IdSegment(disk.sysname);
    const char* bus = disk.on_usb ? kUsbStorageBus : kOtherDiskBus;
    return Lower(kInterfacePrefix + std::string(bus) + "#" + HardwareIdOf(disk) + "#" + instance + "#" +
                 kDiskInterfaceClass);
}

std::string ParentInstanceId(const BlockDisk& disk) {
    if (!disk.on_usb || !disk.vendor_id || !disk.model_id) return "";
    return "USB\\" + FormatUsbIds(*disk.vendor_id, *disk.model_id) + "\\" + Upper(SerialOf(disk));
}

WindowsView NameInWindowsForm(const BlockSnapshot& snapshot) {
    WindowsView view;
    view.disks = NumberDisks(snapshot);
    view.volumes = LetterVolumes(snapshot, view.disks);
    return view;
}

const WindowsVolume* VolumeOfLetter(const WindowsView& view, char letter) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (const WindowsVolume& volume : view.volumes)
        if (volume.letter == upper) return &volume;
    return nullptr;
}

const WindowsDisk* DiskOfNumber(const WindowsView& view, std::uint32_t number) {
    for (const WindowsDisk& disk : view.disks)
        if (disk.number == number) return &disk;
    return nullptr;
}

const WindowsDisk* DiskOfInterface(const WindowsView& view, const std::string& interface_path) {
    for (const WindowsDisk& disk : view.disks)
        if (disk.interface_path == interface_path) return &disk;
    return nullptr;
}

}  // namespace platform::blockdev
