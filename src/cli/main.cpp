#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "device/platform/host_console.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#ifdef QUILLON_HAVE_LINUX_PLATFORM
#include "device/platform/linux/linux_platform.h"
#endif
#ifdef QUILLON_HAVE_WIN32_PLATFORM
#include "device/platform/win32/win32_platform.h"
#endif

int main(int argc, char** argv) {
    // This computer's own devices where the build has a backend for them;
    // --image and --camera replace it with one that maps their files.
#if defined(QUILLON_HAVE_LINUX_PLATFORM)
    platform::InstallPlatform(platform::MakeLinuxPlatform());
#elif defined(QUILLON_HAVE_WIN32_PLATFORM)
    platform::InstallPlatform(platform::MakeWin32Platform());
#else
    platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
#endif
    // Sector data and volume files go to standard output byte for byte, and
    // file names in the arguments arrive whole, in any script.
    platform::UseBinaryStandardStreams();
    std::vector<std::string> arguments = platform::CommandLineArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return RunCli(static_cast<int>(arguments.size()), pointers.data());
}
