#include "device/platform/linux/linux_platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "device/camera_layout.h"
#include "device/platform/drive_path.h"
#include "device/platform/file_device.h"
#include "device/platform/linux/windows_names.h"

namespace platform {
namespace {

using blockdev::BlockSnapshot;
using blockdev::WindowsDisk;
using blockdev::WindowsView;
using blockdev::WindowsVolume;

// Discovery asks dozens of questions in a row; one look at the devices
// answers them all, and a device plugged in meanwhile is seen at the next
// Start. The check before a write never uses it.
constexpr auto kViewLifetime = std::chrono::milliseconds(1000);
// A mount the user refused is not asked for again at once: one Start asks
// several questions of the volume, and each would bring up the prompt.
constexpr auto kRefusedMountMemory = std::chrono::seconds(10);

const char kDevicePrefix[] = "\\\\.\\";
const char kLockFileSuffix[] = ".lock";

// File systems mounted here are the computer's own: a disk that carries one
// is never written raw, whatever it claims to be.
const char* const kSystemMountPoints[] = {"/",     "/boot", "/boot/efi", "/efi", "/home", "/usr",
                                          "/var",  "/opt",  "/srv",      "/root", "/tmp", "/nix"};

void Say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// The letter of "\\.\X:", or 0.
char LetterOfVolumeName(const std::string& name) {
    const std::string prefix = kDevicePrefix;
    if (name.size() != prefix.size() + 2 || name.rfind(prefix, 0) != 0 || name.back() != ':') return 0;
    return DriveLetterOfPath(name.substr(prefix.size()));
}

// By the USB identity discovery matches, never by a number alone.
bool IsCameraSystemDisk(const WindowsDisk& disk) {
    return camera::IsCameraSystemDisk(disk.interface_path, disk.parent_instance);
}

// A name safe for a file: the interface path carries the camera's serial
// and LUN, so each camera disk has a lock of its own.
std::string LockFileName(const WindowsDisk& disk) {
    std::string name = disk.interface_path.empty() ? disk.sysname : disk.interface_path;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
    return name + kLockFileSuffix;
}

std::string DefaultLockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/quillon";
    return "/tmp/quillon-" + std::to_string(::getuid());
}

// The lock folder may lie in /tmp, where anyone could have made it first
// and planted links in it: it must be a real folder, this user's, that no
// one else may write to.
bool PrivateFolderReady(const std::string& folder) {
    ::mkdir(folder.c_str(), 0700);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::getuid() && (status.st_mode & 0077) == 0;
}

struct DevicesSeen {
    BlockSnapshot snapshot;
    WindowsView view;
};

// Why a raw write to the disk at `devnode` must not happen, or "".
std::string WriteRefusal(const DevicesSeen& seen, const std::string& devnode) {
    const WindowsDisk* disk = nullptr;
    for (const WindowsDisk& candidate : seen.view.disks)
        if (candidate.devnode == devnode) disk = &candidate;
    if (!disk) return devnode + " is no longer attached";
    if (!IsCameraSystemDisk(*disk)) return devnode + " is not the camera's system disk";
    for (const auto& filesystem : seen.snapshot.filesystems)
        if (filesystem.disk_sysname == disk->sysname && filesystem.mount_point &&
            IsSystemMountPoint(*filesystem.mount_point))
            return devnode + " holds " + *filesystem.mount_point + ", a file system of this computer";
    return {};
}

// A whole disk at 64-bit byte positions. Reads come from the medium: the
// pages of the range are dropped from the cache first (clean ones go; the
// writes of this process were synced when their device was flushed or
// closed), which needs neither aligned buffers nor special rights.
class RawDisk : public Device {
public:
    using WriteCheck = std::function<bool()>;
    RawDisk(udisks::FileDescriptor fd, WriteCheck may_write)
        : fd_(std::move(fd)), may_write_(std::move(may_write)) {}
    ~RawDisk() override {
        if (written_) ::fsync(fd_.Get());
    }

