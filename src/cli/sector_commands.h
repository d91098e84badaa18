// quillon-cli's sector commands: the developer window's sector tools and the
// engine self-test, for scripts and tests.
#pragma once

#include <vector>

#include "cli/cli.h"

constexpr char kCountOption[] = "--count";
constexpr char kOutOption[] = "--out";
constexpr char kIterationsOption[] = "--iterations";

int RunRead(CliContext& context);
int RunWrite(CliContext& context);
int RunEid(CliContext& context);
int RunSelftest(CliContext& context);
