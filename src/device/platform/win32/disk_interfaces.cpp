#include "device/platform/win32/disk_interfaces.h"

#include "device/platform/win32/windows_api.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "device/platform/win32/unique_handle.h"
#include "device/platform/win32/utf16.h"

namespace platform::win32 {
namespace {

// Named here rather than taken from the system's headers, which define them
// only in the one file that asks for their storage.
constexpr GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID kCdRomInterfaceClass = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// An interface path is far shorter; a larger size asked for is no path.
constexpr DWORD kMostDetailBytes = 64 * 1024;
// CM_Get_Device_IDW's buffer, in characters (instance IDs have at most 200).
constexpr ULONG kInstanceIdCapacity = 260;

constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

std::string ParentInstanceOf(DEVINST device) {
    DEVINST parent = 0;
    if (::CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) return {};
    wchar_t id[kInstanceIdCapacity + 1] = {};
    if (::CM_Get_Device_IDW(parent, id, kInstanceIdCapacity, 0) != CR_SUCCESS) return {};
    return ToUtf8(id, kInstanceIdCapacity);
}

// The interface's path and its device, asked for in the two steps the
// call needs: first the size, then the detail itself.
std::optional<DeviceInterface> DetailOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < kPathOffset + sizeof(wchar_t) || required > kMostDetailBytes) return std::nullopt;
    // Whole words keep the record's alignment.
    auto storage = std::make_unique<DWORD[]>((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device)) return std::nullopt;
    const std::size_t path_capacity = (required - kPathOffset) / sizeof(wchar_t);
    DeviceInterface found;
    found.path = ToUtf8(detail->DevicePath, path_capacity);
    if (found.path.empty()) return std::nullopt;
    found.parent_instance = ParentInstanceOf(device.DevInst);
    return found;
}

}  // namespace

std::vector<DeviceInterface> PresentInterfaces(InterfaceClass interface_class) {
    std::vector<DeviceInterface> found;
    const GUID& class_guid = interface_class == InterfaceClass::Disk ? kDiskInterfaceClass : kCdRomInterfaceClass;
    UniqueDeviceInfoSet set(
        ::SetupDiGetClassDevsW(&class_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.Valid()) return found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!::SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &class_guid, index, &data)) break;
        if (std::optional<DeviceInterface> detail = DetailOf(set.Get(), data)) found.push_back(std::move(*detail));
    }
    return found;
}

}  // namespace platform::win32
