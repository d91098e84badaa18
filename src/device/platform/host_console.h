// The console the program runs in, as the host system reports it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Whether the stream writes to an interactive terminal.
bool IsTerminal(std::FILE* stream);

// Sets the standard streams to pass bytes as they are. Windows would turn
// every line feed written into CR LF, which breaks sector data and volume
// files sent to standard output; POSIX streams already do nothing else.
void UseBinaryStandardStreams();

// The program's arguments in UTF-8. Windows hands main() its arguments in
// the system's code page, which cannot hold every file name; the wide
// command line can.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace platform
