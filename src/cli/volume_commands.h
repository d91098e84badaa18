#pragma once

#include <string>

#include "cli/cli.h"

// rm's option to delete folders with everything below them.
constexpr char kRecursiveOption[] = "-r";

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
