#include "cli/camera_commands.h"

int RunDetect(CliContext&) { return CliFail("detect is not available yet"); }
