#include "device/sector_io.h"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "device/physical_drive_name.h"
#include "device/platform/platform.h"

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

std::string MediaDeviceName() {
    std::string name = kDevicePrefix + MediaDevicePath;
    if (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
}

// The absolute sector a relative one names; positions are 64-bit, so a start
// sector near the top of the 32-bit range never wraps onto another sector.
std::uint64_t MediaAbsoluteSector(std::uint32_t relative) {
    return std::uint64_t{ParseSectorNumber(MediaStartSector)} + relative;
}

}  // namespace

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

// A run moves in one transfer: the result is the same as sector by sector
// (all or nothing), at a fraction of the system calls.
int MediaRead(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    auto device = OpenPositioned(MediaDeviceName(), DeviceAccess::Read, MediaAbsoluteSector(sector));
    if (!device) return 0;
    std::size_t length = std::size_t{count} * kSectorSize;
    return device->Read(buffer, length) == length ? 1 : 0;
}

int MediaWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    auto device = OpenPositioned(MediaDeviceName(), DeviceAccess::ReadWrite, MediaAbsoluteSector(sector));
    if (!device) return 0;
    std::size_t length = std::size_t{count} * kSectorSize;
    return device->Write(buffer, length) == length ? 1 : 0;
}
