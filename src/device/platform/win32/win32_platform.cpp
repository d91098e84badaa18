#include "device/platform/win32/win32_platform.h"

#include "device/platform/win32/windows_api.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <mutex>
#include <optional>

#include "device/camera_layout.h"
#include "device/platform/drive_path.h"
#include "device/platform/file_device.h"
#include "device/platform/win32/device_calls.h"
#include "device/platform/win32/device_hold.h"
#include "device/platform/win32/disk_interfaces.h"
#include "device/platform/win32/handle_device.h"
#include "device/platform/win32/local_path.h"
#include "device/platform/win32/unique_handle.h"
#include "device/platform/win32/utf16.h"

namespace platform {
namespace {

using win32::OpenRequest;
using win32::UniqueHandle;

const char kDevicePrefix[] = "\\\\.\\";
const char kPhysicalDrivePrefix[] = "\\\\.\\PHYSICALDRIVE";
const char kImageHoldPrefix[] = "image:";
// More digits than any drive number the system hands out.
constexpr std::size_t kMostDriveNumberDigits = 9;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr OpenRequest kDriveQuery{0, kShareReadWrite, OPEN_EXISTING, 0};
constexpr OpenRequest kDriveRead{GENERIC_READ, kShareReadWrite, OPEN_EXISTING, 0};
constexpr OpenRequest kDriveReadWrite{GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING, 0};
// The eject's hold of a volume: reading, and sharing only with writers.
constexpr OpenRequest kVolumeHold{GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING, 0};
// A control request with no hold of the eject's to go to.
constexpr OpenRequest kVolumeControl{GENERIC_READ, kShareReadWrite, OPEN_EXISTING, 0};

constexpr OpenRequest kFileRead{GENERIC_READ, kShareReadWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
constexpr OpenRequest kFileUncachedRead{GENERIC_READ, kShareReadWrite, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING};
constexpr OpenRequest kFileCreate{GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL};

void Say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// The letter of "\\.\X:", or 0.
char LetterOfVolumeName(const std::string& name) {
    const std::string prefix = kDevicePrefix;
    if (name.size() != prefix.size() + 2 || name.rfind(prefix, 0) != 0 || name.back() != ':') return 0;
    return DriveLetterOfPath(name.substr(prefix.size()));
}

// The n of "\\.\PHYSICALDRIVE<n>", written as the system writes it: no
// sign, no leading zero.
std::optional<std::uint32_t> DriveNumberOfName(const std::string& name) {
    const std::string prefix = kPhysicalDrivePrefix;
    if (name.rfind(prefix, 0) != 0) return std::nullopt;
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > kMostDriveNumberDigits || (digits.size() > 1 && digits[0] == '0'))
        return std::nullopt;
    std::uint32_t number = 0;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number;
}

// What the system reports of its disk interfaces, with the drive number
// each one answers.
std::vector<DiskIdentity> SystemDisks() {
    std::vector<DiskIdentity> disks;
    for (const DeviceInterface& disk : win32::PresentInterfaces(InterfaceClass::Disk)) {
        const UniqueHandle handle = win32::OpenByName(disk.path, kDriveQuery);
        if (!handle.Valid()) continue;
        if (const std::optional<std::uint32_t> number = win32::StorageDeviceNumber(handle.Get()))
            disks.push_back({disk.path, disk.parent_instance, *number});
    }
    return disks;
}

// The drive number of the disk that holds the Windows folder; none when it
// cannot be told (then the camera's identity is the only test).
std::optional<std::uint32_t> WindowsDiskNumber() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    const char letter = DriveLetterOfPath(win32::ToUtf8(folder, MAX_PATH));
    if (letter == 0) return std::nullopt;
    const UniqueHandle volume = win32::OpenByName(std::string(kDevicePrefix) + letter + ":", win32::kQueryOpen);
    return volume.Valid() ? win32::StorageDeviceNumber(volume.Get()) : std::nullopt;
}

// Decides which physical drive may be written raw. Shared with the devices
// it opened, which may outlive the platform; their writes are then refused.
class WriteGuard {
public:
    explicit WriteGuard(DiskLister list_disks)
        : list_disks_(std::move(list_disks)), windows_disk_(WindowsDiskNumber()) {}

