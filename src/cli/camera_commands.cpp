#include "cli/cli.h"

namespace {
int NotYet(CliContext&) { return CliFail("this command is not available yet"); }
}  // namespace

const std::vector<CliCommand>& CameraCommands() {
    static const std::vector<CliCommand> commands = {
        {"make-camera", NotYet,
         "DIR [--state N] [--fs fat16|fat32] [--user-free BYTES] [--update-size BYTES]",
         "creates a simulated camera in DIR"},
        {"detect", NotYet, "", "runs device discovery and prints the device record"},
        {"update", NotYet, "[--gfx DIR] [--answer yes|no]", "the whole update run without a window"},
        {"marker", NotYet, "appdata|apponly", "sets the update marker on the camera's system disk"},
    };
    return commands;
}
