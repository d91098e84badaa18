#include "cli/camera_commands.h"

int RunUpdate(CliContext&) { return CliFail("update is not available yet"); }
