#include "ui/explorer_commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>

#include "device/platform/file_device.h"
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

// The console copy's chunk: each one is a step of its caption. A multiple
// of the common cluster sizes, so whole clusters still pass straight through.
constexpr std::uint32_t kChunkBytes = 0x8000;
// The largest file a FAT entry's 32-bit size can describe.
constexpr std::uint64_t kLargestVolumeFile = 0xFFFFFFFFull;
constexpr std::uint64_t kPercent = 100;

constexpr char kNameErrorText[] =
    "A file name cannot contain any of the following characters: \r\n\t \\ / :  * ? \" < > | ";
constexpr char kNameErrorCharacters[] = "\\/:*?\"<>|";
constexpr char kSaveCompletedText[] = "Save completed";

// The names the user knows an entry by, quoted in every message.
std::string Quoted(const std::string& name) { return "'" + name + "'"; }

std::string CannotAddText(const std::string& name) { return "Can't add this file " + Quoted(name) + " into drive?"; }

std::string WriteErrorText(std::uint64_t written) {
    return "Write Error (" + std::to_string(written) + " bytes written)\n";
}

ExplorerResult Failure(std::string message, std::string entry) {
    return ExplorerResult{false, std::move(message), std::move(entry)};
}

// The root has no entry of its own; it is a folder at the volume's root cluster.
fat::Result LookUp(fat::Volume& volume, const std::string& path, FatEntryInfo* info) {
    if (path != "/") return volume.Lookup(path, info);
    fat::VolumeInfo geometry{};
    const fat::Result result = volume.Info(&geometry);
    *info = FatEntryInfo{};
    info->is_directory = 1;
    info->first_cluster = geometry.root_cluster;
    return result;
}

// The file the loop works on is closed however the loop leaves.
struct CloseFile {
    fat::Volume* volume;
    void operator()(FatFile* file) const { volume->Close(file); }
};
using OpenVolumeFile = std::unique_ptr<FatFile, CloseFile>;

// Counts one finished chunk; false when the user cancels.
class ProgressReport {
public:
    ProgressReport(const TransferControl& control, std::uint64_t total) : control_(control) { state_.total = total; }

    void StartFile(const std::string& entry, std::uint64_t size) {
        state_.entry = entry;
        state_.file_done = 0;
        state_.file_total = size;
    }
    bool Advance(std::uint64_t bytes) {
        state_.done += bytes;
        state_.file_done += bytes;
        return !control_.progress || control_.progress(state_);
    }

private:
    const TransferControl& control_;
    TransferProgress state_;
};

bool MayReplace(const TransferControl& control, const std::string& existing) {
    return control.replace && control.replace(existing);
}

// ---- Import ---------------------------------------------------------------

std::vector<platform::LocalFileFacts> FactsOf(const std::vector<std::string>& files) {
    std::vector<platform::LocalFileFacts> facts;
    for (const std::string& file : files) {
        platform::LocalFileFacts one{};
        if (platform::ReadLocalFileFacts(file, &one)) facts.push_back(one);
    }
    return facts;
}

// The first walk: what would be copied, refused as a whole before anything
// is written when one file cannot go onto a FAT volume at all.
class ImportSurvey : public LocalTreeVisitor {
public:
    explicit ImportSurvey(const TransferControl& control) : volume_files_(FactsOf(control.volume_files)) {}

    bool EnterFolder(const fs::path&) override { return true; }
    void LeaveFolder() override {}
    bool File(const fs::path& file) override {
        platform::LocalFileFacts facts{};
        const std::string name = file.filename().string();
        if (!platform::ReadLocalFileFacts(file.string(), &facts))
            return Refuse(CannotAddText(name) + "\nIt cannot be read.", file);
        if (facts.size > kLargestVolumeFile)
            return Refuse(CannotAddText(name) + "\nIt is 4 GiB or larger, more than a FAT volume can hold; " +
                              "nothing was imported.",
                          file);
        for (const platform::LocalFileFacts& volume_file : volume_files_)
            if (facts.SameFileAs(volume_file))
                return Refuse(CannotAddText(name) + "\nIt is the disk image the volume lives on.", file);
        bytes_ += facts.size;
        return true;
    }
    // The copying walk meets the same entries and reports them.
    void Skipped(const std::string&, const fs::path&, const char*) override {}
    void Failed(const std::string& message) override { refusal_ = Failure(message, ""); }

