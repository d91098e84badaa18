#include "app/exe_directory.h"

#include <filesystem>
#include <system_error>

namespace {
constexpr char kPathSeparator = '/';
constexpr char kOwnExecutableLink[] = "/proc/self/exe";
}  // namespace

std::string DirectoryOfPath(const std::string& path) {
    const std::size_t last = path.rfind(kPathSeparator);
    if (last == std::string::npos) return path;
    // A program in the root folder lives in "/", not in "".
    if (last == 0) return path.substr(0, 1);
    return path.substr(0, last);
}

std::string ExeDirectory() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink(kOwnExecutableLink, error);
    if (error) return {};
    return DirectoryOfPath(executable.string());
}
