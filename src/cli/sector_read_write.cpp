// quillon-cli read and write: the sector tools Read and Write.
#include "cli/sector_commands.h"

int RunRead(CliContext&) { return CliFail("read is not built yet"); }
int RunWrite(CliContext&) { return CliFail("write is not built yet"); }
