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

// failure_line: printed after each failed attempt; null prints nothing.
bool RetryControl(const std::string& volume_name, VolumeControl control, const char* failure_line) {
    for (int attempt = 1; attempt <= kEjectAttempts; ++attempt) {
        if (CurrentPlatform().ControlVolume(volume_name, control)) return true;
        if (failure_line) std::fputs(failure_line, stdout);
        if (attempt < kEjectAttempts) CurrentPlatform().Pause(kEjectRetryPauseMs);
    }
    return false;
}

void ReportProgress(const std::function<void(int)>& progress, int position) {
    std::fflush(stdout);
    if (progress) progress(position);
}

}  // namespace

void EjectVolume(char drive_letter, const std::function<void(int)>& progress) {
    const std::string volume_name = EjectVolumeName(drive_letter);
    std::printf("eject[%s]\n", volume_name.c_str());
    auto volume = CurrentPlatform().OpenDevice(volume_name, platform::DeviceAccess::Read);
    if (!volume) {
        std::fflush(stdout);
        return;
    }

    std::fputs("Try FSCTL_LOCK_VOLUME\n", stdout);
    RetryControl(volume_name, VolumeControl::Lock, "FSCTL_LOCK_VOLUME failed\n");
    ReportProgress(progress, kProgressAfterLock);

    std::fputs("Try FSCTL_DISMOUNT_VOLUME\n", stdout);
    RetryControl(volume_name, VolumeControl::Dismount, "FSCTL_DISMOUNT_VOLUME failed\n");
    ReportProgress(progress, kProgressAfterDismount);

    std::fputs("Try IOCTL_STORAGE_EJECT_MEDIA\n", stdout);
    RetryControl(volume_name, VolumeControl::Eject, nullptr);
    std::fputs("IOCTL_STORAGE_EJECT_MEDIA\n", stdout);
    ReportProgress(progress, kProgressAfterEject);
}
