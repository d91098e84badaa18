#include "device/platform/file_device.h"

// The Windows side; file_device.cpp has the POSIX one. Names arrive as
// UTF-8 and reach the wide calls through WideFileName, so names in any
// script and names longer than MAX_PATH open alike.
#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "device/platform/local_path.h"

namespace platform {
namespace {

// Other openers may read, write, rename and delete the file meanwhile, as
// they may on POSIX: the engine opens an image again for every run of
// sectors, and a replaced image must be renameable while a handle is cached.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One call moves at most this much: ReadFile and WriteFile count in DWORDs.
constexpr std::size_t kLargestTransfer = 1u << 30;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
// The seconds from 1601 (FILETIME's start) to 1970, and FILETIME's ticks.
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
// HoldFile locks one byte far past any file's end. Windows locks are
// mandatory, so a lock on data would stop this process's own transfers;
// a lock out there only stops a second holder, as an advisory lock does.
constexpr DWORD kHoldOffsetLow = 0xFFFFFFFE;
constexpr DWORD kHoldOffsetHigh = 0x7FFFFFFF;

// An open handle; closed when the last device using it is gone.
struct OpenHandle {
    explicit OpenHandle(HANDLE opened) : handle(opened) {}
    ~OpenHandle() { ::CloseHandle(handle); }
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;
    HANDLE handle;
};

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool folder = false;
};

bool IdentityOf(HANDLE handle, FileIdentity* identity, BY_HANDLE_FILE_INFORMATION* information) {
    if (!::GetFileInformationByHandle(handle, information)) return false;
    identity->device = information->dwVolumeSerialNumber;
    identity->index = (std::uint64_t{information->nFileIndexHigh} << 32) | information->nFileIndexLow;
    identity->folder = (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// Opens a name for the given access; folders open too (for their
// identity), the callers that need a file refuse them.
HANDLE OpenName(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0,
                DWORD share = kShareAll) {
    const std::wstring name = WideFileName(path);
    if (name.empty()) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(name.c_str(), access, share, nullptr, disposition,
                         flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::shared_ptr<OpenHandle> OpenFile(const std::string& path, DWORD access, DWORD disposition, FileIdentity* identity) {
    const HANDLE handle = OpenName(path, access, disposition);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto opened = std::make_shared<OpenHandle>(handle);
    BY_HANDLE_FILE_INFORMATION information{};
    // A disk or volume has no file identity; it opens all the same.
    if (IdentityOf(handle, identity, &information) && identity->folder) return nullptr;
    return opened;
}

// Whether writes may make a regular file longer: as on POSIX, an image has
// the fixed size of the disk it stands for.
enum class Growth { Fixed, Grows };

std::int64_t SizeOf(HANDLE handle) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle, &size)) return size.QuadPart;
    // A disk or volume opened by its device name.
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length), &returned,
                          nullptr) &&
        returned >= sizeof(length))
        return length.Length.QuadPart;
    return -1;
}

OVERLAPPED At(std::uint64_t position) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
}

class FileDevice : public Device {
public:
    FileDevice(std::shared_ptr<OpenHandle> handle, Growth growth)
        : handle_(std::move(handle)), end_limit_(EndLimit(handle_->handle, growth)) {}

