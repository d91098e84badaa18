#include "cli/camera_commands.h"

const std::vector<CliCommand>& CameraCommands() {
    static const std::vector<CliCommand> commands = {
        {"make-camera", RunMakeCamera,
         "DIR [--state N] [--fs fat16|fat32] [--user-free BYTES] [--update-size BYTES] [--force] "
         "[--allow-impossible]",
         "creates a simulated camera in DIR, a new or empty folder (--force: over what is there); sizes may "
         "end in K, M or G",
         {{"--state", true},
          {"--fs", true},
          {"--user-free", true},
          {"--update-size", true},
          {"--force", false},
          {"--allow-impossible", false}}},
        {"detect", RunDetect, "", "runs device discovery and prints the device record", {}},
        {"update", RunUpdate, "[--gfx DIR] [--answer yes|no]", "the whole update run without a window",
         {{"--gfx", true}, {"--answer", true}}},
        {"marker", RunMarker, "appdata|apponly", "sets the update marker on the camera's system disk", {}},
    };
    return commands;
}
