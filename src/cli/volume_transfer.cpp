// quillon-cli get and put: files between the volume and local folders,
// streamed in chunks so memory stays bounded whatever the file size.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cli/camera_attach.h"
#include "cli/cli_json.h"
#include "cli/volume_commands.h"
#include "device/platform/sim/sim_platform.h"
#include "fat/engine.h"
#include "transfer/local_destination.h"
#include "transfer/local_names.h"
#include "transfer/local_stamp.h"
#include "transfer/local_tree.h"
#include "transfer/volume_paths.h"
#include "transfer/volume_room.h"
#include "transfer/volume_tree.h"

namespace fs = std::filesystem;

namespace {

// Text that names standard output as a destination.
constexpr char kStandardOutputName[] = "-";

// A multiple of every cluster size, so whole clusters pass straight through.
constexpr std::size_t kChunkBytes = 1u << 20;

// One buffer serves every file of a run: a folder of thousands of small
// files must not pay for a fresh megabyte each.
// Not cleared: a small file touches only the pages it fills.
std::uint8_t* TransferBuffer() {
    static const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkBytes]);
    return buffer.get();
}

struct CloseFile {
    fat::Volume* volume;
    void operator()(FatFile* file) const { volume->Close(file); }
};
using OpenVolumeFile = std::unique_ptr<FatFile, CloseFile>;

bool IsVolumeFolder(fat::Volume& volume, const std::string& path) {
    if (path == "/") return true;
    FatEntryInfo info{};
    return volume.Lookup(path, &info) == fat::Result::Ok && info.is_directory;
}

bool VolumeEntryExists(fat::Volume& volume, const std::string& path) {
    FatEntryInfo info{};
    return path == "/" || volume.Lookup(path, &info) == fat::Result::Ok;
}

// The messages get has always given for its destinations.
std::string DestinationMessage(const DestinationFailure& failure) {
    const std::string& path = failure.path;
    switch (failure.problem) {
        case DestinationProblem::IsFolder: return path + " is a folder; nothing was copied";
        case DestinationProblem::NotRegularFile:
            return path + " is not a regular file (a device, pipe or socket); get writes only regular files, " +
                   "or standard output with " + kStandardOutputName;
        case DestinationProblem::ReadFile:
            return path + " is the disk image " + failure.detail +
                   " that the volume is read from; choose another destination";
        case DestinationProblem::CannotFollowLink: return "cannot follow the link " + path + ": " + failure.detail;
        case DestinationProblem::CannotCreate: return "cannot create " + path + ": " + failure.detail;
        case DestinationProblem::CannotWrite:
            return path.empty() ? "cannot write to standard output"
                                : "cannot write " + path + ": " + failure.detail + "; nothing was saved";
        case DestinationProblem::None: break;
    }
    return "cannot write " + path;
}

bool DestinationFailed(const LocalDestination& out) {
    CliFail(DestinationMessage(out.Failure()));
    return false;
}

// An existing local folder receives the file under its volume name, made
// safe as every name from the volume is.
fs::path LocalTargetOf(const std::string& source, const fs::path& destination) {
    std::error_code error;
    return fs::is_directory(destination, error) ? destination / SafeLocalName(VolumeBaseName(source)) : destination;
}

// Streams an open volume file to a local destination; on failure an
// existing destination stays as it was.
bool ExportOpened(fat::Volume& volume, FatFile* opened, const std::string& source, LocalDestination& out) {
    OpenVolumeFile file(opened, CloseFile{&volume});
    std::uint8_t* buffer = TransferBuffer();
    std::uint64_t remaining = file->size;
    while (remaining > 0) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kChunkBytes));
        std::uint32_t got = 0;
        const fat::Result read = volume.Read(file.get(), buffer, want, &got);
        if (read != fat::Result::Ok || got != want) {
            CliFail("cannot read " + source + " (" +
                    fat::ResultText(read == fat::Result::Ok ? fat::Result::Damaged : read) + "); nothing was saved");
            return false;
        }
        if (!out.Write(buffer, want)) return DestinationFailed(out);
        remaining -= want;
    }
    return out.Commit() || DestinationFailed(out);
}