    // The interface path of the camera's system disk when drive `number`
    // is that disk, checked when the drive opens for writing.
    std::optional<std::string> CameraSystemDiskPath(std::uint32_t number) const {
        if (IsWindowsDisk(number)) return std::nullopt;
        for (const DiskIdentity& disk : list_disks_())
            if (disk.number == number && camera::IsCameraSystemDisk(disk.interface_path, disk.parent_instance))
                return disk.interface_path;
        return std::nullopt;
    }

    // Right before a write: the interface found at the open is still
    // present, still the camera's system disk and still drive `number`.
    bool MayStillWrite(const std::string& interface_path, std::uint32_t number) const {
        const std::string refusal = WriteRefusal(interface_path, number);
        if (refusal.empty()) return true;
        Say("quillon: refused to write to \\\\.\\PHYSICALDRIVE" + std::to_string(number) + ": " + refusal);
        return false;
    }

    // The interface path of whatever disk answers drive `number`, or "".
    std::string InterfaceOfDrive(std::uint32_t number) const {
        for (const DiskIdentity& disk : list_disks_())
            if (disk.number == number) return disk.interface_path;
        return {};
    }

    std::vector<DiskIdentity> Disks() const { return list_disks_(); }

private:
    bool IsWindowsDisk(std::uint32_t number) const { return windows_disk_ && *windows_disk_ == number; }

    std::string WriteRefusal(const std::string& interface_path, std::uint32_t number) const {
        if (IsWindowsDisk(number)) return "it holds the Windows folder";
        for (const DiskIdentity& disk : list_disks_()) {
            if (disk.interface_path != interface_path) continue;
            if (disk.number != number) return "the camera's system disk is now drive " + std::to_string(disk.number);
            if (!camera::IsCameraSystemDisk(disk.interface_path, disk.parent_instance))
                return "it is not the camera's system disk";
            return {};
        }
        return "the camera's system disk is no longer attached";
    }

    DiskLister list_disks_;
    std::optional<std::uint32_t> windows_disk_;
};

class Win32Platform : public Platform {
public:
    explicit Win32Platform(Win32PlatformOptions options)
        : drive_images_(std::move(options.drive_images)),
          listed_by_test_(static_cast<bool>(options.list_disks)),
          guard_(std::make_shared<WriteGuard>(options.list_disks ? std::move(options.list_disks) : SystemDisks)) {}

    std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) override {
        if (const char letter = LetterOfVolumeName(name)) return OpenVolume(name, letter, access);
        if (const std::optional<std::uint32_t> number = DriveNumberOfName(name))
            return OpenPhysicalDrive(name, *number, access);
        return OpenOtherDevice(name, access);
    }

    bool DeviceNumber(const std::string& name, std::uint32_t* number) override {
        if (const std::optional<DiskIdentity> told = ToldInterface(name)) {
            *number = told->number;
            return true;
        }
        const std::optional<std::wstring> target = TargetOf(name);
        if (!target) return false;
        const UniqueHandle device = win32::OpenByName(*target, win32::kQueryOpen);
        if (!device.Valid()) return false;
        const std::optional<std::uint32_t> found = win32::StorageDeviceNumber(device.Get());
        if (!found) return false;
        *number = *found;
        return true;
    }

    DriveType GetDriveType(const std::string& root) override { return win32::DriveTypeOfRoot(root); }

    bool VolumeLabel(const std::string& root, std::string* label) override {
        return Assign(win32::VolumeLabelOfRoot(root), label);
    }

    bool TotalBytes(const std::string& root, std::uint64_t* total) override {
        return Assign(win32::TotalBytesOfRoot(root), total);
    }

    bool FreeSpace(const std::string& root, DiskFreeSpace* space) override {
        return Assign(win32::FreeSpaceOfRoot(root), space);
    }

