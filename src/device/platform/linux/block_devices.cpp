#include "device/platform/linux/block_devices.h"

#include <libudev.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace platform::blockdev {
namespace {

constexpr std::uint64_t kSectorBytes = 512;
constexpr const char* kBlockSubsystem = "block";
constexpr const char* kDiskDevtype = "disk";
constexpr const char* kPartitionDevtype = "partition";
constexpr const char* kLoopPrefix = "loop";
// Views of other disks or of memory: never a camera's own disk.
constexpr std::array<std::string_view, 4> kNeverDiskPrefixes = {"ram", "zram", "dm-", "md"};
// MBR partition types of extended-partition containers.
constexpr std::array<std::string_view, 3> kExtendedPartitionTypes = {"0x5", "0xf", "0x85"};
constexpr int kOctalEscapeDigits = 3;
constexpr int kHexEscapeDigits = 2;

struct UdevDeleter {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string_view WithoutTrailingNewline(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

template <typename Number>
std::optional<Number> ParseWhole(std::string_view text, int base) {
    Number value{};
    if (text.empty()) return std::nullopt;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (status != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return std::nullopt;
}

// Decodes "\" followed by a fixed number of digits of one base; any other
// backslash makes the text malformed.
std::optional<std::string> DecodeEscapes(std::string_view text, std::string_view introducer, int digits,
                                         int base) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '\\') {
            decoded += text[i++];
            continue;
        }
        if (text.substr(i + 1, introducer.size()) != introducer) return std::nullopt;
        const std::size_t first_digit = i + 1 + introducer.size();
        if (first_digit + digits > text.size()) return std::nullopt;
        int value = 0;
        for (int d = 0; d < digits; ++d) {
            const std::optional<int> digit = HexDigitValue(text[first_digit + d]);
            if (!digit || *digit >= base) return std::nullopt;
            value = value * base + *digit;
        }
        if (value > 0xFF) return std::nullopt;
        decoded += static_cast<char>(value);
        i = first_digit + digits;
    }
    return decoded;
}

std::optional<std::string> Property(udev_device* device, const char* key) {
    const char* value = udev_device_get_property_value(device, key);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::optional<std::string_view> Attribute(udev_device* device, const char* name) {
    const char* value = udev_device_get_sysattr_value(device, name);
    if (!value) return std::nullopt;
    return std::string_view(value);
}

std::optional<std::uint64_t> SizeOf(udev_device* device) {
    const auto text = Attribute(device, "size");
    return text ? ParseSectorCount(*text) : std::nullopt;
}

std::string TextOr(const char* text, const char* fallback) { return text ? text : fallback; }

udev_device* ParentOf(udev_device* device, const char* subsystem, const char* devtype) {
    // Owned by the child: not to be unreferenced.
    return udev_device_get_parent_with_subsystem_devtype(device, subsystem, devtype);
}

bool IsLoopDevice(std::string_view sysname) { return StartsWith(sysname, kLoopPrefix); }

bool IsNeverADisk(std::string_view sysname) {
    return std::any_of(kNeverDiskPrefixes.begin(), kNeverDiskPrefixes.end(),
                       [sysname](std::string_view prefix) { return StartsWith(sysname, prefix); });
}

bool CountsAsDisk(const BlockDisk& disk, const SnapshotOptions& options) {
    if (IsNeverADisk(disk.sysname)) return false;
    if (!IsLoopDevice(disk.sysname)) return true;
    return options.include_loop_devices && disk.size_bytes.value_or(0) > 0;
}

bool IsExtendedPartition(udev_device* device) {
    const std::optional<std::string> type = Property(device, "ID_PART_ENTRY_TYPE");
    return type && std::find(kExtendedPartitionTypes.begin(), kExtendedPartitionTypes.end(), *type) !=
                       kExtendedPartitionTypes.end();
}

std::optional<std::uint16_t> HexProperty(udev_device* device, const char* key) {
    const std::optional<std::string> text = Property(device, key);
    return text ? ParseHex16(*text) : std::nullopt;
}

void ReadUsbIdentity(udev_device* device, BlockDisk& disk) {
    disk.vendor = Property(device, "ID_VENDOR");
    disk.model = Property(device, "ID_MODEL");
    disk.revision = Property(device, "ID_REVISION");
    disk.serial = Property(device, "ID_SERIAL_SHORT");
    disk.vendor_id = HexProperty(device, "ID_VENDOR_ID");
    disk.model_id = HexProperty(device, "ID_MODEL_ID");
    if (const std::optional<std::uint16_t> number = HexProperty(device, "ID_USB_INTERFACE_NUM"))
        disk.usb_interface = *number;
    if (udev_device* scsi = ParentOf(device, "scsi", "scsi_device"))
        disk.lun = ParseScsiLun(TextOr(udev_device_get_sysname(scsi), ""));
    udev_device* usb = ParentOf(device, "usb", "usb_device");
    if (usb) disk.usb_port = TextOr(udev_device_get_sysname(usb), "");
    disk.on_usb = usb != nullptr || Property(device, "ID_BUS") == "usb";
}

BlockDisk ReadDisk(udev_device* device) {
    BlockDisk disk;
    disk.sysname = TextOr(udev_device_get_sysname(device), "");
    disk.devnode = TextOr(udev_device_get_devnode(device), "");
    disk.size_bytes = SizeOf(device);
    if (const auto removable = Attribute(device, "removable")) disk.removable = ParseFlag(*removable);
    ReadUsbIdentity(device, disk);
    return disk;
}

// A filesystem read before its disk is known to count; checked afterwards.
BlockFilesystem ReadFilesystem(udev_device* device, const std::string& disk_sysname,
                               const std::vector<MountEntry>& mounts) {
    BlockFilesystem filesystem;
    filesystem.sysname = TextOr(udev_device_get_sysname(device), "");
    filesystem.devnode = TextOr(udev_device_get_devnode(device), "");
    filesystem.disk_sysname = disk_sysname;
    filesystem.size_bytes = SizeOf(device);
    filesystem.type = Property(device, "ID_FS_TYPE");
    // ID_FS_LABEL has its blanks turned into '_', which would hide "QX SYSTEM".
    if (const std::optional<std::string> encoded = Property(device, "ID_FS_LABEL_ENC"))
        filesystem.label = DecodeUdevString(*encoded);
    if (!filesystem.label) filesystem.label = Property(device, "ID_FS_LABEL");
    const dev_t number = udev_device_get_devnum(device);
    filesystem.mount_point = MountPointOf(mounts, major(number), minor(number), filesystem.devnode);
    return filesystem;
}

std::vector<MountEntry> ReadMountInfo(const std::string& path) {
    std::ifstream file(path);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return ParseMountInfo(text.str());
}

// One block device of the enumeration, sorted into the snapshot.
void TakeBlockDevice(udev_device* device, const std::vector<MountEntry>& mounts, const SnapshotOptions& options,
                     BlockSnapshot& snapshot) {
    if (!udev_device_get_devnode(device) || !udev_device_get_sysname(device)) return;
    const std::string devtype = TextOr(udev_device_get_devtype(device), "");
    if (devtype == kDiskDevtype) {
        if (Property(device, "ID_CDROM") == "1") return;
        BlockDisk disk = ReadDisk(device);
        if (!CountsAsDisk(disk, options)) return;
        if (Property(device, "ID_FS_TYPE")) snapshot.filesystems.push_back(ReadFilesystem(device, disk.sysname, mounts));
        snapshot.disks.push_back(std::move(disk));
    } else if (devtype == kPartitionDevtype && !IsExtendedPartition(device)) {
        udev_device* disk = ParentOf(device, kBlockSubsystem, kDiskDevtype);
        if (!disk || !udev_device_get_sysname(disk)) return;
        snapshot.filesystems.push_back(ReadFilesystem(device, udev_device_get_sysname(disk), mounts));
    }
}

// Partitions of disks that do not count (a loop device left out) go too.
void DropFilesystemsWithoutDisk(BlockSnapshot& snapshot) {
    std::set<std::string> disks;
    for (const BlockDisk& disk : snapshot.disks) disks.insert(disk.sysname);
    std::erase_if(snapshot.filesystems,
                  [&disks](const BlockFilesystem& filesystem) { return !disks.count(filesystem.disk_sysname); });
}

}  // namespace

std::optional<std::uint64_t> ParseSectorCount(std::string_view text) {
    const std::optional<std::uint64_t> sectors = ParseWhole<std::uint64_t>(WithoutTrailingNewline(text), 10);
    if (!sectors || *sectors > UINT64_MAX / kSectorBytes) return std::nullopt;
    return *sectors * kSectorBytes;
}

std::optional<bool> ParseFlag(std::string_view text) {
    text = WithoutTrailingNewline(text);
    if (text == "0") return false;
    if (text == "1") return true;
    return std::nullopt;
}

std::optional<std::uint16_t> ParseHex16(std::string_view text) {
    constexpr std::size_t kMaxDigits = 4;
    if (text.size() > kMaxDigits) return std::nullopt;
    return ParseWhole<std::uint16_t>(text, 16);
}

std::optional<unsigned> ParseScsiLun(std::string_view sysname) {
    constexpr int kAddressParts = 4;  // host:channel:target:lun
    std::optional<unsigned> part;
    for (int parts = 1; parts <= kAddressParts; ++parts) {
        const std::size_t colon = sysname.find(':');
        part = ParseWhole<unsigned>(sysname.substr(0, colon), 10);
        if (!part) return std::nullopt;
        if (colon == std::string_view::npos) return parts == kAddressParts ? part : std::nullopt;
        sysname.remove_prefix(colon + 1);
    }
    return std::nullopt;  // more than four parts
}

std::optional<std::string> DecodeUdevString(std::string_view text) {
    return DecodeEscapes(text, "x", kHexEscapeDigits, 16);
}

std::optional<std::string> DecodeMountInfoString(std::string_view text) {
    return DecodeEscapes(text, "", kOctalEscapeDigits, 8);
}

// A line: "id parent major:minor root mount-point options [optional...] -
// fstype source super-options".
std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> mounts;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string id, parent, numbers, root, mount_point, options, word;
        if (!(words >> id >> parent >> numbers >> root >> mount_point >> options)) continue;
        // Optional fields stand between the options and the "-" separator.
        while (words >> word && word != "-") continue;
        std::string fstype, source;
        if (word != "-" || !(words >> fstype >> source)) continue;
        const std::size_t colon = numbers.find(':');
        if (colon == std::string::npos) continue;
        const auto major_number = ParseWhole<std::uint32_t>(std::string_view(numbers).substr(0, colon), 10);
        const auto minor_number = ParseWhole<std::uint32_t>(std::string_view(numbers).substr(colon + 1), 10);
        auto decoded_root = DecodeMountInfoString(root);
        auto decoded_point = DecodeMountInfoString(mount_point);
        auto decoded_source = DecodeMountInfoString(source);
        if (!major_number || !minor_number || !decoded_root || !decoded_point || !decoded_source) continue;
        mounts.push_back({*major_number, *minor_number, std::move(*decoded_root), std::move(*decoded_point),
                          std::move(*decoded_source)});
    }
    return mounts;
}

