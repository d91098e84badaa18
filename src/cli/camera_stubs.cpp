// Placeholders until the camera commands exist; each is replaced by its own file.
#include "cli/camera_commands.h"

int RunMakeCamera(CliContext&) { return CliFail("make-camera is not available yet"); }
int RunDetect(CliContext&) { return CliFail("detect is not available yet"); }
int RunUpdate(CliContext&) { return CliFail("update is not available yet"); }
int RunMarker(CliContext&) { return CliFail("marker is not available yet"); }
