#include "cli/camera_commands.h"

int RunMarker(CliContext&) { return CliFail("marker is not available yet"); }
