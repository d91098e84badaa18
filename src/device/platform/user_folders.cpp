#include "device/platform/user_folders.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "device/platform/local_path.h"

namespace platform {
namespace {

constexpr char kProgramFolder[] = "quillon";

#ifdef _WIN32
// The per-user, per-machine application data folder; read wide, as its
// name holds the user's name in any script.
std::filesystem::path StateBase() {
    const wchar_t* local_data = ::_wgetenv(L"LOCALAPPDATA");
    if (!local_data || !std::filesystem::path(local_data).is_absolute()) return {};
    return local_data;
}
#else

// The base folder the XDG rules give: a relative $XDG_STATE_HOME is invalid
// and ignored.
std::filesystem::path StateBase() {
    const char* state_home = std::getenv("XDG_STATE_HOME");
    if (state_home && std::filesystem::path(state_home).is_absolute()) return state_home;
    const char* home = std::getenv("HOME");
    if (!home || !*home) return {};
    return std::filesystem::path(home) / ".local" / "state";
}
#endif

}  // namespace

std::string UserStateDirectory() {
    const std::filesystem::path base = StateBase();
    if (base.empty()) return {};
    const std::filesystem::path folder = base / kProgramFolder;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error)) return {};
    return Utf8Name(folder);
}

}  // namespace platform
