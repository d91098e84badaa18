// quillon-cli eid: the sector tool EID Readback.
#include "cli/sector_commands.h"

int RunEid(CliContext&) { return CliFail("eid is not built yet"); }
