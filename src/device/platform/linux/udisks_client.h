// A small client of the udisks2 service on the system bus, for what a
// desktop user may not do on a block device directly: mount and unmount its
// file system, eject and power off its drive, and open the raw device. Each
// request goes through polkit, which may ask the user to authenticate.
//
// Devices are named by their node ("/dev/sdb1"). Every operation returns a
// small result instead of throwing; a refusal by polkit is told apart from
// other failures, so the caller can say "not allowed" rather than "failed".
//
// Thread-safety: a Client is one bus connection and is not safe for
// concurrent use. Give each thread its own Client, or guard a shared one with
// a mutex; it may be handed from one thread to another between calls. It must
// not be used in a child after fork().
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct sd_bus;

namespace platform::udisks {

// The outcome of one request.
struct Result {
    bool ok = false;
    // polkit (or the bus) refused the caller; retrying without the user's
    // consent will not help.
    bool not_authorized = false;
    // What went wrong, for the user and the diagnostic output; empty on
    // success unless there is a remark (see Mount and Unmount).
    std::string message;
    // The D-Bus error name when the service answered with an error, so that
    // a caller can tell "busy" from other failures; empty otherwise.
    std::string error_name;
};

struct ResolveResult : Result {
    std::string object_path;  // the udisks2 object of the block device
};

struct MountResult : Result {
    std::string mount_path;  // where the file system is mounted
};

struct EjectResult : Result {
    bool ejected = false;      // the drive let go of its medium
    bool powered_off = false;  // the drive was also powered off
};

// Owns a file descriptor and closes it when it goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives up ownership; the caller closes the descriptor.
    int Release();

private:
    int fd_ = -1;
};

struct OpenDeviceResult : Result {
    FileDescriptor fd;  // valid when ok; close-on-exec
};

enum class OpenMode { Read, ReadWrite };

// One entry of the options dictionary (a{sv}) a request carries, such as
// {"force", true} for Unmount or {"fstype", "vfat"} for Mount.
struct Option {
    std::string key;
    std::variant<bool, std::int32_t, std::string> value;
};
using Options = std::vector<Option>;

class Client;

struct Connection {
    std::unique_ptr<Client> client;  // null when the bus could not be reached
    std::string message;             // why, when client is null
};

constexpr std::chrono::milliseconds kDefaultTimeout{25000};

class Client {
public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and
    // checks that the bus answers within the time-out.
    static Connection Connect(std::chrono::milliseconds timeout = kDefaultTimeout);

    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Bounds every later request. A request that may wait for the user to
    // authenticate needs a time-out long enough for that.
    void SetTimeout(std::chrono::milliseconds timeout);

    // Whether polkit may ask the user for consent (true at first). Sent as
    // "auth.no_user_interaction" with every request unless the request's
    // own options name that key.
    void SetUserInteraction(bool allowed) { user_interaction_ = allowed; }

    // The udisks2 block object of a device node.
    ResolveResult Resolve(const std::string& device_node);

    // Mounts the file system on the device. A file system that is mounted
    // already counts as success and gives its present mount path.
    MountResult Mount(const std::string& device_node, const Options& options = {});

    // Unmounts the file system on the device. One that is not mounted counts
    // as success (with a remark in the message).
    Result Unmount(const std::string& device_node, const Options& options = {});

    // Ejects the medium of the drive the device belongs to, then powers the
    // drive off where it can be, as "safely remove" does; ok only when every
    // step tried succeeded. Unmount the drive's file systems first.
    EjectResult Eject(const std::string& device_node, const Options& options = {});

    // Opens the device node through udisks2 (which checks the caller's
    // rights); the descriptor stays valid after the reply is gone.
    OpenDeviceResult OpenDevice(const std::string& device_node, OpenMode mode, const Options& options = {});

private:
    explicit Client(sd_bus* bus);

    sd_bus* bus_;
    bool user_interaction_ = true;
};

}  // namespace platform::udisks
