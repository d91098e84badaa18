#include "device/platform/linux/udisks_client.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <system_error>
#include <utility>

namespace platform::udisks {

namespace {

constexpr char kService[] = "org.freedesktop.UDisks2";
constexpr char kRootPath[] = "/org/freedesktop/UDisks2";
constexpr char kManagerPath[] = "/org/freedesktop/UDisks2/Manager";
constexpr char kManagerInterface[] = "org.freedesktop.UDisks2.Manager";
constexpr char kBlockInterface[] = "org.freedesktop.UDisks2.Block";
constexpr char kFilesystemInterface[] = "org.freedesktop.UDisks2.Filesystem";
constexpr char kDriveInterface[] = "org.freedesktop.UDisks2.Drive";
constexpr char kObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kNoUserInteractionKey[] = "auth.no_user_interaction";
// The object path udisks2 gives a block device that belongs to no drive.
constexpr char kNoObjectPath[] = "/";

constexpr std::string_view kNotAuthorizedPrefix = "org.freedesktop.UDisks2.Error.NotAuthorized";
constexpr std::string_view kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr std::string_view kInteractiveAuthorizationRequired =
    "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";
constexpr std::string_view kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
constexpr std::string_view kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";
constexpr std::string_view kAlreadyMounted = "org.freedesktop.UDisks2.Error.AlreadyMounted";
constexpr std::string_view kNotMounted = "org.freedesktop.UDisks2.Error.NotMounted";
// What a udisks2 older than ResolveDevice answers to it.
constexpr std::string_view kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr std::string_view kUnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
constexpr std::string_view kUnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";

// Descriptors 0 to 2 are left to the standard streams.
constexpr int kLowestDuplicateFd = 3;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
};

using AppendFn = std::function<int(sd_bus_message*)>;

std::string ErrnoText(int negative_errno) {
    return std::error_code(-negative_errno, std::generic_category()).message();
}

bool IsAuthorizationError(std::string_view name) {
    return name.starts_with(kNotAuthorizedPrefix) || name == kAccessDenied ||
           name == kInteractiveAuthorizationRequired;
}

bool IsServiceMissing(std::string_view name) { return name == kServiceUnknown || name == kNameHasNoOwner; }

bool IsUnknownMethod(std::string_view name) {
    return name == kUnknownMethod || name == kUnknownObject || name == kUnknownInterface;
}

// `what` names the request in the message ("mount /dev/sdb1").
void SetFailure(Result& result, const std::string& what, int r, const sd_bus_error& error) {
    result.ok = false;
    const std::string prefix = "udisks2: " + what + ": ";
    if (!sd_bus_error_is_set(&error)) {
        result.message = prefix + ErrnoText(r);
        return;
    }
    result.error_name = error.name;
    result.not_authorized = IsAuthorizationError(result.error_name);
    const std::string detail = std::string(error.message ? error.message : ErrnoText(r)) + " (" + error.name + ")";
    if (IsServiceMissing(result.error_name))
        result.message = prefix + "udisks2 is not available on the system bus: " + detail;
    else if (result.not_authorized)
        result.message = prefix + "not authorized: " + detail;
    else
        result.message = prefix + detail;
}

void SetFailure(Result& result, const std::string& what, const std::string& reason) {
    result.ok = false;
    result.message = "udisks2: " + what + ": " + reason;
}

// A failure while building a request or reading a reply, where no D-Bus
// error was involved.
void SetMessageFailure(Result& result, const std::string& what, int r) {
    SetFailure(result, what, "malformed request or reply: " + ErrnoText(r));
}

int AppendOptionValue(sd_bus_message* message, bool value) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, "b");
    if (r < 0) return r;
    const int as_int = value ? 1 : 0;
    r = sd_bus_message_append_basic(message, SD_BUS_TYPE_BOOLEAN, &as_int);
    if (r < 0) return r;
    return sd_bus_message_close_container(message);
}

