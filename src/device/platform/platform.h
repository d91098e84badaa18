// The narrow platform interface: every operation that touches a real device,
// volume or the operating system goes through here, so that the logic above
// runs unchanged against the simulated camera, Linux block devices or Win32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class DeviceAccess { Read, ReadWrite };

// An open device or disk image. Positions are 64-bit byte offsets; a transfer
// reports how many bytes it moved (0 on failure), like ReadFile/WriteFile.
class Device {
public:
    virtual ~Device() = default;
    virtual bool Seek(std::uint64_t byte_position) = 0;
    virtual std::size_t Read(void* buffer, std::size_t length) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t length) = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    // Opens an existing device by its Windows name, for example
    // "\\.\PHYSICALDRIVE3" or "\\.\E:". Returns null when it does not open.
    virtual std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) = 0;
};

// The platform in use. Defaults to the simulated camera with no drives.
Platform& CurrentPlatform();
// Replaces the platform in use; returns the previous one.
std::unique_ptr<Platform> InstallPlatform(std::unique_ptr<Platform> platform);

}  // namespace platform
