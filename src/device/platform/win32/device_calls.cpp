#include "device/platform/win32/device_calls.h"

#include <winioctl.h>

#include "device/platform/win32/utf16.h"

namespace platform::win32 {
namespace {

// The label buffer the volume query fills, in characters; a label has at
// most 32, so what does not fit is no label.
constexpr DWORD kLabelCapacity = 100;

DWORD ControlCode(VolumeControl control) {
    switch (control) {
        case VolumeControl::Lock: return FSCTL_LOCK_VOLUME;
        case VolumeControl::Dismount: return FSCTL_DISMOUNT_VOLUME;
        case VolumeControl::Eject: return IOCTL_STORAGE_EJECT_MEDIA;
    }
    return 0;
}

// A fixed-size answer counts only when the system filled all of it.
template <typename Answer>
bool AskDevice(HANDLE device, DWORD code, Answer* answer) {
    DWORD returned = 0;
    const BOOL done = ::DeviceIoControl(device, code, nullptr, 0, answer, sizeof(Answer), &returned, nullptr);
    return done != FALSE && returned == sizeof(Answer);
}

}  // namespace

UniqueHandle OpenByName(const std::wstring& name, const OpenRequest& request) {
    return UniqueHandle(::CreateFileW(name.c_str(), request.access, request.share, nullptr, request.disposition,
                                      request.flags, nullptr));
}

UniqueHandle OpenByName(const std::string& name, const OpenRequest& request) {
    const std::optional<std::wstring> wide = ToUtf16(name);
    return wide ? OpenByName(*wide, request) : UniqueHandle();
}

std::optional<std::uint32_t> StorageDeviceNumber(HANDLE device) {
    STORAGE_DEVICE_NUMBER number{};
    if (!AskDevice(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number)) return std::nullopt;
    return static_cast<std::uint32_t>(number.DeviceNumber);
}

bool SendVolumeControl(HANDLE volume, VolumeControl control) {
    DWORD returned = 0;
    return ::DeviceIoControl(volume, ControlCode(control), nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

std::optional<std::uint64_t> LengthOf(HANDLE device) {
    GET_LENGTH_INFORMATION disk{};
    if (AskDevice(device, IOCTL_DISK_GET_LENGTH_INFO, &disk) && disk.Length.QuadPart >= 0)
        return static_cast<std::uint64_t>(disk.Length.QuadPart);
    LARGE_INTEGER file{};
    if (::GetFileSizeEx(device, &file) && file.QuadPart >= 0) return static_cast<std::uint64_t>(file.QuadPart);
    return std::nullopt;
}

DriveType DriveTypeOfRoot(const std::string& root) {
    const std::optional<std::wstring> wide = ToUtf16(root);
    if (!wide) return DriveType::Unknown;
    switch (::GetDriveTypeW(wide->c_str())) {
        case DRIVE_REMOVABLE: return DriveType::Removable;
        case DRIVE_FIXED: return DriveType::Fixed;
        case DRIVE_REMOTE: return DriveType::Remote;
        case DRIVE_CDROM: return DriveType::CdRom;
        case DRIVE_RAMDISK: return DriveType::RamDisk;
        default: return DriveType::Unknown;
    }
}

std::optional<std::string> VolumeLabelOfRoot(const std::string& root) {
    const std::optional<std::wstring> wide = ToUtf16(root);
    if (!wide) return std::nullopt;
    wchar_t label[kLabelCapacity + 1] = {};
    wchar_t file_system[kLabelCapacity + 1] = {};
    if (!::GetVolumeInformationW(wide->c_str(), label, kLabelCapacity, nullptr, nullptr, nullptr, file_system,
                                 kLabelCapacity))
        return std::nullopt;
    return ToUtf8(label, kLabelCapacity);
}

std::optional<std::uint64_t> TotalBytesOfRoot(const std::string& root) {
    const std::optional<std::wstring> wide = ToUtf16(root);
    ULARGE_INTEGER total{};
    if (!wide || !::GetDiskFreeSpaceExW(wide->c_str(), nullptr, &total, nullptr)) return std::nullopt;
    return static_cast<std::uint64_t>(total.QuadPart);
}

std::optional<DiskFreeSpace> FreeSpaceOfRoot(const std::string& root) {
    const std::optional<std::wstring> wide = ToUtf16(root);
    DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    if (!wide ||
        !::GetDiskFreeSpaceW(wide->c_str(), &sectors_per_cluster, &bytes_per_sector, &free_clusters, &total_clusters))
        return std::nullopt;
    return DiskFreeSpace{sectors_per_cluster, bytes_per_sector, free_clusters};
}

bool UserIsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                    0, 0, 0, administrators.Out()))
        return false;
    BOOL member = FALSE;
    // A check that cannot be made answers "no": the run then stops with the
    // text that says how to get the rights, rather than failing on the disk.
    if (!::CheckTokenMembership(nullptr, administrators.Get(), &member)) return false;
    return member != FALSE;
}

}  // namespace platform::win32
