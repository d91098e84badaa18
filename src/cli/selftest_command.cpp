// quillon-cli selftest: the engine's write/delete self-test.
#include "cli/sector_commands.h"

int RunSelftest(CliContext&) { return CliFail("selftest is not built yet"); }
