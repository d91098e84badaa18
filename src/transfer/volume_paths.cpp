#include "transfer/volume_paths.h"

std::string NormalVolumePath(const std::string& path) {
    std::string normal = "/";
    for (char c : path) {
        if (c == '/' && normal.back() == '/') continue;
        normal += c;
    }
    if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

std::string JoinVolumePath(const std::string& dir, const std::string& name) {
    const std::string base = NormalVolumePath(dir);
    return base == "/" ? "/" + name : base + "/" + name;
}

std::string VolumeBaseName(const std::string& path) {
    const std::string normal = NormalVolumePath(path);
    return normal.substr(normal.rfind('/') + 1);
}
