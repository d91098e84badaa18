// quillon-cli get and put: files between the volume and local folders,
// streamed in chunks so memory stays bounded whatever the file size.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/camera_attach.h"
#include "cli/local_destination.h"
#include "cli/volume_commands.h"
#include "cli/volume_paths.h"
#include "device/platform/sim/sim_platform.h"
#include "fat/fat.h"

namespace fs = std::filesystem;

namespace {

// A multiple of every cluster size, so whole clusters pass straight through.
constexpr std::size_t kChunkBytes = 1u << 20;

// One buffer serves every file of a run: a folder of thousands of small
// files must not pay for a fresh megabyte each.
std::vector<std::uint8_t>& TransferBuffer() {
    static std::vector<std::uint8_t> buffer(kChunkBytes);
    return buffer;
}

struct CloseFile {
    void operator()(FatFile* file) const { FatCloseFile(file); }
};
using OpenVolumeFile = std::unique_ptr<FatFile, CloseFile>;

// The local file's modification time as the engine's stamp text.
std::string StampOf(const fs::path& local) {
    std::error_code error;
    const auto written = fs::last_write_time(local, error);
    if (error) return {};
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
    const std::tm* parts = std::localtime(&seconds);
    if (!parts) return {};
    // Four-digit years and seconds: the engine keeps what FAT can hold of them.
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", parts);
    return stamp;
}

bool IsVolumeFolder(const std::string& path) {
    if (path == "/") return true;
    FatEntryInfo info{};
    return FatLookupEntry(path.c_str(), &info) && info.is_directory;
}

bool VolumeEntryExists(const std::string& path) {
    FatEntryInfo info{};
    return path == "/" || FatLookupEntry(path.c_str(), &info);
}

// An existing local folder receives the file under its volume name.
fs::path LocalTargetOf(const std::string& source, const fs::path& destination) {
    std::error_code error;
    return fs::is_directory(destination, error) ? destination / VolumeBaseName(source) : destination;
}

// Copies one volume file to a local destination; on failure an existing
// destination stays as it was.
bool ExportFile(const std::string& source, const std::string& destination) {
    OpenVolumeFile file(FatOpenFile("rb", source.c_str()));
    if (!file) {
        CliFail(IsVolumeFolder(source) ? source + " is a folder, not a file"
                                       : "no such file on the volume: " + source);
        return false;
    }
    LocalDestination out;
    if (destination == kStandardOutputName)
        out.OpenStandardOutput();
    else if (!out.Open(LocalTargetOf(source, destination), InstalledImageFiles()))
        return false;
    std::vector<std::uint8_t>& buffer = TransferBuffer();
    std::uint64_t remaining = file->size;
    while (remaining > 0) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kChunkBytes));
        const int got = FatReadFile(file.get(), want, buffer.data());
        if (got != static_cast<int>(want)) {
            CliFail("cannot read " + source + " (the volume may be damaged); nothing was saved");
            return false;
        }
        if (!out.Write(buffer.data(), want)) return false;
        remaining -= want;
    }
    return out.Commit();
}

bool ImportPath(const fs::path& local, const std::string& volume_dir);

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// A replace writes the new content beside the old and swaps them at the
// end, so that a failure keeps the old file: the volume needs room for
// both. Refused before anything is written when it has none.
bool RoomToReplace(const std::string& target, const FatEntryInfo& old, std::uint64_t new_size) {
    FatVolume& volume = FatTheVolume();
    const std::uint64_t cluster_bytes = std::uint64_t{volume.sectors_per_cluster} * kSectorSize;
    std::uint32_t free_clusters = 0;
    if (!FatCountFreeClusters(volume, &free_clusters)) return true;  // the write itself will tell
    const std::uint64_t needed = (new_size + cluster_bytes - 1) / cluster_bytes;
    const std::uint64_t old_clusters = (std::uint64_t{old.size} + cluster_bytes - 1) / cluster_bytes;
    if (needed <= free_clusters) return true;
    const std::string sizes = "needs " + Mebibytes(needed * cluster_bytes) + ", " +
                              Mebibytes(std::uint64_t{free_clusters} * cluster_bytes) + " free";
    if (needed <= std::uint64_t{free_clusters} + old_clusters)
        CliFail("the volume is too full to keep the old " + target + " while the new one is written (" + sizes +
                "); remove it first to put the new one");
    else
        CliFail("the volume is too full for " + target + " (" + sizes + "); the old file was kept");
    return false;
}

// Writes one local file into a volume folder, replacing a file of the same name.
// The disk image the volume lives on changes while it is copied into
// itself: no whole copy could come of it.
bool IsVolumeImage(const fs::path& local) {
    for (const std::string& image : InstalledImageFiles()) {
        if (!platform::IsSameFile(local.string(), image)) continue;
        CliFail(local.string() + " is the disk image the volume lives on; it cannot be put into itself");
        return true;
    }
    return false;
}

