#include "transfer/volume_tree.h"

#include <cstring>

#include "transfer/volume_paths.h"

namespace {

// A name as the listing gives it, never read past its buffer even when the
// volume left it unterminated.
std::string NameOf(const FatEntryInfo& info) { return std::string(info.name, ::strnlen(info.name, sizeof info.name)); }

}  // namespace

fat::Result ListVolumeChildren(fat::Volume& volume, const std::string& folder, std::vector<VolumeChild>* children) {
    return volume.ForEach(folder, [children](const FatEntryInfo& entry) {
        std::string name = NameOf(entry);
        const bool is_directory = entry.is_directory != 0;
        if (!(is_directory && (name == "." || name == "..")))
            children->push_back(VolumeChild{std::move(name), is_directory, entry.first_cluster, entry.size,
                                            entry.location});
        return true;
    });
}

fat::Result VolumeFolderStart(fat::Volume& volume, const std::string& path, std::uint32_t* first_cluster) {
    if (path == "/") {
        fat::VolumeInfo geometry{};
        const fat::Result result = volume.Info(&geometry);
        *first_cluster = geometry.root_cluster;
        return result;
    }
    FatEntryInfo info{};
    const fat::Result result = volume.Lookup(path, &info);
    *first_cluster = info.first_cluster;
    return result;
}

void VolumeFolderTrail::EnterAbove(fat::Volume& volume, const std::string& path) {
    if (path == "/") return;
    std::uint32_t cluster = 0;
    if (VolumeFolderStart(volume, "/", &cluster) == fat::Result::Ok) folders_.emplace(cluster, "/");
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string ancestor = path.substr(0, slash);
        if (VolumeFolderStart(volume, ancestor, &cluster) == fat::Result::Ok) folders_.emplace(cluster, ancestor);
    }
}

bool VolumeFolderTrail::Enter(const std::string& path, std::uint32_t first_cluster, std::string* earlier) {
    const auto [at, fresh] = folders_.emplace(first_cluster, path);
    if (!fresh && earlier) *earlier = at->second;
    return fresh;
}

void VolumeFolderTrail::Leave(std::uint32_t first_cluster) { folders_.erase(first_cluster); }
