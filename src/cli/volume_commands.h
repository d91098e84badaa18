#pragma once

#include <string>

#include "cli/cli.h"

// Takes a command's arguments when it has no options of its own; false
// (usage error printed) when one looks like an option.
bool CliPlainArguments(CliContext& context);
// Whether a new entry may be named so; when not, the reason is printed.
bool CliNewNameAllowed(const std::string& name);

int RunInfo(CliContext& context);
int RunLs(CliContext& context);
int RunGet(CliContext& context);
int RunPut(CliContext& context);
int RunMkdir(CliContext& context);
int RunRm(CliContext& context);
int RunRename(CliContext& context);
int RunFormat(CliContext& context);
