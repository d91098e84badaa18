// Where a FAT volume starts on an image when it is not at the default start
// sector: at sector 0 (an image of the volume alone), or at the first
// sector of a partition in the image's MBR partition table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The start sector of a volume that mounts on the device of that name
// (the platform's), looking at sector 0 first and then at each partition
// entry; nothing when none does. Only reads.
std::optional<std::uint64_t> FindVolumeStart(const std::string& device_name);

// The hint for a mount that failed at the default start: where the volume
// is and which --start reaches it; empty when no volume was found.
std::string VolumeStartHint(const std::string& device_name, const std::string& image_name);