// Copies one volume file to a local file, or to standard output.
bool ExportFile(fat::Volume& volume, const std::string& source, const std::string& target) {
    FatFile* opened = nullptr;
    const fat::Result result = volume.Open(source, "rb", &opened);
    if (result == fat::Result::NotFound) {
        CliFail("no such file on the volume: " + source);
        return false;
    }
    if (result != fat::Result::Ok) {
        CliFail("cannot open " + source, result);
        return false;
    }
    LocalDestination out;
    if (target == kStandardOutputName) {
        out.OpenStandardOutput();
    } else if (!out.Open(target, platform::InstalledImageFiles())) {
        volume.Close(opened);
        return DestinationFailed(out);
    }
    return ExportOpened(volume, opened, source, out);
}

bool IsSymbolicLink(const fs::path& path) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(path, error));
}

// Copies a volume folder with everything below it into a local folder, one
// listing pass per folder; each file is opened straight from its slot, so a
// large folder costs no searches. What cannot be copied is reported and the
// rest still goes; a folder looping back up the volume's tree stops it all,
// since everything past it would be copies of what is already there.
class FolderExport {
public:
    explicit FolderExport(fat::Volume& volume) : volume_(volume) {}

    // `chosen`: target is the destination as the user named it, and may be a
    // link; a folder made inside it is not, and nothing below it is followed.
    bool Run(const std::string& source, const fs::path& target, bool chosen) {
        std::uint32_t start = 0;
        const fat::Result found = VolumeFolderStart(volume_, source, &start);
        if (found != fat::Result::Ok) {
            CliFail("cannot read folder " + source, found);
            return false;
        }
        trail_.EnterAbove(volume_, source);
        if (!chosen && LinkInTheWay(target)) return false;
        Folder(source, start, target);
        return complete_;
    }

private:
    // A link below the destination could lead anywhere on this computer:
    // never written through, as put never follows one into a folder.
    bool LinkInTheWay(const fs::path& local) {
        if (!IsSymbolicLink(local)) return false;
        CliFail("skipped symbolic link " + local.string() + " (get never writes through a link inside its destination)");
        complete_ = false;
        return true;
    }

    void Folder(const std::string& source, std::uint32_t start, const fs::path& target) {
        std::string earlier;
        // Checked before the local folder is made: a loop adds nothing.
        if (!trail_.Enter(source, start, &earlier)) {
            CliFail(source + " loops back to " + earlier +
                    ": the volume's folder tree is damaged; the copy stopped there");
            complete_ = false;
            stopped_ = true;
            return;
        }
        Contents(source, target);
        trail_.Leave(start);
    }

    void Contents(const std::string& source, const fs::path& target) {
        std::error_code error;
        if (!fs::is_directory(target, error) && !fs::create_directory(target, error)) {
            CliFail("cannot create folder " + target.string() + (error ? ": " + error.message() : ""));
            complete_ = false;
            return;
        }
        std::vector<VolumeChild> children;
        const fat::Result listed = ListVolumeChildren(volume_, source, &children);
        if (listed != fat::Result::Ok) {
            CliFail("cannot read folder " + source, listed);
            complete_ = false;
            return;
        }
        LocalFolderNames names;
        for (const VolumeChild& child : children) {
            if (stopped_) return;
            const fs::path local = target / names.Take(child.name);
            if (LinkInTheWay(local)) continue;
            const std::string path = JoinVolumePath(source, child.name);
            if (child.is_directory && child.name.find('/') != std::string::npos) {
                // The engine finds folders by path, and this name would
                // lead it to another folder than the one listed.
                CliFail("skipped " + path + ": a folder whose name holds a \"/\" cannot be read by its name");
                complete_ = false;
            } else if (child.is_directory) {
                Folder(path, child.first_cluster, local);
            } else if (!File(child, path, local)) {
                complete_ = false;
            }
        }
    }

    bool File(const VolumeChild& child, const std::string& path, const fs::path& local) {
        FatFile* opened = nullptr;
        const fat::Result result = volume_.OpenListed(child.location, &opened);
        if (result != fat::Result::Ok) {
            CliFail("cannot open " + path, result);
            return false;
        }
        LocalDestination out;
        if (!out.Open(local, platform::InstalledImageFiles())) {
            volume_.Close(opened);
            return DestinationFailed(out);
        }
        return ExportOpened(volume_, opened, path, out);
    }

