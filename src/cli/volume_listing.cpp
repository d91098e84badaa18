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

void PrintTextRow(const FatEntryInfo& e) {
    char size[24];
    std::snprintf(size, sizeof size, "%12u", e.size);
    std::cout << VolumeDateText(e.write_date, e.write_time) << "  " << (e.is_directory ? "       <DIR>" : size)
              << "  " << e.name << (e.is_directory ? "/" : "") << "\n";
}

nlohmann::ordered_json JsonRow(const FatEntryInfo& e) {
    nlohmann::ordered_json row;
    row["name"] = e.name;
    row["dir"] = e.is_directory != 0;
    row["size"] = e.size;
    row["cluster"] = e.first_cluster;
    row["fat_date"] = e.write_date;
    row["fat_time"] = e.write_time;
    row["modified"] = VolumeDateText(e.write_date, e.write_time);
    return row;
}

// Rows go out as the pass reaches them, so memory stays flat whatever the
// folder's size; the JSON array is written piece by piece, as one line.
class ListingPrinter {
public:
    explicit ListingPrinter(bool json) : json_(json) {}
    void Row(const FatEntryInfo& entry) {
        if (!json_) return PrintTextRow(entry);
        std::cout << (rows_++ ? "," : "[")
                  << JsonRow(entry).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    void End() {
        if (json_) std::cout << (rows_ ? "]" : "[]") << "\n";
    }

private:
    bool json_;
    std::size_t rows_ = 0;
};

}  // namespace

int RunLs(CliContext& context) {
    if (context.args.size() > 1) return CliUsage("ls takes at most one PATH");
    const std::string path = NormalVolumePath(context.args.empty() ? "/" : context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    // One pass over the folder, whatever its size.
    ListingPrinter printer(context.options.json);
    const fat::Result listed = context.volume->ForEach(path, [&printer](const FatEntryInfo& entry) {
        if (IsListed(entry)) printer.Row(entry);
        return true;
    });
    if (listed == fat::Result::NotFound || listed == fat::Result::NotADirectory || listed == fat::Result::BadName)
        return CliFail("no such folder on the volume: " + path);
    printer.End();
    if (listed != fat::Result::Ok)
        return CliFail("the listing of " + path + " may be incomplete", listed);
    return kExitOk;
}
