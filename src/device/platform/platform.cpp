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
    const std::string path = executable.string();
    const std::size_t last = path.rfind('/');
    // A program in the root folder lives in "/", not in "".
    return last == 0 ? "/" : path.substr(0, last);
}

}  // namespace platform