    std::uint64_t Bytes() const { return bytes_; }
    const ExplorerResult& Refusal() const { return refusal_; }

private:
    bool Refuse(std::string message, const fs::path& file) {
        refusal_ = Failure(std::move(message), file.string());
        return false;
    }

    std::vector<platform::LocalFileFacts> volume_files_;
    std::uint64_t bytes_ = 0;
    ExplorerResult refusal_;
};

// The second walk mirrors the local tree on the volume, each folder entered
// becoming the volume folder that what follows goes into.
class ImportCopy : public LocalTreeVisitor {
public:
    ImportCopy(fat::Volume& volume, const std::string& volume_folder, const TransferControl& control,
               std::uint64_t total)
        : volume_(volume), control_(control), progress_(control, total), folders_{volume_folder},
          buffer_(kChunkBytes) {}

    bool EnterFolder(const fs::path& folder) override {
        const std::string name = folder.filename().string();
        const std::string target = JoinVolumePath(folders_.back(), name);
        NoteTop(target);
        FatEntryInfo info{};
        if (volume_.Lookup(target, &info) == fat::Result::Ok) {
            if (!info.is_directory) return Fail(CannotAddText(name) + "\nA file of that name is in the way.", target);
        } else {
            const std::string stamp = LocalStamp(folder);
            const fat::Result made = volume_.MakeDirectory(target, stamp.empty() ? nullptr : stamp.c_str());
            if (made != fat::Result::Ok) return Fail(CannotAddText(name) + "\n" + fat::ResultText(made), target);
        }
        folders_.push_back(target);
        return true;
    }
    void LeaveFolder() override { folders_.pop_back(); }
    bool File(const fs::path& file) override {
        const std::string target = JoinVolumePath(folders_.back(), file.filename().string());
        NoteTop(target);
        return CopyFile(file, target);
    }
    void Skipped(const std::string& what, const fs::path& path, const char* reason) override {
        skipped_ += "\nSkipped " + what + path.string() + " (" + reason + ")";
    }
    void Failed(const std::string& message) override {
        if (result_.ok) result_ = Failure(message, "");
    }

    ExplorerResult Result() const {
        if (!result_.ok) return result_;
        if (top_.empty()) return Failure("Nothing was imported." + skipped_, "");
        // Declining every replace is the user's choice, not a failure, but
        // it must not read as if something was written.
        if (imported_ == 0 && !kept_.empty()) return ExplorerResult{true, "Nothing was imported." + kept_ + skipped_, top_};
        return ExplorerResult{true, "Imported " + Quoted(VolumeBaseName(top_)) + kept_ + skipped_, top_};
    }

private:
    void NoteTop(const std::string& target) {
        if (top_.empty()) top_ = target;
    }
    bool Fail(std::string message, const std::string& entry) {
        result_ = Failure(std::move(message), entry);
        return false;
    }