int AppendOptionValue(sd_bus_message* message, std::int32_t value) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, "i");
    if (r < 0) return r;
    r = sd_bus_message_append_basic(message, SD_BUS_TYPE_INT32, &value);
    if (r < 0) return r;
    return sd_bus_message_close_container(message);
}

int AppendOptionValue(sd_bus_message* message, const std::string& value) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, "s");
    if (r < 0) return r;
    r = sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, value.c_str());
    if (r < 0) return r;
    return sd_bus_message_close_container(message);
}

// Appends an a{sv} dictionary.
int AppendOptions(sd_bus_message* message, const Options& options) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r < 0) return r;
    for (const Option& option : options) {
        r = sd_bus_message_open_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r < 0) return r;
        r = sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, option.key.c_str());
        if (r < 0) return r;
        r = std::visit([message](const auto& value) { return AppendOptionValue(message, value); }, option.value);
        if (r < 0) return r;
        r = sd_bus_message_close_container(message);
        if (r < 0) return r;
    }
    return sd_bus_message_close_container(message);
}

bool HasOption(const Options& options, std::string_view key) {
    for (const Option& option : options)
        if (option.key == key) return true;
    return false;
}

// The options with the user-interaction choice added, unless the caller
// made it already.
Options WithInteraction(const Options& options, bool user_interaction) {
    Options all = options;
    if (!HasOption(all, kNoUserInteractionKey)) all.push_back({kNoUserInteractionKey, !user_interaction});
    return all;
}

// Reads a byte array that udisks2 ends with a NUL (a path) as a string.
int ReadByteString(sd_bus_message* message, std::string* text) {
    const void* data = nullptr;
    std::size_t size = 0;
    const int r = sd_bus_message_read_array(message, SD_BUS_TYPE_BYTE, &data, &size);
    if (r < 0) return r;
    text->assign(static_cast<const char*>(data), size);
    while (!text->empty() && text->back() == '\0') text->pop_back();
    return 0;
}

// Reads an aay of paths, all of them.
int ReadByteStrings(sd_bus_message* message, std::vector<std::string>* texts) {
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "ay");
    if (r < 0) return r;
    while ((r = sd_bus_message_at_end(message, false)) == 0) {
        std::string text;
        r = ReadByteString(message, &text);
        if (r < 0) return r;
        texts->push_back(std::move(text));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
}

// Whether one Block interface's properties (an a{sv}, about to be entered)
// name the device node as its device, preferred device or one of its links.
int BlockPropertiesMatch(sd_bus_message* message, const std::string& device_node, bool* match) {
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* name = nullptr;
        r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &name);
        if (r < 0) return r;
        const std::string_view property = name;
        std::vector<std::string> paths;
        if (property == "Device" || property == "PreferredDevice") {
            r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "ay");
            if (r < 0) return r;
            std::string path;
            r = ReadByteString(message, &path);
            if (r < 0) return r;
            paths.push_back(std::move(path));
            r = sd_bus_message_exit_container(message);
        } else if (property == "Symlinks") {
            r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "aay");
            if (r < 0) return r;
            r = ReadByteStrings(message, &paths);
            if (r < 0) return r;
            r = sd_bus_message_exit_container(message);
        } else {
            r = sd_bus_message_skip(message, "v");
        }
        if (r < 0) return r;
        for (const std::string& path : paths)
            if (path == device_node) *match = true;
        r = sd_bus_message_exit_container(message);
        if (r < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
}

// Goes through one object's interfaces (an a{sa{sv}}, about to be entered).
int ObjectMatches(sd_bus_message* message, const std::string& device_node, bool* match) {
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
        const char* interface = nullptr;
        r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &interface);
        if (r < 0) return r;
        if (std::string_view(interface) == kBlockInterface)
            r = BlockPropertiesMatch(message, device_node, match);
        else
            r = sd_bus_message_skip(message, "a{sv}");
        if (r < 0) return r;
        r = sd_bus_message_exit_container(message);
        if (r < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
}