    bool Seek(std::uint64_t byte_position) override {
        if (byte_position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        position_ = byte_position;
        return true;
    }

    // Positioned transfers, as pread and pwrite: devices sharing one cached
    // handle never move each other's file pointer.
    std::size_t Read(void* buffer, std::size_t length) override {
        return Transfer(length, [&](std::size_t done, DWORD chunk, DWORD* moved) {
            OVERLAPPED at = At(position_ + done);
            return ::ReadFile(handle_->handle, static_cast<char*>(buffer) + done, chunk, moved, &at) != 0;
        });
    }

    std::size_t Write(const void* buffer, std::size_t length) override {
        if (length > end_limit_ || position_ > end_limit_ - length) return 0;
        return Transfer(length, [&](std::size_t done, DWORD chunk, DWORD* moved) {
            OVERLAPPED at = At(position_ + done);
            return ::WriteFile(handle_->handle, static_cast<const char*>(buffer) + done, chunk, moved, &at) != 0;
        });
    }

    bool Flush() override { return ::FlushFileBuffers(handle_->handle) != 0; }

    std::int64_t Size() override { return SizeOf(handle_->handle); }

private:
    static std::uint64_t EndLimit(HANDLE handle, Growth growth) {
        if (growth == Growth::Grows) return kNoLimit;
        LARGE_INTEGER size{};
        return ::GetFileSizeEx(handle, &size) ? static_cast<std::uint64_t>(size.QuadPart) : kNoLimit;
    }

    // Loops over partial transfers so a short count means end of file or error.
    template <typename Step>
    std::size_t Transfer(std::size_t length, Step step) {
        std::size_t done = 0;
        while (done < length) {
            const DWORD chunk = static_cast<DWORD>(std::min(length - done, kLargestTransfer));
            DWORD moved = 0;
            if (!step(done, chunk, &moved) || moved == 0) break;
            done += std::min<std::size_t>(moved, chunk);
        }
        position_ += done;
        return done;
    }

    std::shared_ptr<OpenHandle> handle_;
    std::uint64_t end_limit_;
    std::uint64_t position_ = 0;
};

DWORD AccessOf(DeviceAccess access) {
    return access == DeviceAccess::ReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
}

std::unique_ptr<Device> OpenDevice(const std::string& path, DWORD access, DWORD disposition, Growth growth) {
    FileIdentity identity;
    auto handle = OpenFile(path, access, disposition, &identity);
    return handle ? std::make_unique<FileDevice>(std::move(handle), growth) : nullptr;
}

// The identity of what a name opens now, without holding it open.
bool IdentityOfName(const std::string& path, FileIdentity* identity, BY_HANDLE_FILE_INFORMATION* information,
                    DWORD flags = 0) {
    const HANDLE handle = OpenName(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, flags);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = IdentityOf(handle, identity, information);
    ::CloseHandle(handle);
    return known;
}

// A file removed while this process holds it open keeps its name until the
// last handle closes; it is gone all the same.
bool IsRemoved(HANDLE handle) {
    FILE_STANDARD_INFO information{};
    return ::GetFileInformationByHandleEx(handle, FileStandardInfo, &information, sizeof(information)) &&
           information.DeletePending;
}

std::int64_t UnixSeconds(const FILETIME& time) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
    return ticks / kFileTimeTicksPerSecond - kSecondsFrom1601To1970;
}

}  // namespace

struct ImageHandleCache::Entry {
    std::shared_ptr<OpenHandle> handle;
    FileIdentity identity;
};

ImageHandleCache::ImageHandleCache() = default;
ImageHandleCache::~ImageHandleCache() = default;

std::unique_ptr<Device> ImageHandleCache::Open(const std::string& path, DeviceAccess access) {
    FileIdentity now;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool identified = IdentityOfName(path, &now, &information);
    if (identified && now.folder) return nullptr;
    // A name without a file identity (a disk) is opened anew each time.
    if (!identified) return OpenDevice(path, AccessOf(access), OPEN_EXISTING, Growth::Fixed);
    const auto key = std::make_pair(path, access == DeviceAccess::ReadWrite);
    std::lock_guard<std::mutex> lock(mutex_);
    auto& entry = entries_[key];
    if (entry && IsRemoved(entry->handle->handle)) {
        entries_.erase(key);
        return nullptr;
    }
    if (!entry || entry->identity.device != now.device || entry->identity.index != now.index) {
        FileIdentity opened;
        auto handle = OpenFile(path, AccessOf(access), OPEN_EXISTING, &opened);
        if (!handle) {
            entries_.erase(key);
            return nullptr;
        }
        entry = std::make_shared<Entry>(Entry{std::move(handle), opened});
    }
    return std::make_unique<FileDevice>(entry->handle, Growth::Fixed);
}

std::unique_ptr<Device> OpenFileDevice(const std::string& path, DeviceAccess access) {
    return OpenDevice(path, AccessOf(access), OPEN_EXISTING, Growth::Fixed);
}

// Windows offers no way to drop cached pages of one file short of unbuffered
// handles, whose transfers must be sector-aligned; a cached read is still a
// read of the file.
std::unique_ptr<Device> OpenUncachedFileDevice(const std::string& path) {
    return OpenDevice(path, GENERIC_READ, OPEN_EXISTING, Growth::Fixed);
}

namespace {
class FileHold : public DeviceHold {
public:
    explicit FileHold(std::shared_ptr<OpenHandle> handle) : handle_(std::move(handle)) {}
    ~FileHold() override {
        OVERLAPPED at = At((std::uint64_t{kHoldOffsetHigh} << 32) | kHoldOffsetLow);
        ::UnlockFileEx(handle_->handle, 0, 1, 0, &at);
    }

private:
    std::shared_ptr<OpenHandle> handle_;
};
}  // namespace

