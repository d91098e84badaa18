// The system's device calls as this backend makes them: opening by name,
// the storage and volume control requests, and the drive queries. Each
// answers success only when the system said so and its answer fits.
#pragma once

#include "device/platform/win32/windows_api.h"

#include <cstdint>
#include <optional>
#include <string>

#include "device/platform/platform.h"
#include "device/platform/win32/unique_handle.h"

namespace platform::win32 {

// How a name is opened: access and sharing of CreateFileW.
struct OpenRequest {
    DWORD access = 0;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = 0;
};

// Queries only: no data moves, so no access right is asked for.
constexpr OpenRequest kQueryOpen{0, FILE_SHARE_READ, OPEN_EXISTING, 0};

// Invalid when the name does not open (or is no valid UTF-8).
UniqueHandle OpenByName(const std::wstring& name, const OpenRequest& request);
UniqueHandle OpenByName(const std::string& name, const OpenRequest& request);

// IOCTL_STORAGE_GET_DEVICE_NUMBER; none when the request fails.
std::optional<std::uint32_t> StorageDeviceNumber(HANDLE device);

// One lock, dismount or eject request without buffers.
bool SendVolumeControl(HANDLE volume, VolumeControl control);

// The length of a disk (IOCTL_DISK_GET_LENGTH_INFO) or of a file; none when
// neither answers.
std::optional<std::uint64_t> LengthOf(HANDLE device);

DriveType DriveTypeOfRoot(const std::string& root);
std::optional<std::string> VolumeLabelOfRoot(const std::string& root);
std::optional<std::uint64_t> TotalBytesOfRoot(const std::string& root);
std::optional<DiskFreeSpace> FreeSpaceOfRoot(const std::string& root);

// Whether the user's token holds the administrators' group.
bool UserIsAdministrator();

}  // namespace platform::win32
