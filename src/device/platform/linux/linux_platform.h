// The platform of a Linux desktop: this computer's disks and volumes as
// libudev enumerates them, named in the Windows form (windows_names.h) so
// that discovery, the eject and the sector tools run unchanged, with what a
// desktop user may not do directly (mount, unmount, eject, opening a raw
// disk) asked of udisks2, which lets polkit ask the user once.
//
// How the interface maps:
// - "\\.\PHYSICALDRIVE<n>" is the whole disk of that number, read and
//   written at 64-bit byte positions. It opens directly when this process
//   may open the node, else through udisks2's OpenDevice. Reads of a raw
//   disk are served by the medium, never by the page cache (the marker's
//   read-back must see what the camera holds); writes are synced when the
//   device is flushed or closed.
// - Raw writes go only to the camera's system disk, as discovery knows it
//   by its USB identity (interface path and parent instance ID), and never
//   to a disk of which a file system is mounted where the system lives
//   ("/", "/home", ...). Both are checked when the disk opens for writing
//   and again, against a fresh look at the devices, right before each write.
// - "\\.\X:" and "X:\" are the volumes with drive letters; a volume's root
//   is its mount point, and a volume not mounted yet is mounted through
//   udisks2 the first time its files or its free space are asked for.
// - The eject's Lock flushes the volume's file system, Dismount unmounts
//   it and Eject ejects and powers off its drive, each one attempt (the
//   retries and pauses are the eject sequence's own).
// - The administrator check asks whether the camera's system disk, when
//   one is attached, can be opened for writing: directly, or because
//   udisks2 answers for it (polkit asks for consent when it is opened).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device/platform/linux/block_devices.h"
#include "device/platform/linux/udisks_client.h"
#include "device/platform/platform.h"

namespace platform {

// What the backend asks of udisks2, behind a seam so that the mapping can be
// tested without a bus. Devices are named by their node ("/dev/sdb1").
class VolumeService {
public:
    virtual ~VolumeService() = default;
    virtual udisks::MountResult Mount(const std::string& device_node) = 0;
    virtual udisks::Result Unmount(const std::string& device_node) = 0;
    virtual udisks::EjectResult Eject(const std::string& device_node) = 0;
    virtual udisks::OpenDeviceResult OpenDevice(const std::string& device_node, udisks::OpenMode mode) = 0;
    // Whether the service answers for the device at all.
    virtual bool Knows(const std::string& device_node) = 0;
};

// udisks2 on the system bus, connected on first use.
std::unique_ptr<VolumeService> MakeUdisksVolumeService();

// Reads the block devices; false with a message when they cannot be read.
using BlockDeviceReader = std::function<bool(blockdev::BlockSnapshot*, std::string*)>;

struct LinuxPlatformOptions {
    blockdev::SnapshotOptions snapshot;
    // Null: ReadBlockDevices with `snapshot`.
    BlockDeviceReader read_devices;
    // Null: udisks2 on the system bus.
    std::unique_ptr<VolumeService> volumes;
    // Where the holds of HoldDevice keep their lock files; empty: the
    // user's runtime folder.
    std::string lock_folder;
};

// The text that tells a Linux user how to reach the camera's system disk.
constexpr char kLinuxMissingRightsTextKey[] = "OT0.1";

std::unique_ptr<Platform> MakeLinuxPlatform(LinuxPlatformOptions options = {});

// The system folders whose file systems mark a disk as the computer's own.
bool IsSystemMountPoint(const std::string& mount_point);

}  // namespace platform
