// quillon-cli mkdir, rm and rename.
#include <map>
#include <vector>

#include "cli/cli_json.h"
#include "cli/volume_commands.h"
#include "fat/engine.h"
#include "transfer/volume_paths.h"

namespace {

bool LookUp(fat::Volume& volume, const std::string& path, FatEntryInfo* info) {
    return path != "/" && volume.Lookup(path, info) == fat::Result::Ok;
}

// The first cluster of every folder met so far, with the path it was met at.
using FolderStarts = std::map<std::uint32_t, std::string>;

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    return folder == "/" || path.rfind(folder + "/", 0) == 0;
}

std::string LoopMessage(const std::string& path, const std::string& earlier) {
    const std::string relation = IsInsideFolder(path, earlier) ? " loops back to " : " is the same folder as ";
    return path + relation + earlier + ": the volume's folder tree is damaged, so nothing was deleted";
}

// Records where a folder starts; false with the message when a folder met
// before starts there too. On a damaged volume a folder can point back at
// an ancestor: following it would delete through the loop without end.
bool RecordFolder(const std::string& path, std::uint32_t cluster, FolderStarts* seen, std::string* problem) {
    const auto [at, fresh] = seen->emplace(cluster, path);
    if (!fresh) *problem = LoopMessage(path, at->second);
    return fresh;
}

// The root and every folder above path, so that a folder below that starts
// at one of them counts as a loop.
bool RecordAncestors(fat::Volume& volume, const std::string& path, FolderStarts* seen, std::string* problem) {
    fat::VolumeInfo geometry{};
    volume.Info(&geometry);
    if (!RecordFolder("/", geometry.root_cluster, seen, problem)) return false;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string ancestor = path.substr(0, slash);
        FatEntryInfo info{};
        if (LookUp(volume, ancestor, &info) && !RecordFolder(ancestor, info.first_cluster, seen, problem)) return false;
    }
    return true;
}

// Walks the folders of the tree before anything is deleted, so a loop
// found deep inside leaves the volume untouched and is named by its path.
bool CheckFolders(fat::Volume& volume, const std::string& path, std::uint32_t cluster, FolderStarts* seen,
                  std::string* problem) {
    if (!RecordFolder(path, cluster, seen, problem)) return false;
    std::vector<std::pair<std::string, std::uint32_t>> children;
    const fat::Result listed = volume.ForEach(path, [&](const FatEntryInfo& entry) {
        const std::string name = entry.name;
        if (entry.is_directory && name != "." && name != "..")
            children.emplace_back(JoinVolumePath(path, name), entry.first_cluster);
        return true;
    });
    if (listed != fat::Result::Ok) {
        *problem = "cannot read folder " + path + " (" + fat::ResultText(listed) + "), so nothing was deleted";
        return false;
    }
    for (const auto& [child, child_cluster] : children)
        if (!CheckFolders(volume, child, child_cluster, seen, problem)) return false;
    return true;
}

bool RemoveTree(fat::Volume& volume, const std::string& path, const FatEntryInfo& info) {
    if (info.is_directory) {
        FolderStarts seen;
        std::string problem;
        if (!RecordAncestors(volume, path, &seen, &problem) ||
            !CheckFolders(volume, path, info.first_cluster, &seen, &problem)) {
            CliFail(problem);
            return false;
        }
    }
    // One pass per folder in the engine, whatever the folder's size.
    const fat::Result removed = info.is_directory ? volume.RemoveTree(path) : volume.Delete(path);
    if (removed == fat::Result::Ok) return true;
    if (info.is_directory && removed == fat::Result::NotEmpty)
        CliFail("cannot remove folder " + path + ": it holds hidden or system entries; nothing was deleted");
    else
        CliFail((info.is_directory ? "cannot remove folder " : "cannot delete ") + path, removed);
    return false;
}

}  // namespace

int RunMkdir(CliContext& context) {
    if (context.args.size() != 1) return CliUsage("mkdir needs PATH");
    const std::string path = NormalVolumePath(context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    fat::Volume& volume = *context.volume;
    FatEntryInfo info{};
    if (path == "/" || LookUp(volume, path, &info)) return CliFail(path + " already exists on the volume");
    if (!CliNewNameAllowed(VolumeBaseName(path))) return kExitFailed;
    const fat::Result made = volume.MakeDirectory(path);
    if (made == fat::Result::Exists)
        return CliFail("cannot create folder " + path + ": a hidden or system entry has that name");
    if (made == fat::Result::NotFound) return CliFail("cannot create folder " + path + ": its parent folder is missing");
    if (made != fat::Result::Ok) return CliFail("cannot create folder " + path, made);
    if (context.options.json) CliPrintJson({{"created", path}});
    return kExitOk;
}

namespace {

// One path of an rm; false with the message printed.
bool RemovePath(fat::Volume& volume, const std::string& path, bool recursive) {
    if (path == "/") {
        CliFail("the root folder cannot be removed");
        return false;
    }
    FatEntryInfo info{};
    if (!LookUp(volume, path, &info)) {
        CliFail("no such file or folder on the volume: " + path);
        return false;
    }
    if (info.is_directory && !recursive) {
        CliFail(path + " is a folder (use rm -r)");
        return false;
    }
    return RemoveTree(volume, path, info);
}

}  // namespace

// Each path is removed on its own, as rm does: one that fails is reported
// and the others are still removed.
int RunRm(CliContext& context) {
    if (context.args.empty()) return CliUsage("rm needs at least one PATH");
    const bool recursive = HasCliOption(context.command_options, kRecursiveOption);
    if (!CliMountVolume(context)) return kExitFailed;
    nlohmann::ordered_json removed = nlohmann::ordered_json::array();
    nlohmann::ordered_json failed = nlohmann::ordered_json::array();
    for (const std::string& argument : context.args) {
        const std::string path = NormalVolumePath(argument);
        (RemovePath(*context.volume, path, recursive) ? removed : failed).push_back(path);
    }
    if (context.options.json) CliPrintJson({{"removed", removed}, {"failed", failed}});
    return failed.empty() ? kExitOk : kExitFailed;
}

int RunRename(CliContext& context) {
    if (context.args.size() != 2) return CliUsage("rename needs PATH and NEWNAME");
    const std::string path = NormalVolumePath(context.args[0]);
    const std::string new_name = context.args[1];
    if (new_name.empty() || new_name.find('/') != std::string::npos)
        return CliFail("a new name is one name, without folders: " + new_name);
    if (!CliNewNameAllowed(new_name)) return kExitFailed;
    if (!CliMountVolume(context)) return kExitFailed;
    fat::Volume& volume = *context.volume;
    FatEntryInfo info{};
    if (!LookUp(volume, path, &info)) return CliFail("no such file or folder on the volume: " + path);
    const std::string parent = path.substr(0, path.rfind('/'));
    // A new name that differs only in letter case names the entry itself.
    const bool same_entry = FatNamesMatch(info.name, new_name.c_str()) == 1;
    if (!same_entry && LookUp(volume, JoinVolumePath(parent.empty() ? "/" : parent, new_name), &info))
        return CliFail(new_name + " already exists beside " + path);
    if (const fat::Result renamed = volume.Rename(path, new_name); renamed != fat::Result::Ok)
        return CliFail("cannot rename " + path, renamed);
    if (context.options.json)
        CliPrintJson({{"renamed", path}, {"to", JoinVolumePath(parent.empty() ? "/" : parent, new_name)}});
    return kExitOk;
}
