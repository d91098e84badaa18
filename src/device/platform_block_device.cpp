#include "device/platform_block_device.h"

namespace device {

std::unique_ptr<PlatformBlockDevice> PlatformBlockDevice::Open(const std::string& name, std::uint64_t start_sector) {
    platform::Platform& host = platform::CurrentPlatform();
    if (auto device = host.OpenDevice(name, platform::DeviceAccess::ReadWrite))
        return std::make_unique<PlatformBlockDevice>(std::move(device), start_sector, true);
    if (auto device = host.OpenDevice(name, platform::DeviceAccess::Read))
        return std::make_unique<PlatformBlockDevice>(std::move(device), start_sector, false);
    return nullptr;
}

bool PlatformBlockDevice::Seek(std::uint32_t sector) { return device_->Seek((start_sector_ + sector) * kSectorSize); }

// A run moves in one transfer: the result is the same as sector by sector
// (all or nothing), at a fraction of the system calls.
bool PlatformBlockDevice::Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    const std::size_t length = std::size_t{count} * kSectorSize;
    return Seek(sector) && device_->Read(buffer, length) == length;
}

bool PlatformBlockDevice::Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    const std::size_t length = std::size_t{count} * kSectorSize;
    return writable_ && Seek(sector) && device_->Write(buffer, length) == length;
}

}  // namespace device
