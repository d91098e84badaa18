// Finding the camera among the attached volumes: its user volume, its system
// volume and the system disk behind it, the camera's state word, and the
// hidden FAT volume mounted and shown to whoever explores it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/device_record.h"
#include "fat/listing.h"
#include "device/platform/platform.h"

// The view of the hidden volume that discovery refreshes after it has
// remounted it. Implemented by the desktop program's explorer; discovery
// runs without one (the command-line tool passes null).
class VolumeExplorer {
public:
    virtual ~VolumeExplorer() = default;
    // The volume is about to be remounted: forget the list and the tree
    // branch shown so far.
    virtual void ClearVolumeView() {}
    // The top level of the freshly mounted volume, in directory order.
    virtual void ShowVolumeListing(const FatEntryInfoList& entries) = 0;
    // One top-level folder (name not beginning with '.') with its own
    // listing, so the tree can offer to expand it.
    virtual void ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) {
        (void)name;
        (void)contents;
    }
};

// Walks the drive letters C to Z and fills the record; for the system volume
// also reads the state word, points MediaDevicePath/MediaStartSector at the
// hidden volume and mounts it. Returns whether the hidden volume was mounted.
// The caller empties DevicePath and UserDriveRoot beforehand when it wants
// to know what this run found.
bool DetectDevice(DeviceRecord& record, VolumeExplorer* explorer);

// Discovery's letter-to-disk table: for the letters C to Z the device
// number of "\\.\X:" where it opens for query and tells one, else
// kNoPhysicalDrive; index 0 is 'A'.
std::array<std::uint32_t, kDriveLetterCount> DiskNumbersOfLetters();

// Finds the device interface of the given drive type's class whose disk
// carries the volume ("E:\"); writes its path and its parent's instance ID,
// or leaves both untouched when there is none.
void FindDiskOfVolume(const std::string& volume_root, platform::DriveType drive_type, std::string& interface_path,
                      std::string& parent_id);

// 1 when the volume ("E:\") lies on the disk of that device number, else 0.
int IsVolumeOnDisk(std::uint32_t disk_number, const std::string& volume_root);

// "PHYSICALDRIVE3\", a physical drive as MediaDevicePath and DevicePath name it.
std::string PhysicalDrivePath(int drive_number);
// "\\.\E:", the device name of a drive letter's volume.
std::string VolumeDeviceName(char drive_letter);
// "E:\", the root of a drive letter's volume.
std::string DriveRoot(char drive_letter);
