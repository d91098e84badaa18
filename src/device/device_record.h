// The device record discovery fills: where the camera's volumes and system
// disk were found. Texts are UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/camera_layout.h"

constexpr int kDriveLetterCount = 26;
// The physical drive number before one was found.
constexpr int kNoPhysicalDrive = 255;

struct DeviceRecord {
    // The system disk as "PHYSICALDRIVE<n>\"; the explorer's tree selection
    // also writes it.
    std::string DevicePath;
    // Interface path and parent instance ID of the removable volume examined last.
    std::string DiskInterfacePath;
    std::string ParentDeviceId;
    // Label per drive letter from the last discovery; index 0 is 'A'.
    std::array<std::string, kDriveLetterCount> VolumeLabels;
    int PhysicalDriveNumber = kNoPhysicalDrive;
    // Root of the camera's user volume, "E:\".
    std::string UserDriveRoot;
    std::uint32_t DeviceStateWord = camera::kStateWordUnread;
};