    // An existing file is replaced only when the user says so, and only when
    // the volume can hold the old and the new at once: the engine swaps them
    // when the new one is complete, so a failure keeps the old.
    bool CopyFile(const fs::path& local, const std::string& target) {
        const std::string name = local.filename().string();
        platform::LocalFileFacts facts{};
        if (!platform::ReadLocalFileFacts(local.string(), &facts))
            return Fail(CannotAddText(name) + "\nIt cannot be read.", local.string());
        FatEntryInfo old{};
        const bool exists = volume_.Lookup(target, &old) == fat::Result::Ok;
        if (exists && old.is_directory)
            return Fail(CannotAddText(name) + "\nA folder of that name is in the way.", target);
        if (exists && !MayReplace(control_, target)) {
            kept_ += "\nKept " + Quoted(target) + " as it was";
            progress_.StartFile(target, facts.size);
            return progress_.Advance(facts.size) || Cancelled(target);
        }
        ++imported_;
        if (exists && !CheckReplaceRoom(volume_, old.size, facts.size).fits)
            return Fail(CannotAddText(name) + "\nThe volume is too full to keep the old file while the new one " +
                            "is written; the old file was kept.",
                        target);
        std::ifstream in(local, std::ios::binary);
        if (!in) return Fail(CannotAddText(name) + "\nIt cannot be read.", local.string());
        const std::string stamp = StampFromSeconds(facts.modified);
        FatFile* opened = nullptr;
        const fat::Result open = volume_.OpenForWriting(target, stamp.empty() ? nullptr : stamp.c_str(), &opened);
        if (open != fat::Result::Ok) return Fail(CannotAddText(name) + "\n" + fat::ResultText(open), target);
        progress_.StartFile(target, facts.size);
        return Stream(in, opened, target, exists);
    }

    // A file cut short is worse than none: a new one goes, a replaced one
    // keeps its old content.
    bool Stream(std::ifstream& in, FatFile* opened, const std::string& target, bool replacing) {
        OpenVolumeFile file(opened, CloseFile{&volume_});
        std::uint64_t written = 0;
        fat::Result result = fat::Result::Ok;
        while (result == fat::Result::Ok) {
            in.read(reinterpret_cast<char*>(buffer_.data()), kChunkBytes);
            const auto got = static_cast<std::uint32_t>(in.gcount());
            if (got == 0) break;
            std::uint32_t done = 0;
            result = volume_.Write(file.get(), buffer_.data(), got, &done);
            if (result == fat::Result::Ok && done != got) result = fat::Result::Io;
            if (result != fat::Result::Ok) break;
            written += got;
            if (!progress_.Advance(got)) {
                volume_.Abandon(file.release());
                return Cancelled(target);
            }
        }
        const bool read_all = in.eof();
        // Data, FAT and the entry's size reach the medium before the file
        // counts as written; the close that follows cannot say so.
        if (result == fat::Result::Ok && read_all) result = volume_.Flush(file.get());
        if (result == fat::Result::Ok && read_all) return true;
        volume_.Abandon(file.release());
        const std::string outcome = replacing ? "the old file was kept." : "the partly written file was removed.";
        const std::string reason =
            result == fat::Result::Ok ? "the local file could not be read" : fat::ResultText(result);
        return Fail(WriteErrorText(written) + Quoted(target) + ": " + reason + "; " + outcome, target);
    }

    bool Cancelled(const std::string& target) {
        return Fail("Import cancelled; " + Quoted(target) + " was not imported, what came before it stays.", target);
    }

    fat::Volume& volume_;
    const TransferControl& control_;
    ProgressReport progress_;
    std::vector<std::string> folders_;
    std::vector<std::uint8_t> buffer_;
    std::string top_;
    std::string skipped_;
    std::string kept_;        // files the user chose not to replace
    std::uint64_t imported_ = 0;  // files written, new or replaced
    ExplorerResult result_;
};

bool IsVolumeFolder(fat::Volume& volume, const std::string& path) {
    FatEntryInfo info{};
    return LookUp(volume, path, &info) == fat::Result::Ok && info.is_directory;
}

ExplorerResult ImportTree(fat::Volume& volume, fs::path local, const std::string& volume_folder,
                          const TransferControl& control) {
    const std::string folder = NormalVolumePath(volume_folder);
    if (!IsVolumeFolder(volume, folder)) return Failure("No such folder on the volume: " + folder, folder);
    // "photos/" names the folder itself, not an empty last component.
    if (!local.has_filename()) local = local.parent_path();
    ImportSurvey survey(control);
    if (!WalkLocalTree(local, survey)) return survey.Refusal();
    ImportCopy copy(volume, folder, control, survey.Bytes());
    WalkLocalTree(local, copy);
    return copy.Result();
}

