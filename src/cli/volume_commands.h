#pragma once

#include "cli/cli.h"

int RunInfo(CliContext& context);
