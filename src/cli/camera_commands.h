#pragma once

#include "cli/cli.h"

int RunMakeCamera(CliContext& context);
int RunDetect(CliContext& context);
int RunUpdate(CliContext& context);
int RunMarker(CliContext& context);
