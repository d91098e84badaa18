#include "device/platform/drive_path.h"

#include <cctype>

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

char DriveLetterOfPath(const std::string& path) {
    if (path.size() < 2 || path[1] != ':') return 0;
    if (path.size() > 2 && !IsSeparator(path[2])) return 0;
    const unsigned char letter = static_cast<unsigned char>(path[0]);
    if (!std::isalpha(letter) || letter > 0x7F) return 0;
    return static_cast<char>(std::toupper(letter));
}

std::optional<std::string> PathBelowDriveRoot(const std::string& path) {
    if (DriveLetterOfPath(path) == 0) return std::nullopt;
    std::string relative;
    std::size_t begin = 2;
    while (begin <= path.size()) {
        std::size_t end = begin;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        const std::string part = path.substr(begin, end - begin);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") {
            if (!relative.empty()) relative += '/';
            relative += part;
        }
        begin = end + 1;
    }
    if (relative.empty()) return std::nullopt;
    return relative;
}

bool MayNameLocalFile(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return true;
#else
    return DriveLetterOfPath(path) == 0;
#endif
}

}  // namespace platform
