#include "cli/sector_commands.h"

const std::vector<CliCommand>& SectorCommands() {
    static const std::vector<CliCommand> commands = {
        {"read", RunRead, "SECTOR [--count N] [--out FILE]",
         "reads N (default 1) sectors from SECTOR, relative to --start, into FILE (default ReadFile.bin; - for "
         "standard output)",
         {{kCountOption, true}, {kOutOption, true}}},
        {"write", RunWrite, "SECTOR TEXT",
         "writes one sector at SECTOR, relative to --start: TEXT, one zero byte, then 0xFF to the end", {}},
        {"eid", RunEid, "[--out FILE]",
         "needs --camera: sends the two identity commands to the camera's system disk and saves the 3072-byte "
         "identity file (default EID_DATA.bin)",
         {{kOutOption, true}}},
        {"selftest", RunSelftest, "[--iterations N]",
         "the engine's write/delete self-test on the volume (default 1000 iterations); exit 1 when a count is short",
         {{kIterationsOption, true}}},
    };
    return commands;
}
