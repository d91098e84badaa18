#include "device/platform/platform.h"

#include <filesystem>
#include <system_error>

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

std::string ExecutableDirectory() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path().string();
}

}  // namespace platform