    fat::Volume& volume_;
    VolumeFolderTrail trail_;
    bool complete_ = true;
    bool stopped_ = false;
};

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// Refused before anything is written when the volume cannot hold the old
// file and the new one at once.
bool RoomToReplace(fat::Volume& volume, const std::string& target, const FatEntryInfo& old,
                   std::uint64_t new_size) {
    const ReplaceRoom room = CheckReplaceRoom(volume, old.size, new_size);
    if (room.fits) return true;
    const std::string sizes = "needs " + Mebibytes(room.needed_bytes) + ", " + Mebibytes(room.free_bytes) + " free";
    if (room.fits_without_old)
        CliFail("the volume is too full to keep the old " + target + " while the new one is written (" + sizes +
                "); remove it first to put the new one");
    else
        CliFail("the volume is too full for " + target + " (" + sizes + "); the old file was kept");
    return false;
}

// Writes one local file into a volume folder, replacing a file of the same name.
// The disk image the volume lives on changes while it is copied into
// itself: no whole copy could come of it.
bool IsVolumeImage(const fs::path& local, const platform::LocalFileFacts& facts,
                   const std::vector<platform::LocalFileFacts>& images) {
    for (const platform::LocalFileFacts& image : images) {
        if (!facts.SameFileAs(image)) continue;
        CliFail(local.string() + " is the disk image the volume lives on; it cannot be put into itself");
        return true;
    }
    return false;
}

// The disk images the volume lives on, looked at once for a whole import.
std::vector<platform::LocalFileFacts> ImageFacts() {
    std::vector<platform::LocalFileFacts> images;
    for (const std::string& image : platform::InstalledImageFiles()) {
        platform::LocalFileFacts facts{};
        if (platform::ReadLocalFileFacts(image, &facts)) images.push_back(facts);
    }
    return images;
}

// One look at the local file gives its size, time and identity.
bool ImportFile(fat::Volume& volume, const fs::path& local, const std::string& volume_dir,
                const std::vector<platform::LocalFileFacts>& images) {
    platform::LocalFileFacts facts{};
    if (!platform::ReadLocalFileFacts(local.string(), &facts)) {
        CliFail("cannot read " + local.string());
        return false;
    }
    if (!CliNewNameAllowed(local.filename().string()) || IsVolumeImage(local, facts, images)) return false;
    const std::string target = JoinVolumePath(volume_dir, local.filename().string());
    if (IsVolumeFolder(volume, target)) {
        CliFail(target + " exists on the volume as a folder");
        return false;
    }
    std::ifstream in(local, std::ios::binary);
    if (!in) {
        CliFail("cannot read " + local.string());
        return false;
    }
    FatEntryInfo old{};
    const bool replacing = volume.Lookup(target, &old) == fat::Result::Ok;
    if (replacing && !RoomToReplace(volume, target, old, facts.size)) return false;
    const std::string stamp = StampFromSeconds(facts.modified);
    FatFile* opened = nullptr;
    const fat::Result open_result = volume.OpenForWriting(target, stamp.empty() ? nullptr : stamp.c_str(), &opened);
    if (open_result != fat::Result::Ok) {
        CliFail("cannot create " + target + " on the volume", open_result);
        return false;
    }
    OpenVolumeFile file(opened, CloseFile{&volume});
    std::uint8_t* buffer = TransferBuffer();
    fat::Result write_result = fat::Result::Ok;
    while (in && write_result == fat::Result::Ok) {
        in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(kChunkBytes));
        const auto got = static_cast<std::uint32_t>(in.gcount());
        if (got == 0) break;
        std::uint32_t done = 0;
        write_result = volume.Write(file.get(), buffer, got, &done);
    }
    const bool read_all = in.eof();
    // Data, FAT and the entry's size must be handed to the engine before the
    // file counts as written (the put's batch then writes them back); the
    // close that follows cannot say so.
    if (write_result == fat::Result::Ok && read_all) write_result = volume.Flush(file.get());
    if (write_result == fat::Result::Ok && read_all) return true;
    // A half-written file is worse than none: a new one goes, a replaced
    // one keeps its old content.
    volume.Abandon(file.release());
    const std::string outcome = replacing ? "the old " + target + " was kept" : target + " was not imported";
    if (write_result == fat::Result::Ok)
        CliFail("cannot read " + local.string() + "; " + outcome);
    else
        CliFail("cannot write " + target + " (" + fat::ResultText(write_result) + "); " + outcome);
    return false;
}

