#include "cli/volume_commands.h"

namespace {
int NotYet(CliContext&) { return CliFail("this command is not available yet"); }
}  // namespace

const std::vector<CliCommand>& VolumeCommands() {
    static const std::vector<CliCommand> commands = {
        {"info", RunInfo, "", "mounts the volume and prints its geometry"},
        {"ls", NotYet, "[PATH]", "lists a directory of the volume (default /)"},
        {"get", NotYet, "PATH DEST", "copies a volume file to a local file"},
        {"put", NotYet, "LOCAL [DIR]", "imports a local file or folder into volume folder DIR"},
        {"mkdir", NotYet, "PATH", "creates a directory"},
        {"rm", NotYet, "[-r] PATH", "deletes a file; with -r a directory and all below it"},
        {"rename", NotYet, "PATH NEWNAME", "renames an entry"},
        {"format", RunFormat,
         "--size BYTES --fs fat16|fat32 [--label TEXT] [--sectors-per-cluster N]",
         "writes a new, empty FAT volume at --start of --image"},
    };
    return commands;
}