// ---- Save -----------------------------------------------------------------

// What saving an entry needs of its listing record.
struct Listed {
    std::string path;
    std::string name;
    bool is_directory;
    std::uint32_t first_cluster;
    std::uint32_t size;
    FatEntryLocation location;
};

std::string DestinationText(const DestinationFailure& failure) {
    switch (failure.problem) {
        case DestinationProblem::IsFolder: return failure.path + " is a folder; nothing was saved.";
        case DestinationProblem::NotRegularFile: return failure.path + " is not a regular file; nothing was saved.";
        case DestinationProblem::ReadFile: return failure.path + " is the disk image the volume is read from.";
        case DestinationProblem::CannotFollowLink:
            return "Cannot follow the link " + failure.path + ": " + failure.detail;
        case DestinationProblem::CannotCreate: return "Cannot create " + failure.path + ": " + failure.detail;
        case DestinationProblem::CannotWrite:
        case DestinationProblem::None: break;
    }
    return "Cannot write " + failure.path + ": " + failure.detail + "; nothing was saved.";
}

// Copies volume entries out, file by file through LocalDestination, so a
// failed file leaves what was there before and removes only its own copy.
class SaveCopy {
public:
    SaveCopy(fat::Volume& volume, const TransferControl& control) : volume_(volume), control_(control) {}

    ExplorerResult Run(const std::string& source, const fs::path& target) {
        FatEntryInfo info{};
        const fat::Result found = LookUp(volume_, source, &info);
        if (found != fat::Result::Ok)
            return Failure("Cannot find " + source + " on the volume: " + fat::ResultText(found), source);
        const Listed top{source,    VolumeBaseName(source), info.is_directory != 0, info.first_cluster,
                         info.size, info.location};
        // Measured first, so the progress has its total and a damaged tree
        // is refused before anything is written.
        std::uint64_t total = top.size;
        if (top.is_directory) trail_.EnterAbove(volume_, source);
        if (top.is_directory && !Measure(top, &total)) return result_;
        progress_ = std::make_unique<ProgressReport>(control_, total);
        if (!Save(top, target, false)) return result_;
        return ExplorerResult{true, kSaveCompletedText, target.string()};
    }

private:
    bool Fail(std::string message, const std::string& entry) {
        result_ = Failure(std::move(message), entry);
        return false;
    }

    // The folder's entries, "." and ".." left out. A folder that starts
    // where one of the folders above it starts leads back up the tree on a
    // damaged volume and is refused.
    bool ReadFolder(const Listed& folder, std::vector<Listed>* children) {
        if (!trail_.Enter(folder.path, folder.first_cluster, nullptr))
            return Fail(folder.path + " loops back to a folder above it: the volume's folder tree is damaged.",
                        folder.path);
        std::vector<VolumeChild> listed;
        const fat::Result result = ListVolumeChildren(volume_, folder.path, &listed);
        if (result != fat::Result::Ok)
            return Fail("Cannot read folder " + folder.path + ": " + fat::ResultText(result), folder.path);
        for (VolumeChild& child : listed) {
            std::string path = JoinVolumePath(folder.path, child.name);
            children->push_back(Listed{std::move(path), std::move(child.name), child.is_directory, child.first_cluster,
                                       child.size, child.location});
        }
        return true;
    }

    bool Measure(const Listed& folder, std::uint64_t* total) {
        std::vector<Listed> children;
        if (!ReadFolder(folder, &children)) return false;
        for (const Listed& child : children) {
            *total += child.size;
            if (child.is_directory && !Measure(child, total)) return false;
        }
        trail_.Leave(folder.first_cluster);
        return true;
    }

