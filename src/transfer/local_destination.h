// Where a copy from the volume is written: a local file that is replaced
// only when the copy is complete, or standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class NewLocalFile;
}

// Why a destination was refused or could not be written, for the caller to
// word: path is the file concerned ("" for standard output), detail the
// system's reason or, for ReadFile, the disk image it is.
enum class DestinationProblem { None, IsFolder, NotRegularFile, ReadFile, CannotFollowLink, CannotCreate, CannotWrite };
struct DestinationFailure {
    DestinationProblem problem = DestinationProblem::None;
    std::string path;
    std::string detail;
};

// The copy goes to a temporary file beside the destination and is renamed
// into place by Commit, so a failed copy leaves an existing destination as it
// was. Without Commit the temporary file, and nothing else, is removed. A
// destination that does not exist yet is created for the copy alone and
// written in place; without Commit it is removed again. The
// destination is never opened for writing, so it cannot be truncated even
// when it is the very disk image being read; that and destinations that are
// not regular files (devices, pipes, folders) are refused up front.
class LocalDestination {
public:
    LocalDestination();
    ~LocalDestination();
    LocalDestination(const LocalDestination&) = delete;
    LocalDestination& operator=(const LocalDestination&) = delete;

    // Prepares to write target, refusing it when it is one of read_files
    // (the disk images being read). False with Failure() set.
    bool Open(const std::filesystem::path& target, const std::vector<std::string>& read_files);
    // Writes to standard output instead: nothing to replace, nothing to remove.
    void OpenStandardOutput();

    // False with Failure() set when the bytes could not be written.
    bool Write(const void* bytes, std::size_t length);
    // Puts the complete copy in place; false with Failure() set.
    bool Commit();
    // What the last call that returned false met.
    const DestinationFailure& Failure() const { return failure_; }

private:
    bool ResolveTarget(const std::filesystem::path& target, const std::vector<std::string>& read_files);
    bool CreateTemporary();
    // Takes the file just created at path as this copy's own.
    void Adopt(const std::filesystem::path& path, std::unique_ptr<platform::NewLocalFile> file);
    // Whether path still names the regular file this copy created.
    bool StillOwnFile(const std::filesystem::path& path) const;
    void Discard();
    bool Fail(DestinationProblem problem, const std::filesystem::path& path, std::string detail);

    std::filesystem::path final_path_;
    std::filesystem::path temporary_path_;
    // The permission bits of the file being replaced; a new file gets the
    // usual ones (0666 less the umask).
    std::optional<unsigned> replaced_mode_;
    std::unique_ptr<platform::NewLocalFile> file_;
    // The identity of the file this copy created, to know it again.
    std::uint64_t created_device_ = 0;
    std::uint64_t created_inode_ = 0;
    bool to_standard_output_ = false;
    bool in_place_ = false;  // a new destination, written where it ends up
    DestinationFailure failure_;
};
