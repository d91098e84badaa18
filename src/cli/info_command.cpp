// quillon-cli info: the mounted volume's geometry.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/cli_json.h"
#include "cli/volume_commands.h"
#include "fat/engine.h"

int RunInfo(CliContext& context) {
    if (!context.args.empty()) return CliUsage("info takes no arguments");
    if (!CliMountVolume(context)) return kExitFailed;
    fat::VolumeInfo volume{};
    context.volume->Info(&volume);
    std::uint32_t free_clusters = 0;
    if (const fat::Result counted = context.volume->CountFreeClusters(&free_clusters); counted != fat::Result::Ok)
        return CliFail("cannot read the FAT of " + CliDiskName(context.options), counted);

    nlohmann::ordered_json info;
    info["type"] = volume.fat32 ? "FAT32" : "FAT16";
    info["volume_start"] = volume.volume_start;
    info["sectors_per_cluster"] = volume.sectors_per_cluster;
    info["reserved_sectors"] = volume.reserved_sectors;
    info["fats"] = volume.fat_count;
    info["fat_size"] = volume.fat_size;
    info["root_entries"] = volume.root_entry_count;
    info["root_cluster"] = volume.root_cluster;
    info["cluster_count"] = volume.cluster_count;
    info["free_clusters"] = free_clusters;

    if (context.options.json) {
        CliPrintJson(info);
        return kExitOk;
    }
    const char* labels[] = {"Type",        "Volume start", "Sectors per cluster",
                            "Reserved sectors", "FATs",   "FAT size",
                            "Root entries", "Root cluster", "Clusters",
                            "Free clusters"};
    int i = 0;
    for (const auto& [key, value] : info.items()) {
        std::cout << labels[i++] << ": "
                  << (value.is_string() ? value.get<std::string>() : value.dump()) << "\n";
    }
    return kExitOk;
}