    std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) override {
        if (!listed_by_test_) return win32::PresentInterfaces(interface_class);
        std::vector<DeviceInterface> found;
        if (interface_class != InterfaceClass::Disk) return found;
        for (const DiskIdentity& disk : guard_->Disks()) found.push_back({disk.interface_path, disk.parent_instance});
        return found;
    }

    bool ControlVolume(const std::string& volume_name, VolumeControl control) override {
        const char letter = LetterOfVolumeName(volume_name);
        if (!letter) return false;
        if (const std::shared_ptr<UniqueHandle> held = HeldVolume(letter))
            return win32::SendVolumeControl(held->Get(), control);
        const UniqueHandle volume = win32::OpenByName(volume_name, kVolumeControl);
        return volume.Valid() && win32::SendVolumeControl(volume.Get(), control);
    }

    std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) override {
        const std::optional<std::wstring> target = win32::FileCallPath(path);
        if (!target) return nullptr;
        switch (mode) {
            case FileMode::CreateTruncate: return OpenLocalFile(*target, kFileCreate, {true, true, {}, {}, false});
            case FileMode::ReadUncached: return OpenUncachedFile(*target);
            case FileMode::ReadExisting: break;
        }
        return OpenLocalFile(*target, kFileRead, {});
    }

    bool RemoveFile(const std::string& path) override {
        const std::optional<std::wstring> target = win32::FileCallPath(path);
        if (!target) return false;
        const DWORD attributes = ::GetFileAttributesW(target->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return NothingAtPath(::GetLastError());
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
        return ::DeleteFileW(target->c_str()) || NothingAtPath(::GetLastError());
    }

    bool ReplaceFile(const std::string& from, const std::string& to) override {
        const std::optional<std::wstring> source = win32::FileCallPath(from);
        const std::optional<std::wstring> target = win32::FileCallPath(to);
        return source && target &&
               ::MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }

    // Keyed by the disk's interface path where one answers the drive: it
    // carries the camera's serial, while its drive number may change.
    DeviceHoldResult HoldDevice(const std::string& name) override {
        const std::optional<std::wstring> target = TargetOf(name);
        if (!target || !win32::OpenByName(*target, kDriveQuery).Valid()) return {};
        return win32::HoldNamed(HoldKeyOf(name));
    }

    bool IsAdministrator() override { return win32::UserIsAdministrator(); }

    void Pause(unsigned milliseconds) override { ::Sleep(milliseconds); }

private:
    template <typename Value>
    static bool Assign(const std::optional<Value>& found, Value* out) {
        if (!found) return false;
        *out = *found;
        return true;
    }

    // A disk interface the test told of, which opens for queries and
    // answers its number as a real one would.
    std::optional<DiskIdentity> ToldInterface(const std::string& name) const {
        if (!listed_by_test_) return std::nullopt;
        for (const DiskIdentity& disk : guard_->Disks())
            if (disk.interface_path == name) return disk;
        return std::nullopt;
    }

    static bool NothingAtPath(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

    const std::string* ImageOfDrive(std::uint32_t number) const {
        if (number > static_cast<std::uint32_t>(INT_MAX)) return nullptr;
        const auto image = drive_images_.find(static_cast<int>(number));
        return image == drive_images_.end() ? nullptr : &image->second;
    }

    // The name CreateFileW gets: a test's image for a mapped drive, else
    // the name itself.
    std::optional<std::wstring> TargetOf(const std::string& name) const {
        if (const std::optional<std::uint32_t> number = DriveNumberOfName(name))
            if (const std::string* image = ImageOfDrive(*number)) return win32::FileCallPath(*image);
        return win32::ToUtf16(name);
    }

    std::string HoldKeyOf(const std::string& name) const {
        const std::optional<std::uint32_t> number = DriveNumberOfName(name);
        if (!number) return name;
        if (const std::string* image = ImageOfDrive(*number)) return kImageHoldPrefix + *image;
        const std::string interface_path = guard_->InterfaceOfDrive(*number);
        return interface_path.empty() ? name : interface_path;
    }

    // Volumes are never written raw: the camera's files reach them through
    // the file system.
    std::unique_ptr<Device> OpenVolume(const std::string& name, char letter, DeviceAccess access) {
        if (access == DeviceAccess::ReadWrite) return nullptr;
        auto volume = std::make_shared<UniqueHandle>(
            win32::OpenByName(name, access == DeviceAccess::Query ? win32::kQueryOpen : kVolumeHold));
        if (!volume->Valid()) return nullptr;
        if (access == DeviceAccess::Read) RememberHeldVolume(letter, volume);
        return win32::MakeHandleDevice(std::move(volume), QueryOnly());
    }

    std::unique_ptr<Device> OpenPhysicalDrive(const std::string& name, std::uint32_t number, DeviceAccess access) {
        const std::optional<std::wstring> target = TargetOf(name);
        if (!target) return nullptr;
        if (access == DeviceAccess::Query) return OpenHandleDevice(*target, kDriveQuery, QueryOnly());
        if (access == DeviceAccess::Read) return OpenHandleDevice(*target, kDriveRead, {});
        // Quietly: the drive lists of the sector tools ask every drive, and
        // a drive that does not even open needs no enumeration.
        if (!win32::OpenByName(*target, kDriveQuery).Valid()) return nullptr;
        const std::optional<std::string> interface_path = guard_->CameraSystemDiskPath(number);
        if (!interface_path) return nullptr;
        auto drive = std::make_shared<UniqueHandle>(win32::OpenByName(*target, kDriveReadWrite));
        if (!drive->Valid()) return nullptr;
        win32::HandleDeviceTraits traits;
        traits.writable = true;
        // An image stands for a disk, which never grows.
        if (ImageOfDrive(number)) {
            traits.write_end = win32::LengthOf(drive->Get());
            if (!traits.write_end) return nullptr;
        }
        traits.may_write = [guard = std::weak_ptr<WriteGuard>(guard_), path = *interface_path, number] {
            const std::shared_ptr<WriteGuard> alive = guard.lock();
            return alive && alive->MayStillWrite(path, number);
        };
        return win32::MakeHandleDevice(std::move(drive), std::move(traits));
    }

    // Interface paths and other names of the device namespace: queries and
    // reads only.
    std::unique_ptr<Device> OpenOtherDevice(const std::string& name, DeviceAccess access) {
        if (access == DeviceAccess::Query && ToldInterface(name)) return MakeQueryDevice();
        const std::optional<std::wstring> target = win32::ToUtf16(name);
        if (!target || access == DeviceAccess::ReadWrite) return nullptr;
        if (access == DeviceAccess::Query) return OpenHandleDevice(*target, win32::kQueryOpen, QueryOnly());
        return OpenHandleDevice(*target, kDriveRead, {});
    }

    static std::unique_ptr<Device> OpenHandleDevice(const std::wstring& target, const OpenRequest& request,
                                                    win32::HandleDeviceTraits traits) {
        auto handle = std::make_shared<UniqueHandle>(win32::OpenByName(target, request));
        if (!handle->Valid()) return nullptr;
        return win32::MakeHandleDevice(std::move(handle), std::move(traits));
    }

    // Only a file on a disk counts: a pipe, a console or another character
    // device behind a path is no file.
    static std::unique_ptr<Device> OpenLocalFile(const std::wstring& target, const OpenRequest& request,
                                                 win32::HandleDeviceTraits traits) {
        auto handle = std::make_shared<UniqueHandle>(win32::OpenByName(target, request));
        if (!handle->Valid() || ::GetFileType(handle->Get()) != FILE_TYPE_DISK) return nullptr;
        return win32::MakeHandleDevice(std::move(handle), std::move(traits));
    }

    // A file system that cannot read past its cache still reads the file.
    static std::unique_ptr<Device> OpenUncachedFile(const std::wstring& target) {
        win32::HandleDeviceTraits uncached;
        uncached.uncached = true;
        if (auto file = OpenLocalFile(target, kFileUncachedRead, uncached)) return file;
        if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
        return OpenLocalFile(target, kFileRead, {});
    }

    static win32::HandleDeviceTraits QueryOnly() {
        win32::HandleDeviceTraits traits;
        traits.moves_data = false;
        return traits;
    }

    void RememberHeldVolume(char letter, const std::shared_ptr<UniqueHandle>& volume) {
        std::lock_guard<std::mutex> lock(volumes_mutex_);
        held_volumes_[letter] = volume;
    }

    std::shared_ptr<UniqueHandle> HeldVolume(char letter) {
        std::lock_guard<std::mutex> lock(volumes_mutex_);
        const auto held = held_volumes_.find(letter);
        if (held == held_volumes_.end()) return nullptr;
        std::shared_ptr<UniqueHandle> volume = held->second.lock();
        if (!volume) held_volumes_.erase(held);
        return volume;
    }

    const std::map<int, std::string> drive_images_;
    const bool listed_by_test_;
    const std::shared_ptr<WriteGuard> guard_;
    // The eject's holds, by letter; the eject runs on the update worker.
    std::mutex volumes_mutex_;
    std::map<char, std::weak_ptr<UniqueHandle>> held_volumes_;
};

}  // namespace

std::unique_ptr<Platform> MakeWin32Platform(Win32PlatformOptions options) {
    return std::make_unique<Win32Platform>(std::move(options));
}

}  // namespace platform
