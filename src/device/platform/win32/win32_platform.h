// The platform of a Windows PC: its disks, volumes and files through the
// system's own calls, with names as the interface has them (UTF-8 inside,
// UTF-16 at the calls).
//
// How the interface maps:
// - "\\.\PHYSICALDRIVE<n>" and "\\.\X:" open by CreateFileW; a physical
//   drive is read and written at 64-bit byte positions, a volume is held
//   for the drive queries and the eject's control requests.
// - Raw writes go only to the camera's system disk, known by its USB
//   identity (interface path and parent instance ID), and never to the
//   disk that holds the Windows folder. The disk is identified by the disk
//   interfaces when it opens for writing and again right before each write:
//   the interface found at the open must still be there, still be the
//   camera's, and still carry that drive number, since a number alone may
//   belong to another disk after the camera was plugged in anew.
// - The eject's control requests go to the handle the eject holds open,
//   so that the lock it takes lasts until the eject lets the volume go.
// - Files are reached by their paths, drive roots ("E:\APP_DATA.BIN") and
//   local paths alike; long ones in their "\\?\" form. A path that leads
//   to a device instead of a file does not open.
// - HoldDevice is a named mutex per camera disk.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/platform/platform.h"

namespace platform {

// A disk interface with the drive number behind it, as the write check
// sees the disks.
struct DiskIdentity {
    std::string interface_path;
    std::string parent_instance;
    std::uint32_t number = 0;
};

using DiskLister = std::function<std::vector<DiskIdentity>()>;

// Both are for tests, which have neither a camera nor raw disks: left
// empty, the platform sees this computer as it is.
struct Win32PlatformOptions {
    // "\\.\PHYSICALDRIVE<n>" opens the image file instead.
    std::map<int, std::string> drive_images;
    // What the disk interfaces report, in place of the setup API's
    // enumeration and the drive numbers asked of each interface.
    DiskLister list_disks;
};

std::unique_ptr<Platform> MakeWin32Platform(Win32PlatformOptions options = {});

}  // namespace platform
