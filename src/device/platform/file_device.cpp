#include "device/platform/file_device.h"

// The POSIX side; file_device_windows.cpp has the Windows one.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {
namespace {

// An open descriptor; closed when the last device using it is gone.
struct OpenDescriptor {
    explicit OpenDescriptor(int descriptor) : fd(descriptor) {}
    ~OpenDescriptor() { ::close(fd); }
    OpenDescriptor(const OpenDescriptor&) = delete;
    OpenDescriptor& operator=(const OpenDescriptor&) = delete;
    int fd;
};

// Whether writes may make a regular file longer. A disk has a fixed size,
// and so has the image that stands for one: a write past its end is a
// mistake (a wrong start sector, an empty or wrong file named as the image)
// that must fail rather than silently grow the file by megabytes.
enum class Growth { Fixed, Grows };

class FileDevice : public Device {
public:
    FileDevice(std::shared_ptr<OpenDescriptor> descriptor, Growth growth)
        : descriptor_(std::move(descriptor)), fd_(descriptor_->fd), end_limit_(EndLimit(fd_, growth)) {}

    bool Seek(std::uint64_t byte_position) override {
        if (byte_position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        position_ = byte_position;
        return true;
    }

    std::size_t Read(void* buffer, std::size_t length) override {
        return Transfer(length, [&](std::size_t done) {
            return ::pread(fd_, static_cast<char*>(buffer) + done, length - done,
                           static_cast<off_t>(position_ + done));
        });
    }

    std::size_t Write(const void* buffer, std::size_t length) override {
        if (length > end_limit_ || position_ > end_limit_ - length) return 0;
        return Transfer(length, [&](std::size_t done) {
            return ::pwrite(fd_, static_cast<const char*>(buffer) + done, length - done,
                            static_cast<off_t>(position_ + done));
        });
    }

    bool Flush() override { return ::fsync(fd_) == 0; }

    // lseek rather than fstat: block devices report their size only this way.
    std::int64_t Size() override {
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        return end < 0 ? -1 : static_cast<std::int64_t>(end);
    }

private:
    // Where writes must end. Block devices refuse writes past their end
    // themselves; only a file could grow. The size is taken once, when the
    // device opens, not at every write: an engine mount keeps its device
    // open for thousands of transfers.
    static std::uint64_t EndLimit(int fd, Growth growth) {
        constexpr std::uint64_t kNoLimit = UINT64_MAX;
        if (growth == Growth::Grows) return kNoLimit;
        struct stat status {};
        if (::fstat(fd, &status) != 0) return 0;
        return S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : kNoLimit;
    }

    // Loops over partial transfers so a short count means end of file or error.
    template <typename Step>
    std::size_t Transfer(std::size_t length, Step step) {
        std::size_t done = 0;
        while (done < length) {
            ssize_t moved = step(done);
            if (moved < 0 && errno == EINTR) continue;
            if (moved <= 0) break;
            done += static_cast<std::size_t>(moved);
        }
        position_ += done;
        return done;
    }

    std::shared_ptr<OpenDescriptor> descriptor_;
    int fd_;
    std::uint64_t end_limit_;
    std::uint64_t position_ = 0;
};

// Opens a file or disk; a folder opens for reading on POSIX, but it is no
// file or disk, so it is refused. *status describes what was opened.
std::shared_ptr<OpenDescriptor> OpenDescriptorOf(const std::string& path, int flags, struct stat* status) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    auto descriptor = std::make_shared<OpenDescriptor>(fd);
    if (::fstat(fd, status) != 0 || S_ISDIR(status->st_mode)) return nullptr;
    return descriptor;
}

std::unique_ptr<Device> OpenWithFlags(const std::string& path, int flags, Growth growth) {
    struct stat status {};
    auto descriptor = OpenDescriptorOf(path, flags, &status);
    return descriptor ? std::make_unique<FileDevice>(std::move(descriptor), growth) : nullptr;
}

int AccessFlags(DeviceAccess access) { return access == DeviceAccess::ReadWrite ? O_RDWR : O_RDONLY; }

}  // namespace

struct ImageHandleCache::Entry {
    std::shared_ptr<OpenDescriptor> descriptor;
    dev_t device;
    ino_t inode;
};

ImageHandleCache::ImageHandleCache() = default;
ImageHandleCache::~ImageHandleCache() = default;

