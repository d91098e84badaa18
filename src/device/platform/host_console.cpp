#include "device/platform/host_console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include "device/platform/local_path.h"
#else
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32
// isatty is true for any character device there, NUL among them; only a
// console has a console mode.
bool IsTerminal(std::FILE* stream) {
    const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

void UseBinaryStandardStreams() {
    for (std::FILE* stream : {stdin, stdout, stderr}) ::_setmode(::_fileno(stream), _O_BINARY);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8Name(std::filesystem::path(wide[i])));
    ::LocalFree(wide);
    return arguments;
}
#else
bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void UseBinaryStandardStreams() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}
#endif

}  // namespace platform