    // Below the chosen destination a link is never followed: it could lead
    // out of the folder being written.
    bool Save(const Listed& entry, const fs::path& target, bool nested) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(target, error);
        if (nested && fs::is_symlink(status))
            return Fail(target.string() + " is a symbolic link; nothing is saved through it.", target.string());
        return entry.is_directory ? SaveFolder(entry, target) : SaveFile(entry, target, nested);
    }

    bool SaveFolder(const Listed& folder, const fs::path& target) {
        std::error_code error;
        if (!fs::is_directory(target, error) && !fs::create_directory(target, error))
            return Fail("Cannot create folder " + target.string() + (error ? ": " + error.message() : ""),
                        target.string());
        std::vector<Listed> children;
        if (!ReadFolder(folder, &children)) return false;
        LocalFolderNames names;
        for (const Listed& child : children)
            if (!Save(child, target / names.Take(child.name), true)) return false;
        trail_.Leave(folder.first_cluster);
        return true;
    }

    bool SaveFile(const Listed& file, const fs::path& target, bool nested) {
        std::error_code error;
        if (fs::exists(target, error) && !fs::is_directory(target, error) && !MayReplace(control_, target.string())) {
            progress_->StartFile(file.path, file.size);
            return progress_->Advance(file.size) || Cancelled(file.path);
        }
        LocalDestination out;
        if (!out.Open(target, control_.volume_files)) return Fail(DestinationText(out.Failure()), target.string());
        FatFile* opened = nullptr;
        // A listed file is opened from its slot: a large folder costs no searches.
        const fat::Result open =
            nested ? volume_.OpenListed(file.location, &opened) : volume_.Open(file.path, "rb", &opened);
        if (open != fat::Result::Ok) return Fail("Cannot open " + file.path + ": " + fat::ResultText(open), file.path);
        progress_->StartFile(file.path, file.size);
        return Stream(OpenVolumeFile(opened, CloseFile{&volume_}), file, out);
    }

    // The size comes from the entry: a read that ends before it is a damaged
    // or failing volume, and the partial copy goes with the destination.
    bool Stream(OpenVolumeFile file, const Listed& listed, LocalDestination& out) {
        std::vector<std::uint8_t>& buffer = Buffer();
        std::uint64_t remaining = listed.size;
        while (remaining > 0) {
            const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kChunkBytes));
            std::uint32_t got = 0;
            const fat::Result read = volume_.Read(file.get(), buffer.data(), want, &got);
            if (read != fat::Result::Ok || got != want)
                return Fail("Cannot read " + listed.path + " from the volume (" +
                                fat::ResultText(read == fat::Result::Ok ? fat::Result::Damaged : read) +
                                "); nothing was saved.",
                            listed.path);
            if (!out.Write(buffer.data(), want)) return Fail(DestinationText(out.Failure()), listed.path);
            remaining -= want;
            if (!progress_->Advance(want)) return Cancelled(listed.path);
        }
        return out.Commit() || Fail(DestinationText(out.Failure()), listed.path);
    }

    std::vector<std::uint8_t>& Buffer() {
        if (buffer_.empty()) buffer_.resize(kChunkBytes);
        return buffer_;
    }

    bool Cancelled(const std::string& source) {
        return Fail("Save cancelled; " + Quoted(source) + " was not saved, what came before it stays.", source);
    }

    fat::Volume& volume_;
    const TransferControl& control_;
    std::unique_ptr<ProgressReport> progress_;
    VolumeFolderTrail trail_;
    std::vector<std::uint8_t> buffer_;
    ExplorerResult result_;
};

}  // namespace

std::string WrittenCaption(std::uint64_t done, std::uint64_t total) {
    // Split so that done * 100 never overflows, whatever the sizes.
    const std::uint64_t percent =
        total == 0 || done >= total ? kPercent : done / total * kPercent + done % total * kPercent / total;
    char caption[96];
    std::snprintf(caption, sizeof caption, "Written %" PRIu64 " of %" PRIu64 " (%" PRIu64 "%%)", done, total, percent);
    return caption;
}

