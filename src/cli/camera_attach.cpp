#include "cli/camera_attach.h"

#include "device/camera_layout.h"
#include "device/discovery.h"
#include "device/platform/sim/sim_platform.h"
#include "device/sector_io.h"

namespace {

// The device number of the system volume, when the manifest gives one that
// is also a physical drive of the camera.
bool SystemVolumeDrive(const platform::SimulatedPlatform& camera_platform, int* drive_number) {
    const std::vector<int> drives = camera_platform.PhysicalDriveNumbers();
    for (const auto& [letter, drive] : camera_platform.Drives()) {
        if (drive.label != camera::kSystemVolumeLabel || !drive.device_number) continue;
        for (int number : drives) {
            if (static_cast<std::uint32_t>(number) == *drive.device_number) {
                *drive_number = number;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool InstallCameraPlatform(const std::string& manifest, std::string* error) {
    auto camera_platform = platform::SimulatedPlatform::LoadManifest(manifest, error);
    if (!camera_platform) return false;
    platform::InstallPlatform(std::move(camera_platform));
    return true;
}

bool InstallCommandPlatform(const std::string& manifest, std::string* error) {
    return manifest.empty() || InstallCameraPlatform(manifest, error);
}

bool AttachCameraVolume(const std::string& manifest, const std::string& start, std::string* error) {
    auto camera_platform = platform::SimulatedPlatform::LoadManifest(manifest, error);
    if (!camera_platform) return false;
    int drive_number = 0;
    if (!SystemVolumeDrive(*camera_platform, &drive_number)) {
        const std::vector<int> drives = camera_platform->PhysicalDriveNumbers();
        if (drives.empty()) {
            if (error) *error = manifest + ": the camera has no physical drive with an image";
            return false;
        }
        drive_number = drives.front();
    }
    platform::InstallPlatform(std::move(camera_platform));
    MediaDevicePath = PhysicalDrivePath(drive_number);
    MediaStartSector = start;
    return true;
}

