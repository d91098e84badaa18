#include "app/exe_directory.h"

#include "device/platform/platform.h"

namespace {
constexpr char kPathSeparator = '/';
}  // namespace

std::string DirectoryOfPath(const std::string& path) {
    const std::size_t last = path.rfind(kPathSeparator);
    if (last == std::string::npos) return path;
    // A program in the root folder lives in "/", not in "".
    if (last == 0) return path.substr(0, 1);
    return path.substr(0, last);
}

std::string ExeDirectory() { return platform::ExecutableDirectory(); }
