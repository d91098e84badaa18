// The console the program runs in, as the host system reports it.
#pragma once

#include <cstdio>

namespace platform {

// Whether the stream writes to an interactive terminal.
bool IsTerminal(std::FILE* stream);

}  // namespace platform
