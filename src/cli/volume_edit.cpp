// quillon-cli mkdir, rm and rename.
#include <map>
#include <vector>

#include "cli/volume_commands.h"
#include "cli/volume_paths.h"
#include "fat/fat.h"

namespace {

bool LookUp(const std::string& path, FatEntryInfo* info) {
    return path != "/" && FatLookupEntry(path.c_str(), info);
}

// One entry of a tree to remove, in removal order: everything inside a
// folder comes before the folder.
struct DoomedEntry {
    std::string path;
    bool is_directory;
};

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
bool RecordAncestors(const std::string& path, FolderStarts* seen, std::string* problem) {
    if (!RecordFolder("/", FatTheVolume().root_cluster, seen, problem)) return false;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string ancestor = path.substr(0, slash);
        FatEntryInfo info{};
        if (LookUp(ancestor, &info) && !RecordFolder(ancestor, info.first_cluster, seen, problem)) return false;
    }
    return true;
}

// Walks the whole tree before anything is deleted, so a loop found deep
// inside leaves the volume untouched.
bool PlanRemoval(const std::string& path, std::uint32_t cluster, FolderStarts* seen, std::vector<DoomedEntry>* plan,
                 std::string* problem) {
    if (!RecordFolder(path, cluster, seen, problem)) return false;
    FatEntryInfoList entries;
    FatListDirectory(entries, path.c_str());
    for (const auto& entry : entries) {
        const std::string name = entry.name;
        if (name == "." || name == "..") continue;
        const std::string child = JoinVolumePath(path, name);
        if (!entry.is_directory) {
            plan->push_back({child, false});
        } else if (!PlanRemoval(child, entry.first_cluster, seen, plan, problem)) {
            return false;
        }
    }
    plan->push_back({path, true});
    return true;
}

bool RemoveEntry(const DoomedEntry& entry) {
    if (entry.is_directory ? FatRemoveDirectory(entry.path.c_str()) != 0 : FatDeleteFile(entry.path.c_str()) == 0)
        return true;
    CliFail((entry.is_directory ? "cannot remove folder " : "cannot delete ") + entry.path);
    return false;
}

bool RemoveTree(const std::string& path, const FatEntryInfo& info) {
    std::vector<DoomedEntry> plan;
    if (!info.is_directory) {
        plan.push_back({path, false});
    } else {
        FolderStarts seen;
        std::string problem;
        if (!RecordAncestors(path, &seen, &problem) || !PlanRemoval(path, info.first_cluster, &seen, &plan, &problem)) {
            CliFail(problem);
            return false;
        }
    }
    for (const DoomedEntry& entry : plan)
        if (!RemoveEntry(entry)) return false;
    return true;
}

}  // namespace

int RunMkdir(CliContext& context) {
    if (!CliPlainArguments(context)) return kExitUsage;
    if (context.args.size() != 1) return CliUsage("mkdir needs PATH");
    const std::string path = NormalVolumePath(context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    FatEntryInfo info{};
    if (path == "/" || LookUp(path, &info)) return CliFail(path + " already exists on the volume");
    if (!CliNewNameAllowed(VolumeBaseName(path))) return kExitFailed;
    if (!FatMakeDirectory(path.c_str()))
        return CliFail("cannot create folder " + path +
                       " (missing parent folder, a hidden or system entry has that name, or the volume is full)");
    return kExitOk;
}

int RunRm(CliContext& context) {
    std::vector<std::pair<std::string, std::string>> options;
    if (!CliParseCommandOptions(context, {{"-r", false}}, options)) return kExitUsage;
    if (context.args.size() != 1) return CliUsage("rm needs PATH");
    const bool recursive = !options.empty();
    const std::string path = NormalVolumePath(context.args[0]);
    if (path == "/") return CliFail("the root folder cannot be removed");
    if (!CliMountVolume(context)) return kExitFailed;
    FatEntryInfo info{};
    if (!LookUp(path, &info)) return CliFail("no such file or folder on the volume: " + path);
    if (info.is_directory && !recursive) return CliFail(path + " is a folder (use rm -r)");
    return RemoveTree(path, info) ? kExitOk : kExitFailed;
}

int RunRename(CliContext& context) {
    if (!CliPlainArguments(context)) return kExitUsage;
    if (context.args.size() != 2) return CliUsage("rename needs PATH and NEWNAME");
    const std::string path = NormalVolumePath(context.args[0]);
    const std::string new_name = context.args[1];
    if (new_name.empty() || new_name.find('/') != std::string::npos)
        return CliFail("a new name is one name, without folders: " + new_name);
    if (!CliNewNameAllowed(new_name)) return kExitFailed;
    if (!CliMountVolume(context)) return kExitFailed;
    FatEntryInfo info{};
    if (!LookUp(path, &info)) return CliFail("no such file or folder on the volume: " + path);
    const std::string parent = path.substr(0, path.rfind('/'));
    // A new name that differs only in letter case names the entry itself.
    const bool same_entry = FatNamesMatch(info.name, new_name.c_str()) == 1;
    if (!same_entry && LookUp(JoinVolumePath(parent.empty() ? "/" : parent, new_name), &info))
        return CliFail(new_name + " already exists beside " + path);
    if (!FatRenamePath(path.c_str(), new_name.c_str())) return CliFail("cannot rename " + path);
    return kExitOk;
}