// Finds the block object of a device node in a GetManagedObjects reply;
// leaves `object_path` empty when none matches.
int FindBlockObject(sd_bus_message* reply, const std::string& device_node, std::string* object_path) {
    int r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        r = sd_bus_message_read_basic(reply, SD_BUS_TYPE_OBJECT_PATH, &path);
        if (r < 0) return r;
        bool match = false;
        r = ObjectMatches(reply, device_node, &match);
        if (r < 0) return r;
        if (match) {
            *object_path = path;
            return 0;
        }
        r = sd_bus_message_exit_container(reply);
        if (r < 0) return r;
    }
    return r;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::Release() { return std::exchange(fd_, -1); }

namespace {

std::string MillisecondsText(std::chrono::milliseconds duration) {
    return std::to_string(duration.count()) + " ms";
}

std::string TimeoutText(sd_bus* bus) {
    std::uint64_t usec = 0;
    if (sd_bus_get_method_call_timeout(bus, &usec) < 0) return "the time-out";
    return MillisecondsText(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(usec)));
}

// Sends one method call to udisks2 and waits for the reply within the
// connection's time-out. `append` adds the arguments; `reply` (may be null)
// receives the reply on success.
Result CallMethod(sd_bus* bus, const std::string& what, const std::string& path, const char* interface,
                  const char* member, bool user_interaction, const AppendFn& append, MessagePtr* reply) {
    Result result;
    sd_bus_message* raw_call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw_call, kService, path.c_str(), interface, member);
    MessagePtr call(raw_call);
    if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(call.get(), user_interaction);
    if (r >= 0 && append) r = append(call.get());
    if (r < 0) {
        SetMessageFailure(result, what, r);
        return result;
    }
    BusError error;
    sd_bus_message* raw_reply = nullptr;
    // A time-out of 0 stands for the connection's own.
    r = sd_bus_call(bus, call.get(), 0, &error.error, &raw_reply);
    MessagePtr owned_reply(raw_reply);
    if (r == -ETIMEDOUT) {
        SetFailure(result, what, "no answer within " + TimeoutText(bus));
        result.error_name = error.error.name ? error.error.name : "";
        return result;
    }
    if (r < 0) {
        SetFailure(result, what, r, error.error);
        return result;
    }
    if (reply) *reply = std::move(owned_reply);
    result.ok = true;
    return result;
}

// Reads one property; on success `reply` stands inside its variant, ready
// to read a value of `type`.
Result GetProperty(sd_bus* bus, const std::string& what, const std::string& path, const char* interface,
                   const char* name, const char* type, MessagePtr* reply) {
    Result result = CallMethod(
        bus, what, path, kPropertiesInterface, "Get", false,
        [&](sd_bus_message* call) { return sd_bus_message_append(call, "ss", interface, name); }, reply);
    if (!result.ok) return result;
    const int r = sd_bus_message_enter_container(reply->get(), SD_BUS_TYPE_VARIANT, type);
    if (r <= 0) SetFailure(result, what, std::string("the property ") + name + " has an unexpected type");
    return result;
}

// Opening a connection only starts it; the authentication and the greeting
// of the bus follow. sd-bus would wait far longer for those than for a
// reply, so wait for them here within the caller's time-out.
int WaitUntilReady(sd_bus* bus, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int r = sd_bus_is_ready(bus);
        if (r != 0) return r;
        r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (r > 0) continue;  // more to do at once
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return -ETIMEDOUT;
        r = sd_bus_wait(bus, static_cast<std::uint64_t>(
                                 std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
        if (r < 0) return r;
    }
}

}  // namespace

Connection Client::Connect(std::chrono::milliseconds timeout) {
    Connection connection;
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string where = address ? std::string("at ") + address : std::string("at its usual socket");
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        connection.message = "cannot connect to the system bus " + where + ": " + ErrnoText(r);
        return connection;
    }
    std::unique_ptr<Client> client(new Client(bus));
    client->SetTimeout(timeout);
    r = WaitUntilReady(bus, timeout);
    if (r < 0) {
        connection.message = "cannot connect to the system bus " + where + ": " +
                             (r == -ETIMEDOUT ? "no answer within " + MillisecondsText(timeout)
                                              : ErrnoText(r));
        return connection;
    }
    connection.client = std::move(client);
    return connection;
}

