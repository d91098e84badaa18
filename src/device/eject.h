// Locking, dismounting and ejecting the camera's user volume at the end of
// an update, so the camera can be unplugged and starts afresh.
#pragma once

#include <functional>

// Attempts each of the three steps up to kEjectAttempts times, pausing
// kEjectRetryPauseMs between attempts, and goes on to the next step even when
// one keeps failing. Reports the progress positions 94, 100 and 98 after the
// lock, dismount and eject steps. Diagnostic lines go to standard output.
// A volume that does not open ends the call after its first line.
void EjectVolume(char drive_letter, const std::function<void(int)>& progress);

constexpr int kEjectAttempts = 11;
constexpr unsigned kEjectRetryPauseMs = 1000;
constexpr int kProgressAfterLock = 94;
constexpr int kProgressAfterDismount = 100;
constexpr int kProgressAfterEject = 98;
