#include "cli/volume_commands.h"

int RunFormat(CliContext&) { return CliFail("format is not available yet"); }