Client::Client(sd_bus* bus) : bus_(bus) {}

// Closed without flushing: every request waits for its reply, so nothing is
// left to send, and a peer that stopped reading cannot hold the close up.
Client::~Client() { sd_bus_close_unref(bus_); }

void Client::SetTimeout(std::chrono::milliseconds timeout) {
    // sd-bus takes 0 for its own default; the shortest bound is 1 ms.
    const auto bounded = std::max(timeout, std::chrono::milliseconds(1));
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(bounded).count();
    sd_bus_set_method_call_timeout(bus_, static_cast<std::uint64_t>(usec));
}

ResolveResult Client::Resolve(const std::string& device_node) {
    const std::string what = "find " + device_node;
    ResolveResult resolved;
    MessagePtr reply;
    Result call = CallMethod(
        bus_, what, kManagerPath, kManagerInterface, "ResolveDevice", false,
        [&](sd_bus_message* m) {
            int r = AppendOptions(m, {{"path", device_node}});
            return r < 0 ? r : AppendOptions(m, {});
        },
        &reply);
    if (!call.ok && IsUnknownMethod(call.error_name)) {
        // An older udisks2: look through all its objects instead.
        call = CallMethod(bus_, what, kRootPath, kObjectManagerInterface, "GetManagedObjects", false, nullptr,
                          &reply);
        if (call.ok) {
            const int r = FindBlockObject(reply.get(), device_node, &resolved.object_path);
            if (r < 0) SetMessageFailure(call, what, r);
        }
    } else if (call.ok) {
        int r = sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "o");
        const char* path = nullptr;
        if (r >= 0) r = sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_OBJECT_PATH, &path);
        if (r < 0) SetMessageFailure(call, what, r);
        if (r > 0) resolved.object_path = path;
    }
    static_cast<Result&>(resolved) = call;
    if (resolved.ok && resolved.object_path.empty())
        SetFailure(resolved, what, "udisks2 knows no block device by that name");
    return resolved;
}

MountResult Client::Mount(const std::string& device_node, const Options& options) {
    const std::string what = "mount " + device_node;
    MountResult mounted;
    const ResolveResult block = Resolve(device_node);
    if (!block.ok) {
        static_cast<Result&>(mounted) = block;
        return mounted;
    }
    const Options all = WithInteraction(options, user_interaction_);
    MessagePtr reply;
    Result call = CallMethod(
        bus_, what, block.object_path, kFilesystemInterface, "Mount", user_interaction_,
        [&](sd_bus_message* m) { return AppendOptions(m, all); }, &reply);
    if (call.ok) {
        const char* path = nullptr;
        const int r = sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_STRING, &path);
        if (r <= 0)
            SetMessageFailure(call, what, r < 0 ? r : -EBADMSG);
        else
            mounted.mount_path = path;
    } else if (call.error_name == kAlreadyMounted) {
        // Mounted already (by the desktop, most likely): where counts.
        call = GetProperty(bus_, what, block.object_path, kFilesystemInterface, "MountPoints", "aay", &reply);
        std::vector<std::string> mount_points;
        if (call.ok) {
            const int r = ReadByteStrings(reply.get(), &mount_points);
            if (r < 0) SetMessageFailure(call, what, r);
        }
        if (call.ok && mount_points.empty()) SetFailure(call, what, "mounted already, yet without a mount point");
        if (call.ok) {
            mounted.mount_path = mount_points.front();
            call.message = "udisks2: " + what + ": was mounted already";
        }
    }
    static_cast<Result&>(mounted) = call;
    return mounted;
}

