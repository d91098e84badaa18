#include "bus_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace udisks_test {

namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr std::chrono::milliseconds kReapPoll{10};

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char* const* argv, int output, int error_fd, pid_t parent) {
    // Die with the test, even when it is killed before it can clean up.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null_input = open("/dev/null", O_RDONLY);
    if (null_input < 0 || dup2(null_input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(error_fd, STDERR_FILENO) < 0)
        _exit(127);
    execv(argv[0], argv);
    _exit(127);
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const std::string& stderr_path, std::string* error) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const int error_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int pipe_fds[2];
    if (error_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *error = "cannot set up the output of " + argv[0] + ": " + std::strerror(errno);
        if (error_fd >= 0) close(error_fd);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) ExecChild(args.data(), pipe_fds[1], error_fd, parent);
    close(pipe_fds[1]);
    close(error_fd);
    if (pid < 0) {
        *error = "cannot start " + argv[0] + ": " + std::strerror(errno);
        close(pipe_fds[0]);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, pipe_fds[0]));
}

ChildProcess::~ChildProcess() {
    close(output_);
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(kReapPoll);
    }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd ready{output_, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return std::nullopt;
        char buffer[256];
        const ssize_t got = read(output_, buffer, sizeof buffer);
        if (got <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string MissingTools() {
    static const std::string missing = [] {
        if (FindProgram("dbus-daemon").empty()) return std::string("dbus-daemon is not installed");
        if (access(kPython, X_OK) != 0) return std::string(kPython) + " is not installed";
        const auto check = testsupport::Run(std::string(kPython) +
                                            " -c 'import dbus, dbus.mainloop.glib, dbusmock; "
                                            "from gi.repository import GLib'");
        if (check.exit_code != 0)
            return std::string(kPython) + " lacks dbus-python, GLib's bindings or dbusmock: " + check.err;
        return std::string();
    }();
    return missing;
}

PrivateBus StartPrivateBus(const std::string& scratch, std::string* error) {
    PrivateBus bus;
    const std::string log = scratch + "/dbus-daemon.log";
    auto daemon = ChildProcess::Start({FindProgram("dbus-daemon"), "--config-file=" QUILLON_TEST_BUS_CONF,
                                       "--nofork", "--print-address=1"},
                                      log, error);
    if (!daemon) return bus;
    const auto address = daemon->ReadLine(kStartTimeout);
    if (!address || address->empty()) {
        *error = "dbus-daemon gave no address: " + ReadWholeFile(log);
        return bus;
    }
    bus.daemon = std::move(daemon);
    bus.address = *address;
    return bus;
}

std::unique_ptr<ChildProcess> StartFakeUdisks(const std::string& bus_address, const std::string& scratch,
                                              const FakeUdisksFiles& files, const std::vector<std::string>& extra,
                                              std::string* error) {
    const std::string log = scratch + "/fake_udisks.err";
    std::vector<std::string> argv = {kPython,         QUILLON_FAKE_UDISKS, "--address", bus_address,
                                     "--device-file", files.device_file,   "--calls",   files.calls,
                                     "--log",         scratch + "/fake_udisks.log"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto fake = ChildProcess::Start(argv, log, error);
    if (!fake) return nullptr;
    const auto line = fake->ReadLine(kStartTimeout);
    if (line != "ready") {
        *error = "the fake udisks2 service did not start: " + ReadWholeFile(log);
        return nullptr;
    }
    return fake;
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (previous_)
        setenv(name_.c_str(), previous_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

}  // namespace udisks_test
