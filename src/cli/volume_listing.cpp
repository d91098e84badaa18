// quillon-cli ls: one directory of the volume, in directory order, or the
// one file a path names.
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli_json.h"
#include "cli/volume_commands.h"
#include "fat/engine.h"
#include "transfer/volume_paths.h"
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
        std::cout << (rows_++ ? "," : "[") << CliJsonText(JsonRow(entry));
    }
    std::size_t Rows() const { return rows_; }
    void End() {
        if (json_) std::cout << (rows_ ? "]" : "[]") << "\n";
    }

private:
    bool json_;
    std::size_t rows_ = 0;
};

// A path that names a file is listed as that file alone, as ls does.
bool IsFile(fat::Volume& volume, const std::string& path, FatEntryInfo* entry) {
    return path != "/" && volume.Lookup(path, entry) == fat::Result::Ok && !entry->is_directory;
}

}  // namespace

int RunLs(CliContext& context) {
    if (context.args.size() > 1) return CliUsage("ls takes at most one PATH");
    const std::string path = NormalVolumePath(context.args.empty() ? "/" : context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    ListingPrinter printer(context.options.json);
    if (FatEntryInfo file{}; IsFile(*context.volume, path, &file)) {
        printer.Row(file);
        printer.End();
        return kExitOk;
    }
    // One pass over the folder, whatever its size.
    const fat::Result listed = context.volume->ForEach(path, [&printer](const FatEntryInfo& entry) {
        if (IsListed(entry)) printer.Row(entry);
        return true;
    });
    const bool no_folder =
        listed == fat::Result::NotFound || listed == fat::Result::NotADirectory || listed == fat::Result::BadName;
    // Rows already out are closed, so standard output stays whole JSON.
    if (!no_folder || printer.Rows() > 0) printer.End();
    if (no_folder) return CliFail("no such file or folder on the volume: " + path);
    if (listed != fat::Result::Ok)
        return CliFail("the listing of " + path + " may be incomplete", listed);
    return kExitOk;
}
