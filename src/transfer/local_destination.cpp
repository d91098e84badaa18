#include "transfer/local_destination.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "device/platform/file_device.h"
#include "device/platform/local_path.h"

namespace fs = std::filesystem;

namespace {

// Enough tries to step past leftovers of earlier runs with the same id.
constexpr int kTemporaryNameAttempts = 100;

// Names of a folder entry stop at 255 bytes: the destination's own name is
// kept only as far as the suffix leaves room, cut on a character boundary.
constexpr std::size_t kLongestFileName = 255;

std::string CutOnCharacterBoundary(std::string text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    std::size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

fs::path TemporaryNameBeside(const fs::path& final_path, int attempt) {
    const std::string suffix =
        ".quillon-get-" + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(attempt);
    const std::string name = "." + CutOnCharacterBoundary(platform::Utf8Name(final_path.filename()),
                                                          kLongestFileName - suffix.size() - 1) + suffix;
    return final_path.parent_path() / platform::LocalPath(name);
}

std::string SystemError() { return platform::LastFileErrorText(); }

}  // namespace

LocalDestination::LocalDestination() = default;
LocalDestination::~LocalDestination() { Discard(); }

void LocalDestination::OpenStandardOutput() { to_standard_output_ = true; }

bool LocalDestination::Open(const fs::path& target, const std::vector<std::string>& read_files) {
    return ResolveTarget(target, read_files) && CreateTemporary();
}

// Settles which file ends up replaced: a symbolic link is written through,
// as cp does, so the link stays and its target gets the copy.
bool LocalDestination::ResolveTarget(const fs::path& target, const std::vector<std::string>& read_files) {
    final_path_ = target;
    const platform::LocalStatus status = platform::LookAtLocalPath(platform::Utf8Name(target));
    if (status.kind == platform::LocalKind::Missing) return true;  // a new file
    if (status.kind == platform::LocalKind::Folder) return Fail(DestinationProblem::IsFolder, target, "");
    if (status.kind != platform::LocalKind::RegularFile) return Fail(DestinationProblem::NotRegularFile, target, "");
    for (const std::string& read_file : read_files)
        if (platform::IsSameFile(platform::Utf8Name(target), read_file))
            return Fail(DestinationProblem::ReadFile, target, read_file);
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        final_path_ = fs::canonical(target, error);
        if (error) return Fail(DestinationProblem::CannotFollowLink, target, error.message());
    }
    replaced_mode_ = status.permissions;
    return true;
}

bool LocalDestination::CreateTemporary() {
    // Nothing to replace: the copy is made in place, in a file created for
    // it alone, which a failure removes again. One directory operation a
    // file instead of two counts when a folder of thousands is copied.
    if (!replaced_mode_) {
        platform::NewLocalFileResult made = platform::CreateNewLocalFile(platform::Utf8Name(final_path_), std::nullopt);
        if (made.file) {
            Adopt(final_path_, std::move(made.file));
            in_place_ = true;
            return true;
        }
        if (!made.name_taken) return Fail(DestinationProblem::CannotCreate, final_path_, SystemError());
    }
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const fs::path candidate = TemporaryNameBeside(final_path_, attempt);
        platform::NewLocalFileResult made = platform::CreateNewLocalFile(platform::Utf8Name(candidate), replaced_mode_);
        if (made.file) {
            Adopt(candidate, std::move(made.file));
            return true;
        }
        if (!made.name_taken) break;
    }
    return Fail(DestinationProblem::CannotCreate, final_path_, SystemError());
}

void LocalDestination::Adopt(const fs::path& path, std::unique_ptr<platform::NewLocalFile> file) {
    created_device_ = file->device;
    created_inode_ = file->inode;
    file_ = std::move(file);
    temporary_path_ = path;
}

// Looked at without following links: a name that now holds a link, a
// device or another file was put there by someone else and is left alone.
bool LocalDestination::StillOwnFile(const fs::path& path) const {
    return platform::IsLocalFileOf(platform::Utf8Name(path), created_device_, created_inode_);
}

bool LocalDestination::Write(const void* bytes, std::size_t length) {
    if (to_standard_output_) {
        if (std::fwrite(bytes, 1, length, stdout) == length) return true;
        return Fail(DestinationProblem::CannotWrite, "", "");
    }
    if (!file_ || !file_->Write(bytes, length))
        return Fail(DestinationProblem::CannotWrite, final_path_, SystemError());
    return true;
}

bool LocalDestination::Commit() {
    if (to_standard_output_) {
        if (std::fflush(stdout) == 0) return true;
        return Fail(DestinationProblem::CannotWrite, "", "");
    }
    const std::unique_ptr<platform::NewLocalFile> file = std::move(file_);
    if (!file || !file->Close() ||
        (!in_place_ && !platform::ReplaceLocalFile(platform::Utf8Name(temporary_path_), platform::Utf8Name(final_path_)))) {
        Fail(DestinationProblem::CannotWrite, final_path_, SystemError());
        Discard();
        return false;
    }
    temporary_path_.clear();
    return true;
}

// Only the file this copy created (a temporary one, or a new destination
// made for it) is ever removed.
void LocalDestination::Discard() {
    file_.reset();
    if (!temporary_path_.empty() && StillOwnFile(temporary_path_))
        platform::RemoveLocalFile(platform::Utf8Name(temporary_path_));
    temporary_path_.clear();
}

bool LocalDestination::Fail(DestinationProblem problem, const fs::path& path, std::string detail) {
    failure_ = DestinationFailure{problem, platform::Utf8Name(path), std::move(detail)};
    return false;
}
