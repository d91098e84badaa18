// The log of update runs: every run appends what it found and did, so that
// a failure reported by a user can be traced afterwards. A log that cannot
// be written costs the run nothing.
#pragma once

#include <mutex>
#include <string>

constexpr char kRunLogFileName[] = "quillon.log";

class RunLog {
public:
    // The log file in the user's state folder; empty when there is none.
    static std::string DefaultPath();

    // An empty path keeps no log.
    explicit RunLog(std::string path);

    // Appends one line with the time in front; a line end in `text` is
    // dropped. Safe from any thread.
    void Line(const std::string& text);
    // A line that is already a whole diagnostic line (with its line end).
    void Diagnostic(const std::string& line);

    // Where the log is, for the texts that point there; empty without one.
    const std::string& Path() const { return path_; }

private:
    std::mutex mutex_;
    std::string path_;
};
