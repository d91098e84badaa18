// quillon-cli mkdir, rm and rename.
#include "cli/volume_commands.h"
#include "cli/volume_paths.h"
#include "fat/fat.h"

namespace {

bool LookUp(const std::string& path, FatEntryInfo* info) {
    return path != "/" && FatLookupEntry(path.c_str(), info);
}

bool RemoveTree(const std::string& path);

bool RemoveFolderContents(const std::string& path) {
    FatEntryInfoList entries;
    FatListDirectory(entries, path.c_str());
    for (const auto& entry : entries) {
        const std::string name = entry.name;
        if (name == "." || name == "..") continue;
        if (!RemoveTree(JoinVolumePath(path, name))) return false;
    }
    return true;
}

bool RemoveTree(const std::string& path) {
    FatEntryInfo info{};
    if (!LookUp(path, &info)) {
        CliFail("no such file or folder on the volume: " + path);
        return false;
    }
    if (!info.is_directory) {
        if (FatDeleteFile(path.c_str()) == 0) return true;
        CliFail("cannot delete " + path);
        return false;
    }
    if (!RemoveFolderContents(path)) return false;
    if (FatRemoveDirectory(path.c_str())) return true;
    CliFail("cannot remove folder " + path);
    return false;
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
    return RemoveTree(path) ? kExitOk : kExitFailed;
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
