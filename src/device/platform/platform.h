// The narrow platform interface: every operation that touches a real device,
// volume, file or the operating system goes through here, so that the logic
// above runs unchanged against the simulated camera, Linux block devices or
// Win32. Names are UTF-8; device names keep their Windows form
// ("\\.\PHYSICALDRIVE3", "\\.\E:"), drive roots are "E:\".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class DeviceAccess { Query, Read, ReadWrite };

// An open device, disk image, volume or file. Positions are 64-bit byte
// offsets; a transfer reports how many bytes it moved (0 on failure).
class Device {
public:
    virtual ~Device() = default;
    virtual bool Seek(std::uint64_t byte_position) = 0;
    virtual std::size_t Read(void* buffer, std::size_t length) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t length) = 0;
    // Pushes written data to the medium; false when that fails.
    virtual bool Flush() { return true; }
    // Size in bytes, or -1 when unknown.
    virtual std::int64_t Size() { return -1; }
};

enum class DriveType { Unknown, Removable, Fixed, Remote, CdRom, RamDisk };

// Free space as the volume reports it; the free bytes are the product of the
// three, computed in 64 bits.
struct DiskFreeSpace {
    std::uint64_t sectors_per_cluster;
    std::uint64_t bytes_per_sector;
    std::uint64_t free_clusters;
};

enum class InterfaceClass { Disk, CdRom };

struct DeviceInterface {
    std::string path;             // device interface path
    std::string parent_instance;  // instance ID of the device's parent, "" when none
};

// Volume control requests of the eject sequence.
enum class VolumeControl { Lock, Dismount, Eject };

// ReadUncached reads what the medium holds rather than what the system
// still keeps in memory from the write, where the platform allows that.
enum class FileMode { ReadExisting, CreateTruncate, ReadUncached };

// An exclusive hold on a device for as long as it lives: a second hold of
// the same device, from this process or another, is refused meanwhile.
class DeviceHold {
public:
    virtual ~DeviceHold() = default;
};

struct DeviceHoldResult {
    std::unique_ptr<DeviceHold> hold;  // null when not held
    bool busy = false;                 // someone else holds the device
};

class Platform {
public:
    virtual ~Platform() = default;

    // Opens an existing device by name; null when it does not open. A
    // volume ("\\.\E:") opens with Query for the drive queries and with
    // Read for the eject, which holds it while it locks and ejects.
    virtual std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) = 0;

    // The storage device number behind an open volume or interface name
    // ("\\.\E:" or an interface path); false when the query fails.
    virtual bool DeviceNumber(const std::string& name, std::uint32_t* number) = 0;
    virtual DriveType GetDriveType(const std::string& root) = 0;
    // False when the label query fails.
    virtual bool VolumeLabel(const std::string& root, std::string* label) = 0;
    virtual bool TotalBytes(const std::string& root, std::uint64_t* total) = 0;
    virtual bool FreeSpace(const std::string& root, DiskFreeSpace* space) = 0;
    // Present device interfaces of a class, in enumeration order.
    virtual std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) = 0;
    // One attempt of a control request on an open volume name ("\\.\E:").
    virtual bool ControlVolume(const std::string& volume_name, VolumeControl control) = 0;

    // Files by path: a drive root path ("E:\APP_DATA.BIN") or a local path.
    virtual std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) = 0;
    // Removes a file; true when no file is left at the path (also when there
    // was none). A folder is not removed.
    virtual bool RemoveFile(const std::string& path) = 0;
    // Puts the file `from` in place of `to` in one step, replacing a file
    // there; false when that fails, and then both are as they were.
    virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;

    // Holds a device ("\\.\PHYSICALDRIVE3") exclusively, so that two runs
    // never write to one camera at once. Neither held nor busy when the
    // device does not open or cannot be held.
    virtual DeviceHoldResult HoldDevice(const std::string& name) = 0;

    // Whether the user holds the rights raw disk access needs.
    virtual bool IsAdministrator() = 0;
    // The key of the text table's text that tells the user how to get them.
    virtual const char* MissingRightsTextKey() const { return "OT0"; }
    // Waits on the calling thread (retry pauses of the eject).
    virtual void Pause(unsigned milliseconds) = 0;
};

// Reaches local files and nothing else: no drives, volumes, devices or
// device interfaces. Programs install their backend at start-up; until then
// this is the platform in use, so nothing below them picks a backend.
std::unique_ptr<Platform> MakeLocalFilesPlatform();

// The platform in use.
Platform& CurrentPlatform();
// Replaces the platform in use; returns the previous one.
std::unique_ptr<Platform> InstallPlatform(std::unique_ptr<Platform> platform);
// Goes up with every install: whoever keeps something opened on the
// platform in use can tell that it was replaced (a new platform may well
// sit where the old one was).
std::uint64_t PlatformInstallCount();

// The folder that holds the running executable, without a trailing
// separator; empty when it cannot be determined.
std::string ExecutableDirectory();

}  // namespace platform
