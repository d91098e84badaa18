// Child processes for the udisks client's tests: a private D-Bus daemon that
// stands in for the system bus, and the fake udisks2 service on it. Each is
// stopped when its object goes, and dies with the test if the test dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace udisks_test {

// How long a child may take to get ready, and to go when asked to.
constexpr std::chrono::milliseconds kStartTimeout{15000};
constexpr std::chrono::milliseconds kStopGrace{3000};

class ChildProcess {
public:
    // Runs argv[0] (a full path) with standard output into a pipe and
    // standard error into `stderr_path`; null (and `error` set) on failure.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, const std::string& stderr_path,
                                               std::string* error);
    // Asks the child to end, and kills it when it does not in time.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One line of the child's standard output, without its line end; empty
    // when none came within the time-out or the child closed its output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

private:
    ChildProcess(pid_t pid, int output) : pid_(pid), output_(output) {}

    pid_t pid_;
    int output_;
    std::string pending_;
};

// Why the tests cannot run here ("" when they can): the private bus and the
// fake service need dbus-daemon, and /usr/bin/python3 with dbus-python,
// GLib's bindings and dbusmock.
std::string MissingTools();

// Full path of a program found through PATH; "" when none.
std::string FindProgram(const std::string& name);

struct PrivateBus {
    std::unique_ptr<ChildProcess> daemon;
    std::string address;
};
// Starts dbus-daemon with the tests' configuration; `scratch` receives its
// diagnostics. Null daemon (and `error` set) on failure.
PrivateBus StartPrivateBus(const std::string& scratch, std::string* error);

struct FakeUdisksFiles {
    std::string device_file;  // what OpenDevice opens
    std::string calls;        // one JSON line per request
};
// Starts the fake udisks2 service on the bus and waits until it serves.
std::unique_ptr<ChildProcess> StartFakeUdisks(const std::string& bus_address, const std::string& scratch,
                                              const FakeUdisksFiles& files, const std::vector<std::string>& extra,
                                              std::string* error);

// Sets an environment variable for as long as it lives.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace udisks_test
