#include "cli/volume_start_hint.h"

#include <array>
#include <memory>
#include <vector>

#include "device/platform/platform.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/engine.h"

namespace {

// The classic partition table: four 16-byte entries near the end of sector 0.
constexpr std::size_t kPartitionTableOffset = 0x1BE;
constexpr std::size_t kPartitionEntryBytes = 16;
constexpr std::size_t kPartitionEntryCount = 4;
constexpr std::size_t kPartitionTypeOffset = 4;
constexpr std::size_t kPartitionFirstSectorOffset = 8;
constexpr std::uint8_t kUnusedPartitionType = 0;

// Read-only, so that looking never changes the image.
std::unique_ptr<device::PlatformBlockDevice> OpenForReading(const std::string& device_name, std::uint64_t start) {
    auto opened = platform::CurrentPlatform().OpenDevice(device_name, platform::DeviceAccess::Read);
    if (!opened) return nullptr;
    return std::make_unique<device::PlatformBlockDevice>(std::move(opened), start, false);
}

// The sector, counted from the device's first, where the volume that mounts
// at start begins: start itself, or further on when the engine followed a
// partition table there. Nothing when no volume mounts.
std::optional<std::uint64_t> VolumeMountedFrom(const std::string& device_name, std::uint64_t start) {
    const auto sectors = OpenForReading(device_name, start);
    if (!sectors) return std::nullopt;
    fat::Volume volume;
    std::optional<std::uint64_t> found;
    if (volume.Mount(*sectors, fat::SilentDiagnostics()) == fat::MountError::None) {
        fat::VolumeInfo info{};
        volume.Info(&info);
        found = start + info.volume_start;
    }
    volume.Unmount();
    return found;
}

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The first sectors of the used entries of sector 0's partition table, in
// table order; a sector 0 that holds no table gives starts that do not
// mount.
std::vector<std::uint64_t> PartitionStarts(const std::string& device_name) {
    std::vector<std::uint64_t> starts;
    const auto sectors = OpenForReading(device_name, 0);
    std::array<std::uint8_t, kSectorSize> first{};
    if (!sectors || !sectors->Read(0, first.data(), 1)) return starts;
    for (std::size_t i = 0; i < kPartitionEntryCount; ++i) {
        const std::uint8_t* entry = first.data() + kPartitionTableOffset + i * kPartitionEntryBytes;
        const std::uint32_t start = LittleEndian32(entry + kPartitionFirstSectorOffset);
        if (entry[kPartitionTypeOffset] != kUnusedPartitionType && start != 0) starts.push_back(start);
    }
    return starts;
}

}  // namespace

// The engine itself follows the first entry of a partition table when it
// has a FAT type; the other entries, and other types, are tried here.
std::optional<std::uint64_t> FindVolumeStart(const std::string& device_name) {
    if (const auto found = VolumeMountedFrom(device_name, 0)) return found;
    for (std::uint64_t start : PartitionStarts(device_name))
        if (const auto found = VolumeMountedFrom(device_name, start)) return found;
    return std::nullopt;
}

std::string VolumeStartHint(const std::string& device_name, const std::string& image_name) {
    const std::optional<std::uint64_t> start = FindVolumeStart(device_name);
    if (!start) return {};
    const std::string where = *start == 0 ? "at sector 0 of " + image_name + " (an image of the volume alone)"
                                          : "in a partition of " + image_name + ", at sector " +
                                                std::to_string(*start);
    return "a FAT volume starts " + where + ": add --start " + std::to_string(*start);
}