std::unique_ptr<Device> ImageHandleCache::Open(const std::string& path, DeviceAccess access) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return nullptr;
    const auto key = std::make_pair(path, access == DeviceAccess::ReadWrite);
    std::lock_guard<std::mutex> lock(mutex_);
    auto& entry = entries_[key];
    if (!entry || entry->device != status.st_dev || entry->inode != status.st_ino) {
        struct stat opened {};
        auto descriptor = OpenDescriptorOf(path, AccessFlags(access), &opened);
        if (!descriptor) {
            entries_.erase(key);
            return nullptr;
        }
        entry = std::make_shared<Entry>(Entry{std::move(descriptor), opened.st_dev, opened.st_ino});
    }
    return std::make_unique<FileDevice>(entry->descriptor, Growth::Fixed);
}

std::unique_ptr<Device> OpenFileDevice(const std::string& path, DeviceAccess access) {
    return OpenWithFlags(path, AccessFlags(access), Growth::Fixed);
}

std::unique_ptr<Device> OpenUncachedFileDevice(const std::string& path) {
    struct stat status {};
    auto descriptor = OpenDescriptorOf(path, O_RDONLY, &status);
    if (!descriptor) return nullptr;
    // Written pages that reached the medium are clean, so the advice drops
    // them and the reads below go to the medium. Advice that is not taken
    // leaves a cached read, which is still a read of the file.
    ::posix_fadvise(descriptor->fd, 0, 0, POSIX_FADV_DONTNEED);
    return std::make_unique<FileDevice>(std::move(descriptor), Growth::Fixed);
}

namespace {
class FileHold : public DeviceHold {
public:
    explicit FileHold(std::shared_ptr<OpenDescriptor> descriptor) : descriptor_(std::move(descriptor)) {}
    ~FileHold() override { ::flock(descriptor_->fd, LOCK_UN); }

private:
    std::shared_ptr<OpenDescriptor> descriptor_;
};
}  // namespace

// A descriptor of its own: flock belongs to one open file, and the cached
// image handles are shared by every transfer of this process.
DeviceHoldResult HoldFile(const std::string& path) {
    struct stat status {};
    auto descriptor = OpenDescriptorOf(path, O_RDONLY, &status);
    if (!descriptor) return {};
    int locked;
    do {
        locked = ::flock(descriptor->fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return {nullptr, errno == EWOULDBLOCK};
    return {std::make_unique<FileHold>(std::move(descriptor)), false};
}

bool RemoveLocalFile(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
    if (S_ISDIR(status.st_mode)) return false;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool ReplaceLocalFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::unique_ptr<Device> CreateFileDevice(const std::string& path) {
    return OpenWithFlags(path, O_RDWR | O_CREAT | O_TRUNC, Growth::Grows);
}

bool ReadLocalFileFacts(const std::string& path, LocalFileFacts* facts) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    *facts = LocalFileFacts{static_cast<std::uint64_t>(status.st_size), static_cast<std::int64_t>(status.st_mtime),
                            static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
    struct stat one {}, other {};
    if (::stat(first.c_str(), &one) != 0 || ::stat(second.c_str(), &other) != 0) return false;
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

LocalStatus LookAtLocalPath(const std::string& path) {
    constexpr unsigned kPermissionBits = 07777;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return {};
    const LocalKind kind = S_ISDIR(status.st_mode)   ? LocalKind::Folder
                           : S_ISREG(status.st_mode) ? LocalKind::RegularFile
                                                     : LocalKind::Other;
    return {kind, static_cast<unsigned>(status.st_mode) & kPermissionBits};
}

namespace {
class NewDescriptorFile : public NewLocalFile {
public:
    explicit NewDescriptorFile(int fd) : fd_(fd) {}
    ~NewDescriptorFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Write(const void* bytes, std::size_t length) override {
        const char* next = static_cast<const char*>(bytes);
        while (length > 0) {
            const ssize_t written = ::write(fd_, next, length);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            next += written;
            length -= static_cast<std::size_t>(written);
        }
        return true;
    }

    bool Close() override {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};
}  // namespace

NewLocalFileResult CreateNewLocalFile(const std::string& path, std::optional<unsigned> permissions) {
    constexpr mode_t kNewFileMode = 0666;  // less the umask, as any new file
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd < 0) return {nullptr, errno == EEXIST};
    auto file = std::make_unique<NewDescriptorFile>(fd);
    struct stat created {};
    if (::fstat(fd, &created) == 0) {
        file->device = created.st_dev;
        file->inode = created.st_ino;
    }
    if (permissions) ::fchmod(fd, static_cast<mode_t>(*permissions));
    return {std::move(file), false};
}

bool IsLocalFileOf(const std::string& path, std::uint64_t device, std::uint64_t inode) {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == device && now.st_ino == inode;
}

std::string LastFileErrorText() { return std::strerror(errno); }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace platform

#endif  // _WIN32