// A handle of its own: a lock belongs to the handle that took it, and the
// cached image handles are shared by every transfer of this process.
DeviceHoldResult HoldFile(const std::string& path) {
    FileIdentity identity;
    auto handle = OpenFile(path, GENERIC_READ, OPEN_EXISTING, &identity);
    if (!handle) return {};
    OVERLAPPED at = At((std::uint64_t{kHoldOffsetHigh} << 32) | kHoldOffsetLow);
    if (!::LockFileEx(handle->handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = ::GetLastError();
        return {nullptr, error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING};
    }
    return {std::make_unique<FileHold>(std::move(handle)), false};
}

namespace {
bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }
}  // namespace

bool RemoveLocalFile(const std::string& path) {
    const std::wstring name = WideFileName(path);
    if (name.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return IsMissing(::GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    return ::DeleteFileW(name.c_str()) != 0 || IsMissing(::GetLastError());
}

// rename() on Windows refuses to replace an existing file; POSIX replaces it.
bool ReplaceLocalFile(const std::string& from, const std::string& to) {
    const std::wstring source = WideFileName(from);
    const std::wstring target = WideFileName(to);
    if (source.empty() || target.empty()) return false;
    return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::unique_ptr<Device> CreateFileDevice(const std::string& path) {
    return OpenDevice(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, Growth::Grows);
}

bool ReadLocalFileFacts(const std::string& path, LocalFileFacts* facts) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!IdentityOfName(path, &identity, &information)) return false;
    const std::uint64_t size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    *facts = LocalFileFacts{size, UnixSeconds(information.ftLastWriteTime), identity.device, identity.index};
    return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
    FileIdentity one, other;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!IdentityOfName(first, &one, &information) || !IdentityOfName(second, &other, &information)) return false;
    return one.device == other.device && one.index == other.index;
}

LocalStatus LookAtLocalPath(const std::string& path) {
    const HANDLE handle = OpenName(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return {};
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool identified = IdentityOf(handle, &identity, &information);
    const DWORD type = ::GetFileType(handle);
    ::CloseHandle(handle);
    if (identified && identity.folder) return {LocalKind::Folder, 0};
    // Disks and volumes are of the disk type too, but have no file identity.
    return {identified && type == FILE_TYPE_DISK ? LocalKind::RegularFile : LocalKind::Other, 0};
}

namespace {
class NewHandleFile : public NewLocalFile {
public:
    explicit NewHandleFile(HANDLE handle) : handle_(handle) {}
    ~NewHandleFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }

    bool Write(const void* bytes, std::size_t length) override {
        const char* next = static_cast<const char*>(bytes);
        while (length > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min(length, kLargestTransfer));
            DWORD written = 0;
            if (!::WriteFile(handle_, next, chunk, &written, nullptr) || written == 0) return false;
            next += written;
            length -= std::min<std::size_t>(written, length);
        }
        return true;
    }

    bool Close() override {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return ::CloseHandle(handle) != 0;
    }

private:
    HANDLE handle_;
};
}  // namespace

// Windows files carry no POSIX permission bits; a new file gets the folder's
// inherited access, as every new file there does. Others may read it while
// it is written, but not write, rename or remove it: its name holds this
// copy's file until it is closed.
NewLocalFileResult CreateNewLocalFile(const std::string& path, std::optional<unsigned>) {
    const HANDLE handle = OpenName(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, CREATE_NEW, 0, FILE_SHARE_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return {nullptr, error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS};
    }
    auto file = std::make_unique<NewHandleFile>(handle);
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information{};
    if (IdentityOf(handle, &identity, &information)) {
        file->device = identity.device;
        file->inode = identity.index;
    }
    return {std::move(file), false};
}

// The name itself, not what a link there points to.
bool IsLocalFileOf(const std::string& path, std::uint64_t device, std::uint64_t inode) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!IdentityOfName(path, &identity, &information, FILE_FLAG_OPEN_REPARSE_POINT)) return false;
    const bool link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return !link && !identity.folder && identity.device == device && identity.index == inode;
}

std::string LastFileErrorText() {
    const DWORD error = ::GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length && text ? std::wstring(text, length) : std::wstring();
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    if (message.empty()) return "system error " + std::to_string(error);
    return Utf8Name(std::filesystem::path(message));
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform

#endif  // _WIN32