std::string TransferProgress::Caption() const { return WrittenCaption(file_done, file_total); }

ExplorerResult ImportLocalFile(fat::Volume& volume, const fs::path& local, const std::string& volume_folder,
                               const TransferControl& control) {
    std::error_code error;
    if (fs::is_directory(local, error))
        return Failure(CannotAddText(local.filename().string()) + "\nIt is a folder.", local.string());
    return ImportTree(volume, local, volume_folder, control);
}

ExplorerResult ImportLocalFolder(fat::Volume& volume, const fs::path& local, const std::string& volume_folder,
                                 const TransferControl& control) {
    std::error_code error;
    if (!fs::is_directory(local, error))
        return Failure(CannotAddText(local.filename().string()) + "\nIt is not a folder.", local.string());
    return ImportTree(volume, local, volume_folder, control);
}

ExplorerResult ImportLocalPath(fat::Volume& volume, const fs::path& local, const std::string& volume_folder,
                               const TransferControl& control) {
    return ImportTree(volume, local, volume_folder, control);
}

ExplorerResult SaveVolumeEntry(fat::Volume& volume, const std::string& volume_path, const fs::path& local_folder,
                               const TransferControl& control) {
    const std::string source = NormalVolumePath(volume_path);
    const std::string name = source == "/" ? "volume" : VolumeBaseName(source);
    return SaveVolumeEntryAs(volume, source, local_folder / SafeLocalName(name), control);
}

ExplorerResult SaveVolumeEntryAs(fat::Volume& volume, const std::string& volume_path, const fs::path& local_path,
                                 const TransferControl& control) {
    SaveCopy copy(volume, control);
    return copy.Run(NormalVolumePath(volume_path), local_path);
}

ExplorerResult DeleteVolumeEntry(fat::Volume& volume, const std::string& volume_path) {
    const std::string path = NormalVolumePath(volume_path);
    const std::string name = Quoted(VolumeBaseName(path));
    if (path == "/") return Failure("The volume's root folder cannot be deleted.", path);
    FatEntryInfo info{};
    const fat::Result found = volume.Lookup(path, &info);
    if (found != fat::Result::Ok) return Failure("Cannot delete " + name + ": " + fat::ResultText(found), path);
    const fat::Result removed = volume.RemoveTree(path);
    if (removed == fat::Result::Ok) return ExplorerResult{true, "Deleted " + name, path};
    if (info.is_directory && removed == fat::Result::NotEmpty)
        return Failure("Cannot delete " + name + ": it holds hidden or system entries; nothing was deleted.", path);
    return Failure("Cannot delete " + name + ": " + fat::ResultText(removed), path);
}

std::string NewNameCharacterProblem(const std::string& new_name) {
    return new_name.find_first_of(kNameErrorCharacters) == std::string::npos ? "" : kNameErrorText;
}

ExplorerResult RenameVolumeEntry(fat::Volume& volume, const std::string& volume_path, const std::string& new_name) {
    const std::string path = NormalVolumePath(volume_path);
    const std::string old_name = VolumeBaseName(path);
    if (new_name.empty() || new_name == old_name) return ExplorerResult{true, "", path};
    if (const std::string problem = NewNameCharacterProblem(new_name); !problem.empty()) return Failure(problem, path);
    const fat::Result renamed = volume.Rename(path, new_name);
    if (renamed != fat::Result::Ok)
        return Failure(
            "Cannot rename " + Quoted(old_name) + " to " + Quoted(new_name) + ": " + fat::ResultText(renamed), path);
    const std::string parent = path.substr(0, path.rfind('/'));
    return ExplorerResult{true, "Renamed " + Quoted(old_name) + " to " + Quoted(new_name),
                          JoinVolumePath(parent.empty() ? "/" : parent, new_name)};
}
