// quillon-cli's command line, read in one pass: the global options before
// the command, then the command's own options and its arguments. Nothing is
// printed here; the caller reports what the result asks for.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/camera_layout.h"

// The options that come before the command.
struct CliOptions {
    std::string image;
    std::string start = camera::kHiddenVolumeStartText;
    std::string camera;
    bool json = false;
    bool start_given = false;  // --start was on the command line
};

// One option a command accepts: "--name" or a short "-x".
struct CliOptionRule {
    const char* name;
    bool takes_value;
};

// One option as given on the command line; a flag has an empty value.
struct CliOptionValue {
    std::string name;
    std::string value;
};

bool HasCliOption(const std::vector<CliOptionValue>& given, std::string_view name);

// What the command line asks for.
enum class CliRequest {
    RunCommand,
    ShowHelp,         // the tool's usage: --help, -h or a bare "help"
    ShowCommandHelp,  // one command's usage: COMMAND --help or "help COMMAND"
    ShowVersion,
    UsageError,
};

struct CliCommandLine {
    CliRequest request = CliRequest::RunCommand;
    CliOptions options;
    std::string command;
    std::vector<CliOptionValue> command_options;  // in the order given
    std::vector<std::string> args;                 // the command's own arguments
    std::string usage_error;                       // the message of a UsageError
    bool missing_command = false;                  // a UsageError for want of a command
};

// The options a command declares, or null when there is no such command.
using CliOptionRulesOf = std::function<const std::vector<CliOptionRule>*(const std::string& command)>;

// The words after the program name. "--opt VALUE" and "--opt=VALUE" are the
// same; "--" ends the options, so every later word is an argument; a lone "-"
// is an argument. "--json" is taken after the command too, where scripts
// tend to put it.
CliCommandLine ParseCliCommandLine(const std::vector<std::string>& words, const CliOptionRulesOf& rules_of);
