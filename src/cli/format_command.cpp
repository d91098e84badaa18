// quillon-cli format: a new, empty FAT16 or FAT32 volume at --start of --image.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <system_error>

#include "cli/cli.h"
#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "cli/volume_commands.h"
#include "device/platform/local_path.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/engine.h"
#include "fat/format.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kHighestSectorEnd = 0x100000000ull;
// Keeps a huge number from wrapping onto a valid cluster size.
constexpr std::uint64_t kLargestParsedClusterSize = 0xFFFF;

std::optional<bool> ParseFatType(const std::string& text) {
    if (text == "fat16" || text == "FAT16") return false;
    if (text == "fat32" || text == "FAT32") return true;
    return std::nullopt;
}

// Reads the command's options into FatFormatOptions; a usage message and
// false for anything missing or malformed.
bool ReadOptions(const CliContext& context, FatFormatOptions* options) {
    auto usage = [](const std::string& message) {
        CliUsage(message);
        return false;
    };
    if (!context.args.empty()) return usage("format takes no arguments besides its options");
    bool have_size = false, have_type = false;
    for (const auto& [name, value] : context.command_options) {
        if (name == "--size") {
            const auto bytes = ParseCliSize(value, UINT64_MAX);
            if (!bytes) return usage("--size needs a number of bytes, not \"" + value + "\"");
            options->size_bytes = *bytes;
            have_size = true;
        } else if (name == "--fs") {
            const auto fat32 = ParseFatType(value);
            if (!fat32) return usage("--fs must be fat16 or fat32, not \"" + value + "\"");
            options->fat32 = *fat32;
            have_type = true;
        } else if (name == "--label") {
            std::string entry_name, error;
            if (!FatLabelToEntryName(value, &entry_name, &error)) return usage(error);
            options->label = value;
        } else {
            const auto count = ParseCliNumber(value, kLargestParsedClusterSize);
            if (!count || !FatIsValidClusterSize(static_cast<unsigned>(*count)))
                return usage("--sectors-per-cluster must be a power of two from 1 to 128, not \"" + value + "\"");
            options->sectors_per_cluster = static_cast<unsigned>(*count);
        }
    }
    if (!have_size) return usage("format needs --size BYTES");
    if (!have_type) return usage("format needs --fs fat16|fat32");
    return true;
}

// The image must reach the end of the volume; a larger file is kept as it
// is, and a regular file grows sparse. Block devices are taken as they are.
bool PrepareImage(const std::string& path, std::uint64_t end_byte) {
    std::error_code error;
    const auto status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) return true;
    if (!fs::exists(status)) {
        std::ofstream create(platform::LocalPath(path), std::ios::binary);
        if (!create) {
            CliFail("cannot create image " + path);
            return false;
        }
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) {
        CliFail("cannot read the size of image " + path + ": " + error.message());
        return false;
    }
    if (size >= end_byte) return true;
    fs::resize_file(path, end_byte, error);
    if (error) {
        CliFail("cannot extend image " + path + " to " + std::to_string(end_byte) + " bytes: " +
                error.message());
        return false;
    }
    return true;
}

std::string Describe(const FatFormatLayout& layout) {
    return std::string(layout.fat32 ? "FAT32" : "FAT16") + " volume of " +
           std::to_string(std::uint64_t{layout.total_sectors} * kSectorSize) + " bytes: " +
           std::to_string(layout.cluster_count) + " clusters of " +
           std::to_string(layout.sectors_per_cluster * kSectorSize) + " bytes";
}

nlohmann::ordered_json LayoutAsJson(const FatFormatLayout& layout, std::uint32_t start) {
    nlohmann::ordered_json json;
    json["type"] = layout.fat32 ? "FAT32" : "FAT16";
    json["start"] = start;
    json["bytes"] = std::uint64_t{layout.total_sectors} * kSectorSize;
    json["sectors_per_cluster"] = layout.sectors_per_cluster;
    json["cluster_count"] = layout.cluster_count;
    return json;
}

}  // namespace

int RunFormat(CliContext& context) {
    FatFormatOptions options;
    if (!ReadOptions(context, &options)) return kExitUsage;

    FatFormatLayout layout{};
    std::string error;
    if (!FatPlanVolume(options, &layout, &error)) return CliFail(error);

    // --start was checked as a whole number when the options were read.
    const std::uint32_t start = ParseSectorNumber(context.options.start);
    if (std::uint64_t{start} + layout.total_sectors > kHighestSectorEnd)
        return CliFail("a volume of " + std::to_string(layout.total_sectors) + " sectors at sector " +
                       context.options.start + " would end beyond the last 32-bit sector number");
    options.hidden_sectors = start;

    const bool on_image = context.options.camera.empty() && !context.options.image.empty();
    if (on_image &&
        !PrepareImage(context.options.image, (std::uint64_t{start} + layout.total_sectors) * kSectorSize))
        return kExitFailed;
    if (!CliAttachVolume(context)) return kExitFailed;
    const auto device = device::PlatformBlockDevice::Open(MediaDeviceName(), start);
    if (!device) return CliFail("cannot open " + CliDiskName(context.options));
    if (!FatFormatVolume(options, *device, &error)) return CliFail(error);

    // The new volume is checked the way every later command will see it.
    fat::Diagnostics& lines = context.options.json ? fat::ErrorStreamDiagnostics() : fat::ConsoleDiagnostics();
    const fat::Mounted mounted = fat::Mount(*device, lines);
    if (!mounted.volume)
        return CliFail("the new volume at sector " + context.options.start + " of " + CliDiskName(context.options) +
                       " does not mount (mount code " + std::to_string(fat::MountCodeOf(mounted.error)) + ")");
    if (context.options.json)
        CliPrintJson(LayoutAsJson(layout, start));
    else
        std::cout << "Formatted " << Describe(layout) << "\n";
    return kExitOk;
}
