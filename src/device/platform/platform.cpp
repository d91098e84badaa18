#include "device/platform/platform.h"

#include <atomic>
#include <filesystem>
#include <system_error>

namespace platform {
namespace {
std::unique_ptr<Platform>& Slot() {
    static std::unique_ptr<Platform> current = MakeLocalFilesPlatform();
    return current;
}

std::atomic<std::uint64_t> g_installs{0};
}  // namespace

std::uint64_t PlatformInstallCount() { return g_installs.load(); }

Platform& CurrentPlatform() { return *Slot(); }

std::unique_ptr<Platform> InstallPlatform(std::unique_ptr<Platform> platform) {
    auto previous = std::move(Slot());
    Slot() = std::move(platform);
    ++g_installs;
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