    bool Seek(std::uint64_t byte_position) override {
        if (byte_position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        position_ = byte_position;
        return true;
    }

    std::size_t Read(void* buffer, std::size_t length) override {
        DropCachedPages(length);
        return Transfer(length, [&](std::size_t done) {
            return ::pread(fd_.Get(), static_cast<char*>(buffer) + done, length - done,
                           static_cast<off_t>(position_ + done));
        });
    }

    std::size_t Write(const void* buffer, std::size_t length) override {
        if (!may_write_ || !may_write_()) return 0;
        written_ = true;
        return Transfer(length, [&](std::size_t done) {
            return ::pwrite(fd_.Get(), static_cast<const char*>(buffer) + done, length - done,
                            static_cast<off_t>(position_ + done));
        });
    }

    bool Flush() override { return ::fsync(fd_.Get()) == 0; }

    std::int64_t Size() override {
        std::uint64_t bytes = 0;
        if (::ioctl(fd_.Get(), BLKGETSIZE64, &bytes) == 0) return static_cast<std::int64_t>(bytes);
        const off_t end = ::lseek(fd_.Get(), 0, SEEK_END);
        return end < 0 ? -1 : static_cast<std::int64_t>(end);
    }

private:
    // The system drops only pages that lie wholly inside the range it is
    // given, so the range is widened to whole pages: a sector's read must
    // not be served by the page it shares with its neighbours.
    void DropCachedPages(std::size_t length) const {
        static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t first = position_ / page * page;
        const std::uint64_t end = (position_ + length + page - 1) / page * page;
        ::posix_fadvise(fd_.Get(), static_cast<off_t>(first), static_cast<off_t>(end - first), POSIX_FADV_DONTNEED);
    }

    template <typename Step>
    std::size_t Transfer(std::size_t length, Step step) {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t moved = step(done);
            if (moved < 0 && errno == EINTR) continue;
            if (moved <= 0) break;
            done += static_cast<std::size_t>(moved);
        }
        return done;
    }

    udisks::FileDescriptor fd_;
    WriteCheck may_write_;
    std::uint64_t position_ = 0;
    bool written_ = false;
};

class UdisksVolumeService : public VolumeService {
public:
    udisks::MountResult Mount(const std::string& device_node) override {
        if (!Connected()) return Unreachable<udisks::MountResult>();
        return client_->Mount(device_node);
    }
    udisks::Result Unmount(const std::string& device_node) override {
        if (!Connected()) return Unreachable<udisks::Result>();
        return client_->Unmount(device_node);
    }
    udisks::EjectResult Eject(const std::string& device_node) override {
        if (!Connected()) return Unreachable<udisks::EjectResult>();
        return client_->Eject(device_node);
    }
    udisks::OpenDeviceResult OpenDevice(const std::string& device_node, udisks::OpenMode mode) override {
        if (!Connected()) return Unreachable<udisks::OpenDeviceResult>();
        return client_->OpenDevice(device_node, mode);
    }
    bool Knows(const std::string& device_node) override {
        return Connected() && client_->Resolve(device_node).ok;
    }

private:
    // A failed connection is tried again at the next request: the service
    // may have been started meanwhile.
    bool Connected() {
        if (client_) return true;
        udisks::Connection connection = udisks::Client::Connect();
        client_ = std::move(connection.client);
        why_ = connection.message;
        return client_ != nullptr;
    }
    template <typename R>
    R Unreachable() const {
        R result;
        result.message = "udisks2 cannot be reached: " + why_;
        return result;
    }

    std::unique_ptr<udisks::Client> client_;
    std::string why_;
};

class LinuxPlatform : public Platform {
public:
    explicit LinuxPlatform(LinuxPlatformOptions options) : options_(std::move(options)) {
        if (!options_.read_devices) {
            const blockdev::SnapshotOptions snapshot_options = options_.snapshot;
            options_.read_devices = [snapshot_options](BlockSnapshot* snapshot, std::string* error) {
                return blockdev::ReadBlockDevices(snapshot_options, snapshot, error);
            };
        }
        if (!options_.volumes) options_.volumes = MakeUdisksVolumeService();
        if (options_.lock_folder.empty()) options_.lock_folder = DefaultLockFolder();
    }

