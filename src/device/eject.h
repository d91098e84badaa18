// Locking, dismounting and ejecting the camera's user volume at the end of
// an update, so the camera can be unplugged and starts afresh.
#pragma once

#include <functional>
#include <string>

// Attempts each of the three steps up to kEjectAttempts times, pausing
// kEjectRetryPauseMs between attempts, and goes on to the next step even when
// one keeps failing. Reports the progress positions 94, 100 and 98 after the
// lock, dismount and eject steps. Diagnostic lines go to `line` (each with
// its line end), by default to standard output. A volume that does not open
// ends the call after its first line.
struct EjectOutcome {
    bool opened = false;
    bool locked = false;
    bool dismounted = false;
    bool ejected = false;
    // Only a volume the system has let go of may be unplugged without harm.
    bool SafeToUnplug() const { return ejected; }
};
using DiagnosticLineFn = std::function<void(const std::string& line)>;
void PrintDiagnosticLine(const std::string& line);
EjectOutcome EjectVolume(char drive_letter, const std::function<void(int)>& progress,
                         const DiagnosticLineFn& line = PrintDiagnosticLine);

constexpr int kEjectAttempts = 11;
constexpr unsigned kEjectRetryPauseMs = 1000;
constexpr int kProgressAfterLock = 94;
constexpr int kProgressAfterDismount = 100;
constexpr int kProgressAfterEject = 98;
