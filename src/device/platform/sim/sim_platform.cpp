#include "device/platform/sim/sim_platform.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "device/physical_drive_name.h"
#include "device/platform/drive_path.h"
#include "device/platform/local_path.h"
#include "device/platform/sim/sim_identity.h"

namespace platform {
namespace {

const char kDevicePrefix[] = "\\\\.\\";

unsigned FailuresBeforeSuccess(const SimulatedEject& eject, VolumeControl control) {
    switch (control) {
        case VolumeControl::Lock: return eject.lock_failures;
        case VolumeControl::Dismount: return eject.dismount_failures;
        case VolumeControl::Eject: return eject.eject_failures;
    }
    return kAlwaysFails;
}

}  // namespace

void SimulatedPlatform::MapPhysicalDrive(int number, const std::string& image_path) {
    images_[PhysicalDriveName(number)] = image_path;
    physical_drives_.insert(number);
}

void SimulatedPlatform::SetIdentityAnswer(int number, bool answers) {
    if (answers)
        identity_answering_.insert(PhysicalDriveName(number));
    else
        identity_answering_.erase(PhysicalDriveName(number));
}

void SimulatedPlatform::MapDeviceName(const std::string& device_name, const std::string& image_path) {
    images_[device_name] = image_path;
}

void SimulatedPlatform::AddDrive(const SimulatedDrive& drive) { drives_[drive.letter] = drive; }

void SimulatedPlatform::AddInterface(const SimulatedInterface& device_interface) {
    interfaces_.push_back(device_interface);
}

std::vector<int> SimulatedPlatform::PhysicalDriveNumbers() const {
    return std::vector<int>(physical_drives_.begin(), physical_drives_.end());
}

std::vector<std::string> SimulatedPlatform::ImageFiles() const {
    std::set<std::string> files;
    for (const auto& [name, image] : images_) files.insert(image);
    return std::vector<std::string>(files.begin(), files.end());
}

unsigned SimulatedPlatform::PauseCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pause_count_;
}

std::uint64_t SimulatedPlatform::PausedMilliseconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_milliseconds_;
}

const SimulatedDrive* SimulatedPlatform::DriveOfRoot(const std::string& root) const {
    const char letter = DriveLetterOfPath(root);
    auto it = drives_.find(letter);
    return it == drives_.end() ? nullptr : &it->second;
}

// "\\.\E:" names the volume of drive E.
const SimulatedDrive* SimulatedPlatform::DriveOfVolumeName(const std::string& name) const {
    const std::string prefix = kDevicePrefix;
    if (name.size() != prefix.size() + 2 || name.rfind(prefix, 0) != 0) return nullptr;
    return DriveOfRoot(name.substr(prefix.size()));
}

const SimulatedInterface* SimulatedPlatform::InterfaceOfPath(const std::string& path) const {
    for (const auto& device_interface : interfaces_)
        if (device_interface.path == path) return &device_interface;
    return nullptr;
}

std::unique_ptr<Device> SimulatedPlatform::OpenDevice(const std::string& name, DeviceAccess access) {
    if (auto it = images_.find(name); it != images_.end()) {
        auto image = image_handles_.Open(it->second, access);
        // Only a write can carry a command.
        if (image && access == DeviceAccess::ReadWrite && identity_answering_.count(name))
            return MakeIdentityAnsweringDevice(std::move(image));
        return image;
    }
    if (const SimulatedDrive* drive = DriveOfVolumeName(name)) {
        // Queries need only the volume; the eject opens it for reading.
        const bool opens = drive->opens && (access == DeviceAccess::Query || !drive->eject.open_fails);
        return opens ? MakeQueryDevice() : nullptr;
    }
    if (InterfaceOfPath(name)) return MakeQueryDevice();
    return nullptr;
}

bool SimulatedPlatform::DeviceNumber(const std::string& name, std::uint32_t* number) {
    std::optional<std::uint32_t> found;
    if (const SimulatedDrive* drive = DriveOfVolumeName(name)) {
        if (drive->opens) found = drive->device_number;
    } else if (const SimulatedInterface* device_interface = InterfaceOfPath(name)) {
        found = device_interface->device_number;
    }
    if (!found) return false;
    *number = *found;
    return true;
}

DriveType SimulatedPlatform::GetDriveType(const std::string& root) {
    const SimulatedDrive* drive = DriveOfRoot(root);
    return drive ? drive->type : DriveType::Unknown;
}