bool ImportFile(const fs::path& local, const std::string& volume_dir) {
    if (!CliNewNameAllowed(local.filename().string()) || IsVolumeImage(local)) return false;
    const std::string target = JoinVolumePath(volume_dir, local.filename().string());
    if (IsVolumeFolder(target)) {
        CliFail(target + " exists on the volume as a folder");
        return false;
    }
    std::ifstream in(local, std::ios::binary);
    if (!in) {
        CliFail("cannot read " + local.string());
        return false;
    }
    FatEntryInfo old{};
    const bool replacing = FatLookupEntry(target.c_str(), &old) == 1;
    std::error_code error;
    const std::uint64_t new_size = fs::file_size(local, error);
    if (replacing && !error && !RoomToReplace(target, old, new_size)) return false;
    const std::string stamp = StampOf(local);
    OpenVolumeFile file(FatOpenWriteStamped(target.c_str(), stamp.empty() ? nullptr : stamp.c_str()));
    if (!file) {
        CliFail("cannot create " + target + " on the volume (full, or a hidden or system entry has that name)");
        return false;
    }
    std::vector<std::uint8_t>& buffer = TransferBuffer();
    bool written = true;
    while (in) {
        in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::uint32_t>(in.gcount());
        if (got == 0) break;
        if (FatWriteFile(file.get(), buffer.data(), got) != static_cast<int>(got)) {
            written = false;
            break;
        }
    }
    const bool read_all = in.eof();
    // Data, FAT and the entry's size must reach the medium before the file
    // counts as written; the close that follows cannot say so.
    if (written && read_all && FatFlushFile(file.get()) == 0) return true;
    // A half-written file is worse than none: a new one goes, a replaced
    // one keeps its old content.
    FatAbandonFile(file.release());
    const std::string outcome = replacing ? "the old " + target + " was kept" : target + " was not imported";
    CliFail(written ? "cannot read " + local.string() + "; " + outcome
                    : "the volume is full or cannot be written: " + outcome);
    return false;
}

bool ImportFolder(const fs::path& local, const std::string& volume_dir) {
    if (!CliNewNameAllowed(local.filename().string())) return false;
    const std::string target = JoinVolumePath(volume_dir, local.filename().string());
    if (!VolumeEntryExists(target)) {
        const std::string stamp = StampOf(local);
        if (!FatMakeDirectoryStamped(target.c_str(), stamp.empty() ? nullptr : stamp.c_str())) {
            CliFail("cannot create folder " + target + " on the volume");
            return false;
        }
    } else if (!IsVolumeFolder(target)) {
        CliFail(target + " exists on the volume as a file");
        return false;
    }
    std::error_code error;
    std::vector<fs::path> children;
    for (const auto& child : fs::directory_iterator(local, error)) children.push_back(child.path());
    if (error) {
        CliFail("cannot read folder " + local.string());
        return false;
    }
    std::sort(children.begin(), children.end());
    for (const auto& child : children)
        if (!ImportPath(child, target)) return false;
    return true;
}

bool ImportPath(const fs::path& local, const std::string& volume_dir) {
    std::error_code error;
    const auto status = fs::status(local, error);
    if (fs::is_directory(status)) return ImportFolder(local, volume_dir);
    if (fs::is_regular_file(status)) return ImportFile(local, volume_dir);
    if (!fs::exists(status)) {
        CliFail("no such file: " + local.string());
        return false;
    }
    std::fprintf(stderr, "quillon-cli: skipped %s (not a regular file)\n", local.c_str());
    return true;
}

}  // namespace

int RunGet(CliContext& context) {
    if (!CliPlainArguments(context)) return kExitUsage;
    if (context.args.size() != 2) return CliUsage("get needs PATH and DEST");
    const std::string source = NormalVolumePath(context.args[0]);
    if (!CliMountVolume(context)) return kExitFailed;
    return ExportFile(source, context.args[1]) ? kExitOk : kExitFailed;
}

int RunPut(CliContext& context) {
    if (!CliPlainArguments(context)) return kExitUsage;
    if (context.args.empty() || context.args.size() > 2) return CliUsage("put needs LOCAL and an optional DIR");
    fs::path local = context.args[0];
    const std::string volume_dir = NormalVolumePath(context.args.size() == 2 ? context.args[1] : "/");
    std::error_code error;
    if (!fs::exists(local, error)) return CliFail("no such file or folder: " + local.string());
    // "folder/" names the folder itself, not an empty last component.
    if (!local.has_filename()) local = local.parent_path();
    if (!CliMountVolume(context)) return kExitFailed;
    if (!IsVolumeFolder(volume_dir)) return CliFail("no such folder on the volume: " + volume_dir);
    return ImportPath(local, volume_dir) ? kExitOk : kExitFailed;
}
