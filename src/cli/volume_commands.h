#pragma once

#include "cli/cli.h"

int RunInfo(CliContext& context);
int RunLs(CliContext& context);
int RunGet(CliContext& context);
int RunPut(CliContext& context);
int RunMkdir(CliContext& context);
int RunRm(CliContext& context);
int RunRename(CliContext& context);
int RunFormat(CliContext& context);
