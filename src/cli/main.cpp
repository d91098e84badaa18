#include <memory>

#include "cli/cli.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"

int main(int argc, char** argv) {
    // The simulated camera is this build's only backend; --image and
    // --camera replace it with one that maps their files.
    platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
    return RunCli(argc, argv);
}
