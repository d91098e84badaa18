// quillon-cli ls: one directory of the volume, in directory order.
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/volume_commands.h"
#include "cli/volume_paths.h"
#include "fat/engine.h"
#include "ui/volume_text.h"

namespace {

// Names beginning with "." are never shown, as in the explorer.
bool IsListed(const FatEntryInfo& entry) { return entry.name[0] != '.'; }

void PrintText(const std::vector<FatEntryInfo>& entries) {
    for (const auto& e : entries) {
        char size[24];
        std::snprintf(size, sizeof size, "%12u", e.size);
        std::cout << VolumeDateText(e.write_date, e.write_time) << "  "
                  << (e.is_directory ? "       <DIR>" : size) << "  " << e.name
                  << (e.is_directory ? "/" : "") << "\n";
    }
}

void PrintJson(const std::vector<FatEntryInfo>& entries) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& e : entries) {
        nlohmann::ordered_json row;
        row["name"] = e.name;
        row["dir"] = e.is_directory != 0;
        row["size"] = e.size;
        row["cluster"] = e.first_cluster;
        row["fat_date"] = e.write_date;
        row["fat_time"] = e.write_time;
        row["modified"] = VolumeDateText(e.write_date, e.write_time);
        list.push_back(row);
    }
    std::cout << list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

}  // namespace

int RunLs(CliContext& context) {
    if (context.args.size() > 1) return CliUsage("ls takes at most one PATH");
    const std::string path = NormalVolumePath(context.args.empty() ? "/" : context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    // One pass over the folder, whatever its size.
    FatEntryInfoList all;
    const fat::Result listed = context.volume->List(path, &all);
    if (listed == fat::Result::NotFound || listed == fat::Result::NotADirectory || listed == fat::Result::BadName)
        return CliFail("no such folder on the volume: " + path);
    std::vector<FatEntryInfo> entries;
    for (const FatEntryInfo& entry : all)
        if (IsListed(entry)) entries.push_back(entry);
    if (context.options.json)
        PrintJson(entries);
    else
        PrintText(entries);
    if (listed != fat::Result::Ok)
        return CliFail("the listing of " + path + " may be incomplete", listed);
    return kExitOk;
}