bool SimulatedPlatform::VolumeLabel(const std::string& root, std::string* label) {
    const SimulatedDrive* drive = DriveOfRoot(root);
    if (!drive || !drive->label) return false;
    *label = *drive->label;
    return true;
}

bool SimulatedPlatform::TotalBytes(const std::string& root, std::uint64_t* total) {
    const SimulatedDrive* drive = DriveOfRoot(root);
    if (!drive || !drive->total_bytes) return false;
    *total = *drive->total_bytes;
    return true;
}

// Reported in one-byte units, so the product of the three is exact.
bool SimulatedPlatform::FreeSpace(const std::string& root, DiskFreeSpace* space) {
    const SimulatedDrive* drive = DriveOfRoot(root);
    if (!drive) return false;
    std::uint64_t free_bytes = 0;
    if (drive->free_bytes) {
        free_bytes = *drive->free_bytes;
    } else {
        // What an unprivileged user may fill, as GetDiskFreeSpace reports.
        // A root that is not there has no free space, whatever the volume
        // that would hold it has.
        std::error_code error;
        if (drive->root.empty() || !std::filesystem::exists(LocalPath(drive->root), error)) return false;
        const std::filesystem::space_info room = std::filesystem::space(LocalPath(drive->root), error);
        if (error) return false;
        free_bytes = room.available;
    }
    *space = DiskFreeSpace{1, 1, free_bytes};
    return true;
}

std::vector<DeviceInterface> SimulatedPlatform::Interfaces(InterfaceClass interface_class) {
    std::vector<DeviceInterface> found;
    for (const auto& device_interface : interfaces_)
        if (device_interface.interface_class == interface_class)
            found.push_back({device_interface.path, device_interface.parent});
    return found;
}

bool SimulatedPlatform::ControlVolume(const std::string& volume_name, VolumeControl control) {
    const SimulatedDrive* drive = DriveOfVolumeName(volume_name);
    if (!drive || !drive->opens) return false;
    const unsigned failures = FailuresBeforeSuccess(drive->eject, control);
    std::lock_guard<std::mutex> lock(mutex_);
    const unsigned attempt = ++control_attempts_[{drive->letter, control}];
    return failures < kAlwaysFails && attempt > failures;
}

std::optional<std::string> SimulatedPlatform::LocalPathOf(const std::string& path) const {
    if (DriveLetterOfPath(path) == 0) return path;
    const SimulatedDrive* drive = DriveOfRoot(path);
#ifdef _WIN32
    // Local files on Windows have drive letters too: the letters the manifest
    // names are the simulated camera's, every other one is this computer's.
    if (!drive) return path;
#endif
    const std::optional<std::string> below = PathBelowDriveRoot(path);
    if (!drive || drive->root.empty() || !below) return std::nullopt;
    return Utf8Name(LocalPath(drive->root) / LocalPath(*below));
}

std::unique_ptr<Device> SimulatedPlatform::OpenFile(const std::string& path, FileMode mode) {
    const std::optional<std::string> local = LocalPathOf(path);
    return local ? OpenLocalFile(*local, mode) : nullptr;
}

bool SimulatedPlatform::RemoveFile(const std::string& path) {
    const std::optional<std::string> local = LocalPathOf(path);
    return local && RemoveLocalFile(*local);
}

bool SimulatedPlatform::ReplaceFile(const std::string& from, const std::string& to) {
    const std::optional<std::string> local_from = LocalPathOf(from);
    const std::optional<std::string> local_to = LocalPathOf(to);
    return local_from && local_to && ReplaceLocalFile(*local_from, *local_to);
}

DeviceHoldResult SimulatedPlatform::HoldDevice(const std::string& name) {
    const auto image = images_.find(name);
    return image == images_.end() ? DeviceHoldResult{} : HoldFile(image->second);
}

bool SimulatedPlatform::IsAdministrator() { return administrator_; }

void SimulatedPlatform::Pause(unsigned milliseconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++pause_count_;
        paused_milliseconds_ += milliseconds;
    }
    if (real_pauses_) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

const SimulatedPlatform* InstalledSimulation() {
    return dynamic_cast<const SimulatedPlatform*>(&CurrentPlatform());
}

std::vector<std::string> InstalledImageFiles() {
    const SimulatedPlatform* simulated = InstalledSimulation();
    return simulated ? simulated->ImageFiles() : std::vector<std::string>{};
}

}  // namespace platform
