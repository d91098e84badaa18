#include "device/eject.h"

#include <cstdio>
#include <string>

#include "device/platform/platform.h"

namespace {

using platform::CurrentPlatform;
using platform::VolumeControl;

// The template "\\.\?:" with the letter in place of the question mark. Only
// the low 8 bits of the letter count.
std::string EjectVolumeName(char drive_letter) {
    std::string name = "\\\\.\\?:";
    name[4] = drive_letter;
    return name;
}

// failure_line: reported after each failed attempt; null reports nothing.
bool RetryControl(const std::string& volume_name, VolumeControl control, const char* failure_line,
                  const DiagnosticLineFn& line) {
    for (int attempt = 1; attempt <= kEjectAttempts; ++attempt) {
        if (CurrentPlatform().ControlVolume(volume_name, control)) return true;
        if (failure_line) line(failure_line);
        if (attempt < kEjectAttempts) CurrentPlatform().Pause(kEjectRetryPauseMs);
    }
    return false;
}

void ReportProgress(const std::function<void(int)>& progress, int position) {
    if (progress) progress(position);
}

}  // namespace

// Flushed at once, so the lines keep their place among what the caller
// prints between them.
void PrintDiagnosticLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

EjectOutcome EjectVolume(char drive_letter, const std::function<void(int)>& progress, const DiagnosticLineFn& line) {
    EjectOutcome outcome;
    const std::string volume_name = EjectVolumeName(drive_letter);
    line("eject[" + volume_name + "]\n");
    auto volume = CurrentPlatform().OpenDevice(volume_name, platform::DeviceAccess::Read);
    if (!volume) return outcome;
    outcome.opened = true;

    line("Try FSCTL_LOCK_VOLUME\n");
    outcome.locked = RetryControl(volume_name, VolumeControl::Lock, "FSCTL_LOCK_VOLUME failed\n", line);
    ReportProgress(progress, kProgressAfterLock);

    line("Try FSCTL_DISMOUNT_VOLUME\n");
    outcome.dismounted =
        RetryControl(volume_name, VolumeControl::Dismount, "FSCTL_DISMOUNT_VOLUME failed\n", line);
    ReportProgress(progress, kProgressAfterDismount);

    line("Try IOCTL_STORAGE_EJECT_MEDIA\n");
    outcome.ejected = RetryControl(volume_name, VolumeControl::Eject, nullptr, line);
    line("IOCTL_STORAGE_EJECT_MEDIA\n");
    ReportProgress(progress, kProgressAfterEject);
    return outcome;
}
