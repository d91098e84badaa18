#include "device/sector_io.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "device/physical_drive_name.h"
#include "device/platform/platform.h"
#include "device/platform_block_device.h"
#include "fat/engine.h"

std::string MediaDevicePath;
std::string MediaStartSector;

namespace {

constexpr int kHighestProbedDrive = 100;
const char kDevicePrefix[] = "\\\\.\\";

using platform::DeviceAccess;

std::unique_ptr<platform::Device> OpenPositioned(const std::string& name, DeviceAccess access,
                                                 std::uint64_t sector) {
    auto device = platform::CurrentPlatform().OpenDevice(name, access);
    if (!device) return nullptr;
    if (!device->Seek(sector * kSectorSize)) return nullptr;
    return device;
}


// The device the media callbacks move sectors through, kept open while the
// platform, device path and start sector stay what it was opened for.
struct MediaBinding {
    std::mutex mutex;
    std::uint64_t installs = 0;
    std::string path;
    std::string start;
    std::shared_ptr<device::PlatformBlockDevice> device;

    bool Current() const {
        return device && installs == platform::PlatformInstallCount() && path == MediaDevicePath &&
               start == MediaStartSector;
    }
    // Opens what the text globals name now; null when it does not open.
    std::shared_ptr<device::PlatformBlockDevice> Reopen() {
        installs = platform::PlatformInstallCount();
        path = MediaDevicePath;
        start = MediaStartSector;
        device = device::PlatformBlockDevice::Open(MediaDeviceName(), ParseSectorNumber(MediaStartSector));
        return device;
    }
    std::shared_ptr<device::PlatformBlockDevice> Device() {
        std::lock_guard<std::mutex> lock(mutex);
        return Current() ? device : Reopen();
    }
};

MediaBinding& Binding() {
    static MediaBinding binding;
    return binding;
}

// Reads fail: what the default volume mounts on when the device does not
// open, so the mount reports it as any unreadable medium.
class UnopenedDevice : public fat::BlockDevice {
public:
    bool Read(std::uint32_t, std::uint8_t*, std::uint32_t) override { return false; }
    bool Write(std::uint32_t, const std::uint8_t*, std::uint32_t) override { return false; }
    bool Writable() const override { return false; }
};

// Keeps the opened device alive as long as the default volume uses it.
class SharedDevice : public fat::BlockDevice {
public:
    explicit SharedDevice(std::shared_ptr<fat::BlockDevice> device) : device_(std::move(device)) {}
    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        return device_->Read(sector, buffer, count);
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        return device_->Write(sector, buffer, count);
    }
    bool Flush() override { return device_->Flush(); }
    bool Writable() const override { return device_->Writable(); }

private:
    std::shared_ptr<fat::BlockDevice> device_;
};

}  // namespace

std::string MediaDeviceName() {
    std::string name = kDevicePrefix + MediaDevicePath;
    if (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
}

std::uint32_t ParseSectorNumber(const std::string& text) {
    const bool hexadecimal = text.rfind("0x", 0) == 0;
    const char* begin = text.c_str();
    long long value = std::strtoll(begin, nullptr, hexadecimal ? 16 : 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

int ReadPhysicalSectors(int count, std::uint32_t sector, int drive_number, std::uint8_t* buffer) {
    auto device = OpenPositioned(PhysicalDriveName(drive_number), DeviceAccess::ReadWrite, sector);
    if (!device || count <= 0) return 0;
    std::size_t moved = device->Read(buffer, static_cast<std::size_t>(count) * kSectorSize);
    return static_cast<int>(moved / kSectorSize);
}

int WritePhysicalSector(std::uint32_t sector, int drive_number, const std::uint8_t* buffer) {
    auto device = OpenPositioned(PhysicalDriveName(drive_number), DeviceAccess::ReadWrite, sector);
    if (!device) return 0;
    return device->Write(buffer, kSectorSize) == kSectorSize ? 1 : 0;
}

void ListPhysicalDrives(std::vector<int>& drives) {
    for (int number = 0; number <= kHighestProbedDrive; ++number) {
        if (platform::CurrentPlatform().OpenDevice(PhysicalDriveName(number), DeviceAccess::ReadWrite))
            drives.push_back(number);
    }
}

int MediaRead(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    const auto device = Binding().Device();
    return device && device->Read(sector, buffer, count) ? 1 : 0;
}

int MediaWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    const auto device = Binding().Device();
    return device && device->Write(sector, buffer, count) ? 1 : 0;
}

int FatMountMedia() {
    std::shared_ptr<device::PlatformBlockDevice> opened;
    {
        // A mount always opens afresh: the image may have been replaced.
        MediaBinding& binding = Binding();
        std::lock_guard<std::mutex> lock(binding.mutex);
        opened = binding.Reopen();
    }
    fat::Volume& volume = fat::DefaultVolume();
    if (!opened) return fat::MountCodeOf(volume.Mount(std::make_unique<UnopenedDevice>()));
    return fat::MountCodeOf(volume.Mount(std::make_unique<SharedDevice>(opened)));
}
