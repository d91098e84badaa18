// quillon-cli: global options, the command table and shared helpers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;


namespace fat {
class Volume;
enum class Result;
}  // namespace fat

struct CliContext {
    CliOptions options;
    std::vector<CliOptionValue> command_options;  // as declared in its CliCommand
    std::vector<std::string> args;                 // the command's own arguments
    std::shared_ptr<fat::Volume> volume;           // set by CliMountVolume
};

using CommandFn = int (*)(CliContext& context);

struct CliCommand {
    const char* name;
    CommandFn run;
    const char* usage;  // arguments after the command name
    const char* summary;
    std::vector<CliOptionRule> options;  // the options it takes besides --json and --help
};

// Runs the tool; returns the exit status.
int RunCli(int argc, char** argv);

// One clear message on standard error; returns kExitFailed.
int CliFail(const std::string& message);
// The same with the engine's reason: "what: reason".
int CliFail(const std::string& what, fat::Result reason);
// A usage message on standard error; returns kExitUsage.
int CliUsage(const std::string& message);

// Points the media callbacks at the volume named by --image/--camera and
// --start. Returns false (with the message printed) when there is none.
bool CliAttachVolume(const CliContext& context);
// Attaches the volume and mounts it into context.volume, its diagnostic
// lines on standard output (standard error under --json); false with a
// message when that fails.
bool CliMountVolume(CliContext& context);

// The disk the volume commands work on, as messages name it: the --image
// file, or the system disk of the --camera manifest.
std::string CliDiskName(const CliOptions& options);

// The options the command of that name declares, or null when there is none.
const std::vector<CliOptionRule>* CliCommandOptionRules(const std::string& name);

// The command tables of each group.
const std::vector<CliCommand>& VolumeCommands();
const std::vector<CliCommand>& CameraCommands();
const std::vector<CliCommand>& SectorCommands();
