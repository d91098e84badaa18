#include "cli/volume_commands.h"

#include "fat/fat.h"

const std::vector<CliCommand>& VolumeCommands() {
    static const std::vector<CliCommand> commands = {
        {"info", RunInfo, "", "mounts the volume and prints its geometry", {}},
        {"ls", RunLs, "[PATH]", "lists a directory of the volume (default /), or the one file PATH names", {}},
        {"get", RunGet, "PATH DEST",
         "copies a volume file to a local file (- for standard output), or a volume folder with all below it", {}},
        {"put", RunPut, "LOCAL [DIR]", "imports a local file or folder into volume folder DIR (default /)", {}},
        {"mkdir", RunMkdir, "PATH", "creates a directory", {}},
        {"rm", RunRm, "[-r] PATH...", "deletes files; with -r also directories with all below them",
         {{kRecursiveOption, false}}},
        {"rename", RunRename, "PATH NEWNAME", "renames an entry", {}},
        {"format", RunFormat,
         "--size BYTES --fs fat16|fat32 [--label TEXT] [--sectors-per-cluster N]",
         "writes a new, empty FAT volume at --start of --image (sizes may end in K, M or G)",
         {{"--size", true}, {"--fs", true}, {"--label", true}, {"--sectors-per-cluster", true}}},
    };
    return commands;
}

bool CliNewNameAllowed(const std::string& name) {
    const char* problem = FatNewNameProblem(name.c_str());
    if (!problem) return true;
    CliFail("cannot use the name \"" + name + "\" on the volume: " + problem);
    return false;
}