    std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const DevicesSeen& seen = Seen();
        if (const char letter = LetterOfVolumeName(name))
            return blockdev::VolumeOfLetter(seen.view, letter) ? MakeQueryDevice() : nullptr;
        if (blockdev::DiskOfInterface(seen.view, name)) return MakeQueryDevice();
        const WindowsDisk* disk = DiskOfName(seen.view, name);
        if (!disk) return nullptr;
        if (access == DeviceAccess::Query) return MakeQueryDevice();
        return OpenRawDisk(seen, *disk, access);
    }

    bool DeviceNumber(const std::string& name, std::uint32_t* number) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsView& view = Seen().view;
        if (const char letter = LetterOfVolumeName(name)) {
            const WindowsVolume* volume = blockdev::VolumeOfLetter(view, letter);
            if (!volume) return false;
            *number = volume->device_number;
            return true;
        }
        const WindowsDisk* disk = blockdev::DiskOfInterface(view, name);
        if (!disk) disk = DiskOfName(view, name);
        if (!disk) return false;
        *number = disk->number;
        return true;
    }

    DriveType GetDriveType(const std::string& root) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsVolume* volume = VolumeOfRoot(root);
        return volume ? volume->type : DriveType::Unknown;
    }

    bool VolumeLabel(const std::string& root, std::string* label) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsVolume* volume = VolumeOfRoot(root);
        if (!volume || !volume->label) return false;
        *label = *volume->label;
        return true;
    }

    bool TotalBytes(const std::string& root, std::uint64_t* total) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsVolume* volume = VolumeOfRoot(root);
        if (!volume || !volume->total_bytes) return false;
        *total = *volume->total_bytes;
        return true;
    }

    bool FreeSpace(const std::string& root, DiskFreeSpace* space) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::string> mount_point = MountPointOf(root);
        struct statvfs file_system {};
        if (!mount_point || ::statvfs(mount_point->c_str(), &file_system) != 0) return false;
        *space = DiskFreeSpace{1, file_system.f_frsize, file_system.f_bavail};
        return true;
    }

    std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<DeviceInterface> found;
        // Optical drives are no disks here, and discovery never asks for them.
        if (interface_class != InterfaceClass::Disk) return found;
        for (const WindowsDisk& disk : Seen().view.disks) found.push_back({disk.interface_path, disk.parent_instance});
        return found;
    }

    bool ControlVolume(const std::string& volume_name, VolumeControl control) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsVolume* volume = blockdev::VolumeOfLetter(Seen().view, LetterOfVolumeName(volume_name));
        if (!volume) return false;
        const std::string devnode = volume->devnode;
        switch (control) {
            case VolumeControl::Lock: return SyncFileSystem(*volume);
            case VolumeControl::Dismount: return Unmount(devnode);
            case VolumeControl::Eject: return Eject(devnode);
        }
        return false;
    }

    std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::string> local = LocalPathOf(path);
        return local ? OpenLocalFile(*local, mode) : nullptr;
    }

    bool RemoveFile(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::string> local = LocalPathOf(path);
        return local && RemoveLocalFile(*local);
    }

    bool ReplaceFile(const std::string& from, const std::string& to) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::string> local_from = LocalPathOf(from);
        const std::optional<std::string> local_to = LocalPathOf(to);
        return local_from && local_to && ReplaceLocalFile(*local_from, *local_to);
    }

    // A lock file per camera disk rather than a lock on the node: opening
    // the node may need the user's consent, and a hold must not ask for it.
    DeviceHoldResult HoldDevice(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const WindowsDisk* disk = DiskOfName(Seen().view, name);
        if (!disk) return {};
        if (!PrivateFolderReady(options_.lock_folder)) {
            Say("quillon: " + options_.lock_folder + " is not a folder of this user's alone; the camera is not held");
            return {};
        }
        const std::string path = options_.lock_folder + "/" + LockFileName(*disk);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return {};
        ::close(fd);
        return HoldFile(path);
    }

    bool IsAdministrator() override {
        std::lock_guard<std::mutex> lock(mutex_);
        const DevicesSeen& seen = FreshlySeen();
        bool camera_attached = false;
        for (const WindowsDisk& disk : seen.view.disks) {
            if (!IsCameraSystemDisk(disk)) continue;
            camera_attached = true;
            if (::access(disk.devnode.c_str(), R_OK | W_OK) == 0 || options_.volumes->Knows(disk.devnode)) return true;
        }
        // Without a camera no right is missing yet; the run then fails for
        // the true reason, that no camera is found.
        return !camera_attached;
    }

    const char* MissingRightsTextKey() const override { return kLinuxMissingRightsTextKey; }

    void Pause(unsigned milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

private:
    const DevicesSeen& Seen() {
        const auto now = std::chrono::steady_clock::now();
        if (!seen_ || now - seen_at_ > kViewLifetime) return FreshlySeen();
        return *seen_;
    }

    const DevicesSeen& FreshlySeen() {
        DevicesSeen seen;
        std::string error;
        if (!options_.read_devices(&seen.snapshot, &error)) {
            if (error != last_error_) Say("quillon: cannot list this computer's disks: " + error);
            last_error_ = error;
            seen.snapshot = {};
        } else {
            last_error_.clear();
        }
        seen.view = blockdev::NameInWindowsForm(seen.snapshot);
        seen_ = std::move(seen);
        seen_at_ = std::chrono::steady_clock::now();
        ForgetMountsOfDetached();
        return *seen_;
    }

    void ForgetMountsOfDetached() {
        for (auto it = learned_mounts_.begin(); it != learned_mounts_.end();) {
            bool present = false;
            for (const WindowsVolume& volume : seen_->view.volumes) present = present || volume.devnode == it->first;
            it = present ? std::next(it) : learned_mounts_.erase(it);
        }
    }

    static const WindowsDisk* DiskOfName(const WindowsView& view, const std::string& name) {
        for (const WindowsDisk& disk : view.disks)
            if (disk.drive_name == name) return &disk;
        return nullptr;
    }

    const WindowsVolume* VolumeOfRoot(const std::string& root) {
        return blockdev::VolumeOfLetter(Seen().view, DriveLetterOfPath(root));
    }

    // Mounted through udisks2 when no one has mounted it yet, as a file
    // manager would on the first look inside.
    std::optional<std::string> MountPointOf(const std::string& root) {
        const WindowsVolume* volume = VolumeOfRoot(root);
        if (!volume) return std::nullopt;
        if (volume->mount_point) return volume->mount_point;
        if (auto learned = learned_mounts_.find(volume->devnode); learned != learned_mounts_.end())
            return learned->second;
        const std::string devnode = volume->devnode;
        const auto now = std::chrono::steady_clock::now();
        if (auto refused = refused_mounts_.find(devnode);
            refused != refused_mounts_.end() && now - refused->second < kRefusedMountMemory)
            return std::nullopt;
        const udisks::MountResult mounted = options_.volumes->Mount(devnode);
        if (!mounted.ok || mounted.mount_path.empty()) {
            Say("quillon: cannot mount " + devnode + ": " + mounted.message);
            if (mounted.not_authorized) refused_mounts_[devnode] = now;
            return std::nullopt;
        }
        refused_mounts_.erase(devnode);
        learned_mounts_[devnode] = mounted.mount_path;
        return mounted.mount_path;
    }

    std::optional<std::string> LocalPathOf(const std::string& path) {
        if (DriveLetterOfPath(path) == 0) return path;
        const std::optional<std::string> below = PathBelowDriveRoot(path);
        if (!below) return std::nullopt;
        const std::optional<std::string> mount_point = MountPointOf(path);
        if (!mount_point) return std::nullopt;
        return (std::filesystem::path(*mount_point) / *below).string();
    }

    // What the volume's file system still holds in memory goes to the
    // medium; a volume that is not mounted has nothing to write.
    bool SyncFileSystem(const WindowsVolume& volume) {
        std::optional<std::string> mount_point = volume.mount_point;
        if (auto learned = learned_mounts_.find(volume.devnode); !mount_point && learned != learned_mounts_.end())
            mount_point = learned->second;
        if (!mount_point) return true;
        const int fd = ::open(mount_point->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool synced = ::syncfs(fd) == 0;
        ::close(fd);
        return synced;
    }

    bool Unmount(const std::string& devnode) {
        const udisks::Result unmounted = options_.volumes->Unmount(devnode);
        if (!unmounted.ok) {
            Say("quillon: cannot unmount " + devnode + ": " + unmounted.message);
            return false;
        }
        learned_mounts_.erase(devnode);
        return true;
    }

    bool Eject(const std::string& devnode) {
        const udisks::EjectResult ejected = options_.volumes->Eject(devnode);
        if (!ejected.ok) Say("quillon: cannot eject " + devnode + ": " + ejected.message);
        return ejected.ok;
    }

    // Directly when this process may open the node (root, the "disk"
    // group); else udisks2 opens it, asking polkit. A write is refused
    // before either is tried when the disk may not be written at all, so
    // no one is asked for consent to something that will not happen.
    std::unique_ptr<Device> OpenRawDisk(const DevicesSeen& seen, const WindowsDisk& disk, DeviceAccess access) {
        const bool for_writing = access == DeviceAccess::ReadWrite;
        if (for_writing) {
            // Quietly: the drive lists of the sector tools ask every disk.
            if (!WriteRefusal(seen, disk.devnode).empty()) return nullptr;
        }
        udisks::FileDescriptor fd(::open(disk.devnode.c_str(), (for_writing ? O_RDWR : O_RDONLY) | O_CLOEXEC));
        if (!fd.Valid() && (errno == EACCES || errno == EPERM || errno == EROFS)) {
            udisks::OpenDeviceResult opened = options_.volumes->OpenDevice(
                disk.devnode, for_writing ? udisks::OpenMode::ReadWrite : udisks::OpenMode::Read);
            if (!opened.ok) {
                Say("quillon: cannot open " + disk.devnode + ": " + opened.message);
                return nullptr;
            }
            fd = std::move(opened.fd);
        }
        if (!fd.Valid()) return nullptr;
        RawDisk::WriteCheck check;
        // A device may outlive the platform that opened it (another one was
        // installed meanwhile); its writes are then refused, never checked
        // against a platform that is gone.
        if (for_writing)
            check = [alive = std::weak_ptr<LinuxPlatform*>(self_), devnode = disk.devnode] {
                const std::shared_ptr<LinuxPlatform*> platform = alive.lock();
                return platform && (*platform)->MayStillWrite(devnode);
            };
        return std::make_unique<RawDisk>(std::move(fd), std::move(check));
    }

    // Called from the device's writes, outside any call of the platform's.
    bool MayStillWrite(const std::string& devnode) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string refusal = WriteRefusal(FreshlySeen(), devnode);
        if (refusal.empty()) return true;
        Say("quillon: refused to write: " + refusal);
        return false;
    }

    LinuxPlatformOptions options_;
    std::shared_ptr<LinuxPlatform*> self_ = std::make_shared<LinuxPlatform*>(this);
    std::mutex mutex_;
    std::optional<DevicesSeen> seen_;
    std::chrono::steady_clock::time_point seen_at_;
    std::string last_error_;
    std::map<std::string, std::string> learned_mounts_;  // device node -> where udisks2 mounted it
    std::map<std::string, std::chrono::steady_clock::time_point> refused_mounts_;
};

}  // namespace

bool IsSystemMountPoint(const std::string& mount_point) {
    for (const char* system : kSystemMountPoints)
        if (mount_point == system) return true;
    return false;
}

std::unique_ptr<VolumeService> MakeUdisksVolumeService() { return std::make_unique<UdisksVolumeService>(); }

std::unique_ptr<Platform> MakeLinuxPlatform(LinuxPlatformOptions options) {
    return std::make_unique<LinuxPlatform>(std::move(options));
}

}  // namespace platform
