#include "cli/camera_commands.h"

const std::vector<CliCommand>& CameraCommands() {
    static const std::vector<CliCommand> commands = {
        {"make-camera", RunMakeCamera,
         "DIR [--state N] [--fs fat16|fat32] [--user-free BYTES] [--update-size BYTES] [--allow-impossible]",
         "creates a simulated camera in DIR"},
        {"detect", RunDetect, "", "runs device discovery and prints the device record"},
        {"update", RunUpdate, "[--gfx DIR] [--answer yes|no]", "the whole update run without a window"},
        {"marker", RunMarker, "appdata|apponly", "sets the update marker on the camera's system disk"},
    };
    return commands;
}
