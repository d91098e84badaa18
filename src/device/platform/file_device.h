// Devices backed by local files, disk images and block devices. Every
// backend reaches local files through these, so they live beside the
// interface rather than in one backend.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "device/platform/platform.h"

namespace platform {

// Image files that stay open between transfers. The engine opens its device
// for every run of sectors; reopening an image each time cost more than the
// transfers themselves. A cached handle is used only while the path still
// names the same file, so an image made anew at the same path is opened anew.
class ImageHandleCache {
public:
    ImageHandleCache();
    ~ImageHandleCache();
    ImageHandleCache(const ImageHandleCache&) = delete;
    ImageHandleCache& operator=(const ImageHandleCache&) = delete;
    std::unique_ptr<Device> Open(const std::string& path, DeviceAccess access);

private:
    struct Entry;
    std::mutex mutex_;
    std::map<std::pair<std::string, bool>, std::shared_ptr<Entry>> entries_;
};

// Stands for an opened volume or device interface: it answers queries and
// control requests through the platform, but carries no data of its own.
std::unique_ptr<Device> MakeQueryDevice();

// Opens a regular file or block device as a Device; null when it does not
// open. Like a disk, it never grows: a write past the end of a regular file
// fails and leaves the file as it was.
std::unique_ptr<Device> OpenFileDevice(const std::string& path, DeviceAccess access);

// Opens a regular file for reading, past the page cache where the system
// allows: what was just written is read again from the medium.
std::unique_ptr<Device> OpenUncachedFileDevice(const std::string& path);

// The device's file open with an exclusive advisory lock, or busy when
// another holder has it.
DeviceHoldResult HoldFile(const std::string& path);

// Local files removed and renamed, for the backends that reach files by
// local paths. RemoveLocalFile is true when nothing is left at the path;
// it never removes a folder.
bool RemoveLocalFile(const std::string& path);
bool ReplaceLocalFile(const std::string& from, const std::string& to);

// A local file opened in one of the platform's file modes.
std::unique_ptr<Device> OpenLocalFile(const std::string& path, FileMode mode);

// Creates (or truncates) a regular file and opens it for reading and writing.
// Unlike an image, it grows as it is written.
std::unique_ptr<Device> CreateFileDevice(const std::string& path);

// Whether two paths name one file: the same device and inode, after symbolic
// links are followed, so hard links and links to it count as the file
// itself. False when either does not exist.
bool IsSameFile(const std::string& first, const std::string& second);

// What one look at a local file tells (links followed): enough to copy it
// and to tell it apart from another, without asking the system again.
struct LocalFileFacts {
    std::uint64_t size;
    std::int64_t modified;  // seconds since 1970, UTC
    std::uint64_t device;
    std::uint64_t inode;
    bool SameFileAs(const LocalFileFacts& other) const { return device == other.device && inode == other.inode; }
};
// False when the path does not exist or cannot be looked at.
bool ReadLocalFileFacts(const std::string& path, LocalFileFacts* facts);

// What a local path names, links followed, and its permission bits (the
// POSIX mode's; Windows has none and reports 0).
enum class LocalKind { Missing, Folder, RegularFile, Other };
struct LocalStatus {
    LocalKind kind = LocalKind::Missing;
    unsigned permissions = 0;
};
LocalStatus LookAtLocalPath(const std::string& path);

// A file made for one writer alone, written from its start to its end.
class NewLocalFile {
public:
    virtual ~NewLocalFile() = default;
    // False when not every byte was written.
    virtual bool Write(const void* bytes, std::size_t length) = 0;
    // False when the file system did not take the file whole; the file is
    // closed either way.
    virtual bool Close() = 0;
    // The file's identity as ReadLocalFileFacts gives it (device, inode).
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};
struct NewLocalFileResult {
    std::unique_ptr<NewLocalFile> file;
    bool name_taken = false;  // something already has the name
};
// Creates a file that did not exist, with the given permission bits (less
// the umask; the system's usual ones when none are given).
NewLocalFileResult CreateNewLocalFile(const std::string& path, std::optional<unsigned> permissions);

// Whether path itself (a link is not followed) is still the regular file of
// that identity, and not something put in its place.
bool IsLocalFileOf(const std::string& path, std::uint64_t device, std::uint64_t inode);

// The system's wording of the last failed local file call.
std::string LastFileErrorText();

// This process's id, to tell its temporary names from another's.
unsigned long CurrentProcessId();

}  // namespace platform
