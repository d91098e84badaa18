#include "cli/camera_commands.h"

int RunMakeCamera(CliContext&) { return CliFail("make-camera is not available yet"); }
