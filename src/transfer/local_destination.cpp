#include "transfer/local_destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "device/platform/file_device.h"

namespace fs = std::filesystem;

namespace {

// Enough tries to step past leftovers of earlier runs with the same id.
constexpr int kTemporaryNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as any new file
constexpr mode_t kPermissionBits = 07777;

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
    const std::string suffix = ".quillon-get-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    const std::string name = "." + CutOnCharacterBoundary(final_path.filename().string(),
                                                          kLongestFileName - suffix.size() - 1) + suffix;
    return final_path.parent_path() / name;
}

std::string SystemError() { return std::strerror(errno); }

}  // namespace

LocalDestination::~LocalDestination() { Discard(); }

void LocalDestination::OpenStandardOutput() { to_standard_output_ = true; }

bool LocalDestination::Open(const fs::path& target, const std::vector<std::string>& read_files) {
    return ResolveTarget(target, read_files) && CreateTemporary();
}

// Settles which file ends up replaced: a symbolic link is written through,
// as cp does, so the link stays and its target gets the copy.
bool LocalDestination::ResolveTarget(const fs::path& target, const std::vector<std::string>& read_files) {
    final_path_ = target;
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0) return true;  // a new file
    if (S_ISDIR(status.st_mode)) return Fail(DestinationProblem::IsFolder, target, "");
    if (!S_ISREG(status.st_mode)) return Fail(DestinationProblem::NotRegularFile, target, "");
    for (const std::string& read_file : read_files)
        if (platform::IsSameFile(target.string(), read_file))
            return Fail(DestinationProblem::ReadFile, target, read_file);
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        final_path_ = fs::canonical(target, error);
        if (error) return Fail(DestinationProblem::CannotFollowLink, target, error.message());
    }
    replaced_mode_ = status.st_mode & kPermissionBits;
    return true;
}

bool LocalDestination::CreateTemporary() {
    // Nothing to replace: the copy is made in place, in a file created for
    // it alone, which a failure removes again. One directory operation a
    // file instead of two counts when a folder of thousands is copied.
    if (!replaced_mode_) {
        const int fd = ::open(final_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0) {
            Adopt(final_path_, fd);
            in_place_ = true;
            return true;
        }
        if (errno != EEXIST) return Fail(DestinationProblem::CannotCreate, final_path_, SystemError());
    }
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const fs::path candidate = TemporaryNameBeside(final_path_, attempt);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0) {
            Adopt(candidate, fd);
            if (replaced_mode_) ::fchmod(fd_, static_cast<mode_t>(*replaced_mode_));
            return true;
        }
        if (errno != EEXIST) break;
    }
    return Fail(DestinationProblem::CannotCreate, final_path_, SystemError());
}

void LocalDestination::Adopt(const fs::path& path, int fd) {
    fd_ = fd;
    temporary_path_ = path;
    struct stat created {};
    if (::fstat(fd, &created) == 0) {
        created_device_ = created.st_dev;
        created_inode_ = created.st_ino;
    }
}

// Looked at without following links: a name that now holds a link, a
// device or another file was put there by someone else and is left alone.
bool LocalDestination::StillOwnFile(const fs::path& path) const {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == created_device_ &&
           now.st_ino == created_inode_;
}

bool LocalDestination::Write(const void* bytes, std::size_t length) {
    if (to_standard_output_) {
        if (std::fwrite(bytes, 1, length, stdout) == length) return true;
        return Fail(DestinationProblem::CannotWrite, "", "");
    }
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = ::write(fd_, next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return Fail(DestinationProblem::CannotWrite, final_path_, SystemError());
        next += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool LocalDestination::Commit() {
    if (to_standard_output_) {
        if (std::fflush(stdout) == 0) return true;
        return Fail(DestinationProblem::CannotWrite, "", "");
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || (!in_place_ && ::rename(temporary_path_.c_str(), final_path_.c_str()) != 0)) {
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
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_path_.empty() && StillOwnFile(temporary_path_)) ::unlink(temporary_path_.c_str());
    temporary_path_.clear();
}

bool LocalDestination::Fail(DestinationProblem problem, const fs::path& path, std::string detail) {
    failure_ = DestinationFailure{problem, path.string(), std::move(detail)};
    return false;
}
