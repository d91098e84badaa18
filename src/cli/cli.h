// quillon-cli: global options, the command table and shared helpers.
#pragma once

#include <string>
#include <vector>

#include "device/camera_layout.h"

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;


struct CliOptions {
    std::string image;
    std::string start = camera::kHiddenVolumeStartText;
    std::string camera;
    bool json = false;
};

struct CliContext {
    CliOptions options;
    std::vector<std::string> args;  // the command's own arguments
};

using CommandFn = int (*)(CliContext& context);

struct CliCommand {
    const char* name;
    CommandFn run;
    const char* usage;  // arguments after the command name
    const char* summary;
};

// Runs the tool; returns the exit status.
int RunCli(int argc, char** argv);

// One clear message on standard error; returns kExitFailed.
int CliFail(const std::string& message);
// A usage message on standard error; returns kExitUsage.
int CliUsage(const std::string& message);

// Points the media callbacks at the volume named by --image/--camera and
// --start. Returns false (with the message printed) when there is none.
bool CliAttachVolume(const CliContext& context);
// Attaches and mounts the volume; false with a message when that fails.
bool CliMountVolume(const CliContext& context);

// Splits "--name value" options of a command out of its arguments. Returns
// false (usage error printed) for an unknown option or a missing value.
struct CliOptionRule {
    const char* name;
    bool takes_value;
};
bool CliParseCommandOptions(CliContext& context, const std::vector<CliOptionRule>& rules,
                            std::vector<std::pair<std::string, std::string>>& found);

// The command tables of each group.
const std::vector<CliCommand>& VolumeCommands();
const std::vector<CliCommand>& CameraCommands();
