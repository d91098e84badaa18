#include "device/discovery.h"

#include <array>
#include <cstring>

#include "device/camera_layout.h"
#include "device/sector_io.h"
#include "fat/file.h"
#include "fat/volume.h"

namespace {

using platform::CurrentPlatform;
using platform::DeviceAccess;
using platform::DriveType;

constexpr char kFirstExaminedLetter = 'C';
constexpr char kLastExaminedLetter = 'Z';
constexpr std::uint32_t kNoDiskNumber = kNoPhysicalDrive;
const char kDevicePrefix[] = "\\\\.\\";

int LetterIndex(char letter) { return letter - 'A'; }

// The device number behind a name that opens for query, if any.
bool QueryDeviceNumber(const std::string& name, std::uint32_t* number) {
    if (!CurrentPlatform().OpenDevice(name, DeviceAccess::Query)) return false;
    return CurrentPlatform().DeviceNumber(name, number);
}

bool IsInUserSizeWindow(bool size_known, std::uint64_t total_bytes) {
    return size_known && total_bytes - camera::kUserVolumeMinBytes < camera::kUserVolumeWindowSpan;
}

bool BelongsToCamera(const DeviceRecord& record, bool size_known, std::uint64_t total_bytes) {
    if (!camera::IsCameraParent(record.ParentDeviceId)) return false;
    if (camera::InterfaceCarries(record.DiskInterfacePath, camera::kUserDiskInterface))
        return IsInUserSizeWindow(size_known, total_bytes);
    return camera::IsCameraSystemDisk(record.DiskInterfacePath, record.ParentDeviceId);
}

bool IsRemovableCandidate(char letter) {
    if (!CurrentPlatform().OpenDevice(VolumeDeviceName(letter), DeviceAccess::Query)) return false;
    return CurrentPlatform().GetDriveType(DriveRoot(letter)) == DriveType::Removable;
}

// Little-endian; a failed read leaves the preset first byte.
std::uint32_t ReadStateWord(int drive_number) {
    std::array<std::uint8_t, kSectorSize> sector{};
    sector[0] = camera::kStateWordFailedRead;
    ReadPhysicalSectors(1, camera::kStateWordSector, drive_number, sector.data());
    return std::uint32_t{sector[0]} | std::uint32_t{sector[1]} << 8 | std::uint32_t{sector[2]} << 16 |
           std::uint32_t{sector[3]} << 24;
}

bool MountHiddenVolume() {
    MediaStartSector = camera::kHiddenVolumeStartText;
    FatResetFiles();
    return FatMountMedia() == kFatMountOk;
}

void ShowHiddenVolume(VolumeExplorer& explorer) {
    FatEntryInfoList top_level;
    FatListDirectory(top_level, "/");
    explorer.ShowVolumeListing(top_level);
    for (const FatEntryInfo& entry : top_level) {
        if (!entry.is_directory || entry.name[0] == '.') continue;
        // Each folder's own contents, so the tree offers exactly its subfolders.
        const std::string name(entry.name, strnlen(entry.name, sizeof entry.name));
        FatEntryInfoList contents;
        FatListDirectory(contents, ("/" + name).c_str());
        explorer.ShowVolumeFolder(name, contents);
    }
}

// The system volume: its disk becomes the media device, the state word is
// read from it and the hidden volume is mounted and shown.
bool TakeSystemVolume(DeviceRecord& record, std::uint32_t disk_number, VolumeExplorer* explorer) {
    const int drive_number = static_cast<int>(disk_number);
    record.DevicePath = PhysicalDrivePath(drive_number);
    record.PhysicalDriveNumber = drive_number;
    MediaDevicePath = record.DevicePath;
    record.DeviceStateWord = ReadStateWord(drive_number);
    if (explorer) explorer->ClearVolumeView();
    const bool mounted = MountHiddenVolume();
    if (mounted && explorer) ShowHiddenVolume(*explorer);
    return mounted;
}

}  // namespace

std::string PhysicalDrivePath(int drive_number) { return "PHYSICALDRIVE" + std::to_string(drive_number) + "\\"; }

std::string VolumeDeviceName(char drive_letter) { return std::string(kDevicePrefix) + drive_letter + ":"; }

std::string DriveRoot(char drive_letter) { return std::string(1, drive_letter) + ":\\"; }

int IsVolumeOnDisk(std::uint32_t disk_number, const std::string& volume_root) {
    std::string name = kDevicePrefix + volume_root;
    if (name.back() == '\\') name.pop_back();
    std::uint32_t number = 0;
    return QueryDeviceNumber(name, &number) && number == disk_number ? 1 : 0;
}

void FindDiskOfVolume(const std::string& volume_root, DriveType drive_type, std::string& interface_path,
                      std::string& parent_id) {
    platform::InterfaceClass interface_class;
    if (drive_type == DriveType::Removable || drive_type == DriveType::Fixed)
        interface_class = platform::InterfaceClass::Disk;
    else if (drive_type == DriveType::CdRom)
        interface_class = platform::InterfaceClass::CdRom;
    else
        return;
    for (const platform::DeviceInterface& device_interface : CurrentPlatform().Interfaces(interface_class)) {
        std::uint32_t disk_number = 0;
        if (!QueryDeviceNumber(device_interface.path, &disk_number)) continue;
        if (IsVolumeOnDisk(disk_number, volume_root) == 1) {
            interface_path = device_interface.path;
            parent_id = device_interface.parent_instance;
            return;
        }
    }
}

std::array<std::uint32_t, kDriveLetterCount> DiskNumbersOfLetters() {
    std::array<std::uint32_t, kDriveLetterCount> numbers;
    numbers.fill(kNoDiskNumber);
    for (char letter = kFirstExaminedLetter; letter <= kLastExaminedLetter; ++letter) {
        std::uint32_t number = 0;
        if (QueryDeviceNumber(VolumeDeviceName(letter), &number)) numbers[LetterIndex(letter)] = number;
    }
    return numbers;
}

bool DetectDevice(DeviceRecord& record, VolumeExplorer* explorer) {
    record.DeviceStateWord = camera::kStateWordUnread;
    const auto disk_numbers = DiskNumbersOfLetters();
    bool mounted = false;
    for (char letter = kFirstExaminedLetter; letter <= kLastExaminedLetter; ++letter) {
        std::string& label = record.VolumeLabels[LetterIndex(letter)];
        label.clear();
        if (!IsRemovableCandidate(letter)) continue;
        const std::string root = DriveRoot(letter);
        if (!CurrentPlatform().VolumeLabel(root, &label)) label.clear();
        // Judged by its own disk only: a volume whose disk is not found must
        // not inherit the identity of the volume examined before it.
        record.DiskInterfacePath.clear();
        record.ParentDeviceId.clear();
        FindDiskOfVolume(root, DriveType::Removable, record.DiskInterfacePath, record.ParentDeviceId);
        std::uint64_t total_bytes = 0;
        const bool size_known = CurrentPlatform().TotalBytes(root, &total_bytes);
        if (!BelongsToCamera(record, size_known, total_bytes)) continue;
        if (label != camera::kSystemVolumeLabel)
            record.UserDriveRoot = root;
        else
            mounted = TakeSystemVolume(record, disk_numbers[LetterIndex(letter)], explorer);
    }
    return mounted;
}
