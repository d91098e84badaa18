#include "device/platform/platform.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include "device/platform/local_path.h"
#endif

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

#ifdef _WIN32
// The module's name may be longer than MAX_PATH: the buffer grows until the
// whole name fits.
std::string ExecutableDirectory() {
    constexpr DWORD kLongestName = 32768;  // the longest name Windows has
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        if (name.size() >= kLongestName) return {};
        name.resize(name.size() * 2);
    }
    return Utf8Name(std::filesystem::path(name).parent_path());
}
#else
std::string ExecutableDirectory() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const std::string path = executable.string();
    const std::size_t last = path.rfind('/');
    // A program in the root folder lives in "/", not in "".
    return last == 0 ? "/" : path.substr(0, last);
}
#endif

}  // namespace platform