std::optional<std::string> MountPointOf(const std::vector<MountEntry>& mounts, std::uint32_t major_number,
                                        std::uint32_t minor_number, const std::string& devnode) {
    const auto is_ours = [&](const MountEntry& mount) {
        if (major_number > 0) return mount.major == major_number && mount.minor == minor_number;
        return !devnode.empty() && mount.source == devnode;
    };
    const MountEntry* first = nullptr;
    for (const MountEntry& mount : mounts) {
        if (!is_ours(mount)) continue;
        if (mount.root == "/") return mount.mount_point;
        if (!first) first = &mount;
    }
    return first ? std::optional<std::string>(first->mount_point) : std::nullopt;
}

bool ReadBlockDevices(const SnapshotOptions& options, BlockSnapshot* snapshot, std::string* error) {
    UdevPtr context(udev_new());
    EnumeratePtr enumeration(context ? udev_enumerate_new(context.get()) : nullptr);
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), kBlockSubsystem) < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0) {
        if (error) *error = "cannot list the block devices through udev";
        return false;
    }
    const std::vector<MountEntry> mounts = ReadMountInfo(options.mountinfo_path);
    BlockSnapshot found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
        const char* syspath = udev_list_entry_get_name(entry);
        DevicePtr device(syspath ? udev_device_new_from_syspath(context.get(), syspath) : nullptr);
        if (device) TakeBlockDevice(device.get(), mounts, options, found);
    }
    DropFilesystemsWithoutDisk(found);
    *snapshot = std::move(found);
    return true;
}

}  // namespace platform::blockdev
