#include <memory>

#include "cli/cli.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#ifdef QUILLON_HAVE_LINUX_PLATFORM
#include "device/platform/linux/linux_platform.h"
#endif

int main(int argc, char** argv) {
    // This computer's own devices where the build has a backend for them;
    // --image and --camera replace it with one that maps their files.
#ifdef QUILLON_HAVE_LINUX_PLATFORM
    platform::InstallPlatform(platform::MakeLinuxPlatform());
#else
    platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
#endif
    return RunCli(argc, argv);
}
