// The simulated camera: device names map to disk image files.
#pragma once

#include <map>
#include <string>

#include "device/platform/platform.h"

namespace platform {

class SimulatedPlatform : public Platform {
public:
    // "\\.\PHYSICALDRIVE<number>" opens the file at image_path.
    void MapPhysicalDrive(int number, const std::string& image_path);
    // Any device name opens the file at image_path.
    void MapDeviceName(const std::string& device_name, const std::string& image_path);

    std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) override;
    bool DeviceNumber(const std::string& name, std::uint32_t* number) override;
    DriveType GetDriveType(const std::string& root) override;
    bool VolumeLabel(const std::string& root, std::string* label) override;
    bool TotalBytes(const std::string& root, std::uint64_t* total) override;
    bool FreeSpace(const std::string& root, DiskFreeSpace* space) override;
    std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) override;
    bool ControlVolume(const std::string& volume_name, VolumeControl control) override;
    std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) override;
    bool IsAdministrator() override;
    void Pause(unsigned milliseconds) override;

private:
    std::map<std::string, std::string> images_;  // device name -> image file
};

// Opens a regular file or block device as a Device; null when it does not open.
std::unique_ptr<Device> OpenFileDevice(const std::string& path, DeviceAccess access);

}  // namespace platform
