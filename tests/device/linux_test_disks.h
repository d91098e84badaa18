// Disks of a hand-made block-device snapshot, for the Linux backend's
// tests: the USB identities udev would report for the camera's two LUNs
// and for a stick that is not a camera.
#pragma once

#include <cstdint>
#include <string>

#include "device/platform/linux/block_devices.h"

namespace linux_test {

struct UsbIdentity {
    const char* vendor;
    const char* model;
    const char* revision;
    const char* serial;
    std::uint16_t vendor_id;
    std::uint16_t model_id;
    unsigned lun;
};

constexpr UsbIdentity kCameraUser{"BRENX", "FOTOBEAN", "2.10", "1634", 0xE4D2, 0x3A17, 0};
constexpr UsbIdentity kCameraSystem{"BRENX", "SYSTEM", "2.12", "1634", 0xE4D2, 0x3A17, 1};
constexpr UsbIdentity kStick{"Generic", "Flash_Disk", "8.07", "a1b2c3d4", 0x058F, 0x6387, 0};

inline platform::blockdev::BlockDisk UsbDisk(const std::string& sysname, const std::string& devnode,
                                             const UsbIdentity& id, std::uint64_t size_bytes) {
    platform::blockdev::BlockDisk disk;
    disk.sysname = sysname;
    disk.devnode = devnode;
    disk.size_bytes = size_bytes;
    disk.removable = true;
    disk.on_usb = true;
    disk.vendor = id.vendor;
    disk.model = id.model;
    disk.revision = id.revision;
    disk.serial = id.serial;
    disk.vendor_id = id.vendor_id;
    disk.model_id = id.model_id;
    disk.usb_interface = 0;
    disk.lun = id.lun;
    disk.usb_port = "1-2";
    return disk;
}

}  // namespace linux_test
