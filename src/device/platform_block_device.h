// The engine's block device over a device of the platform: sectors counted
// from a start sector, one open handle for as long as the volume is used.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/platform/platform.h"
#include "fat/block_device.h"

namespace device {

class PlatformBlockDevice : public fat::BlockDevice {
public:
    // Opens `name` ("\\.\PHYSICALDRIVE3") on the platform in use: for reading
    // and writing, or for reading alone when the device refuses writes.
    // Null when it does not open at all.
    static std::unique_ptr<PlatformBlockDevice> Open(const std::string& name, std::uint64_t start_sector);

    PlatformBlockDevice(std::unique_ptr<platform::Device> device, std::uint64_t start_sector, bool writable)
        : device_(std::move(device)), start_sector_(start_sector), writable_(writable) {}

    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override;
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override;
    bool Flush() override { return device_->Flush(); }
    bool Writable() const override { return writable_; }

private:
    bool Seek(std::uint32_t sector);

    std::unique_ptr<platform::Device> device_;
    // 64-bit, so a start near the top of the 32-bit range never wraps onto
    // another sector.
    std::uint64_t start_sector_;
    bool writable_;
};

}  // namespace device