Result Client::Unmount(const std::string& device_node, const Options& options) {
    const std::string what = "unmount " + device_node;
    const ResolveResult block = Resolve(device_node);
    if (!block.ok) return block;
    const Options all = WithInteraction(options, user_interaction_);
    Result call = CallMethod(
        bus_, what, block.object_path, kFilesystemInterface, "Unmount", user_interaction_,
        [&](sd_bus_message* m) { return AppendOptions(m, all); }, nullptr);
    if (!call.ok && call.error_name == kNotMounted) {
        // What the caller wanted holds already.
        call.ok = true;
        call.message = "udisks2: " + what + ": was not mounted";
    }
    return call;
}

EjectResult Client::Eject(const std::string& device_node, const Options& options) {
    EjectResult eject;
    const ResolveResult block = Resolve(device_node);
    if (!block.ok) {
        static_cast<Result&>(eject) = block;
        return eject;
    }
    const std::string what = "eject the drive of " + device_node;
    MessagePtr reply;
    Result call = GetProperty(bus_, what, block.object_path, kBlockInterface, "Drive", "o", &reply);
    const char* drive = nullptr;
    if (call.ok) {
        const int r = sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_OBJECT_PATH, &drive);
        if (r <= 0) SetMessageFailure(call, what, r < 0 ? r : -EBADMSG);
    }
    if (call.ok && std::string_view(drive) == kNoObjectPath) SetFailure(call, what, "the device belongs to no drive");
    if (!call.ok) {
        static_cast<Result&>(eject) = call;
        return eject;
    }
    const std::string drive_path = drive;
    const Options all = WithInteraction(options, user_interaction_);
    const AppendFn append_options = [&](sd_bus_message* m) { return AppendOptions(m, all); };

    call = CallMethod(bus_, what, drive_path, kDriveInterface, "Eject", user_interaction_, append_options, nullptr);
    eject.ejected = call.ok;
    if (call.ok) {
        const std::string power_off = "power off the drive of " + device_node;
        call = GetProperty(bus_, power_off, drive_path, kDriveInterface, "CanPowerOff", "b", &reply);
        int can_power_off = 0;
        if (call.ok) {
            const int r = sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_BOOLEAN, &can_power_off);
            if (r <= 0) SetMessageFailure(call, power_off, r < 0 ? r : -EBADMSG);
        }
        if (call.ok && can_power_off) {
            call = CallMethod(bus_, power_off, drive_path, kDriveInterface, "PowerOff", user_interaction_,
                              append_options, nullptr);
            eject.powered_off = call.ok;
        }
    }
    static_cast<Result&>(eject) = call;
    return eject;
}

OpenDeviceResult Client::OpenDevice(const std::string& device_node, OpenMode mode, const Options& options) {
    OpenDeviceResult opened;
    const ResolveResult block = Resolve(device_node);
    if (!block.ok) {
        static_cast<Result&>(opened) = block;
        return opened;
    }
    const char* mode_text = mode == OpenMode::ReadWrite ? "rw" : "r";
    const std::string what = std::string("open ") + device_node + " (" + mode_text + ")";
    const Options all = WithInteraction(options, user_interaction_);
    MessagePtr reply;
    Result call = CallMethod(
        bus_, what, block.object_path, kBlockInterface, "OpenDevice", user_interaction_,
        [&](sd_bus_message* m) {
            const int r = sd_bus_message_append_basic(m, SD_BUS_TYPE_STRING, mode_text);
            return r < 0 ? r : AppendOptions(m, all);
        },
        &reply);
    if (call.ok) {
        // The reply owns the descriptor it carries; ours must outlive it.
        int fd = -1;
        int r = sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_UNIX_FD, &fd);
        if (r <= 0) {
            SetMessageFailure(call, what, r < 0 ? r : -EBADMSG);
        } else {
            const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, kLowestDuplicateFd);
            if (kept < 0)
                SetFailure(call, what, "cannot keep the descriptor: " + ErrnoText(-errno));
            else
                opened.fd = FileDescriptor(kept);
        }
    }
    static_cast<Result&>(opened) = call;
    return opened;
}

}  // namespace platform::udisks
