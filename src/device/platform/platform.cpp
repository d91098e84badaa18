#include "device/platform/platform.h"

#include "device/platform/sim/sim_platform.h"

namespace platform {
namespace {
std::unique_ptr<Platform>& Slot() {
    static std::unique_ptr<Platform> current = std::make_unique<SimulatedPlatform>();
    return current;
}
}  // namespace

Platform& CurrentPlatform() { return *Slot(); }

std::unique_ptr<Platform> InstallPlatform(std::unique_ptr<Platform> platform) {
    auto previous = std::move(Slot());
    Slot() = std::move(platform);
    return previous;
}

}  // namespace platform