// The volume folder a local folder goes to, made when it is missing; nothing
// (the message printed) when that cannot be.
std::optional<std::string> PrepareFolder(fat::Volume& volume, const fs::path& local,
                                         const std::string& volume_dir) {
    if (!CliNewNameAllowed(local.filename().string())) return std::nullopt;
    std::string target = JoinVolumePath(volume_dir, local.filename().string());
    if (!VolumeEntryExists(volume, target)) {
        const std::string stamp = LocalStamp(local);
        const fat::Result made = volume.MakeDirectory(target, stamp.empty() ? nullptr : stamp.c_str());
        if (made != fat::Result::Ok) {
            CliFail("cannot create folder " + target + " on the volume", made);
            return std::nullopt;
        }
    } else if (!IsVolumeFolder(volume, target)) {
        CliFail(target + " exists on the volume as a file");
        return std::nullopt;
    }
    return target;
}

// Mirrors the local walk on the volume: each folder entered becomes the
// volume folder that what follows goes into.
class VolumeImport : public LocalTreeVisitor {
public:
    VolumeImport(fat::Volume& volume, const std::string& volume_dir)
        : volume_(volume), folders_{volume_dir}, images_(ImageFacts()) {}

    bool EnterFolder(const fs::path& folder) override {
        std::optional<std::string> target = PrepareFolder(volume_, folder, folders_.back());
        if (!target) return false;
        folders_.push_back(std::move(*target));
        return true;
    }
    void LeaveFolder() override { folders_.pop_back(); }
    bool File(const fs::path& file) override { return ImportFile(volume_, file, folders_.back(), images_); }
    void Skipped(const std::string& what, const fs::path& path, const char* reason) override {
        std::cerr << "quillon-cli: skipped " << what << path.string() << " (" << reason << ")\n";
    }
    void Failed(const std::string& message) override { CliFail(message); }

private:
    fat::Volume& volume_;
    std::vector<std::string> folders_;
    std::vector<platform::LocalFileFacts> images_;
};

// A tree of many small files costs a few writes for all of them, not
// several for each; nothing counts as imported until the batch is written.
// What reached the volume before a failure stays there, as without a batch.
bool ImportInOneBatch(fat::Volume& volume, const fs::path& local, const std::string& volume_dir) {
    volume.BeginBatch();
    VolumeImport import(volume, volume_dir);
    const bool walked = WalkLocalTree(local, import);
    const fat::Result written = volume.EndBatch();
    if (written != fat::Result::Ok) {
        CliFail("cannot write what was imported to the volume", written);
        return false;
    }
    return walked;
}

}  // namespace

int RunGet(CliContext& context) {
    if (context.args.size() != 2) return CliUsage("get needs PATH and DEST");
    const std::string source = NormalVolumePath(context.args[0]);
    const std::string& destination = context.args[1];
    const bool to_standard_output = destination == kStandardOutputName;
    // Under --json standard output is for JSON alone, not a file's bytes.
    if (to_standard_output && context.options.json)
        return CliUsage("get to standard output (-) cannot go with --json: name a local file instead");
    if (!CliMountVolume(context)) return kExitFailed;
    fat::Volume& volume = *context.volume;
    const bool folder = source == "/" || IsVolumeFolder(volume, source);
    if (folder && to_standard_output) return CliFail(source + " is a folder; it cannot go to standard output");
    // As cp -r: into DEST/NAME when DEST is a folder already, else as DEST.
    const std::string target =
        to_standard_output ? destination : LocalTargetOf(source == "/" ? "/volume" : source, destination).string();
    bool copied = false;
    if (folder) {
        FolderExport copy(volume);
        copied = copy.Run(source, target, target == destination);
    } else {
        copied = ExportFile(volume, source, target);
    }
    if (!copied) return kExitFailed;
    if (context.options.json) CliPrintJson({{"copied", source}, {"to", target}});
    return kExitOk;
}

int RunPut(CliContext& context) {
    if (context.args.empty() || context.args.size() > 2) return CliUsage("put needs LOCAL and an optional DIR");
    fs::path local = context.args[0];
    const std::string volume_dir = NormalVolumePath(context.args.size() == 2 ? context.args[1] : "/");
    std::error_code error;
    if (!fs::exists(local, error)) return CliFail("no such file or folder: " + local.string());
    // "folder/" names the folder itself, not an empty last component.
    if (!local.has_filename()) local = local.parent_path();
    if (!CliMountVolume(context)) return kExitFailed;
    if (!IsVolumeFolder(*context.volume, volume_dir)) return CliFail("no such folder on the volume: " + volume_dir);
    if (!ImportInOneBatch(*context.volume, local, volume_dir)) return kExitFailed;
    if (context.options.json) CliPrintJson({{"imported", local.string()}, {"into", volume_dir}});
    return kExitOk;
}
