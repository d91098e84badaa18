// The simulated camera: drive letters, device interfaces and physical drives
// described in memory (usually loaded from a camera manifest, camera.json),
// with physical drives and other device names mapped to disk image files and
// each drive's root directory mapped to a local folder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/platform/file_device.h"
#include "device/platform/platform.h"

namespace platform {

// How many attempts of a volume control request fail before one succeeds.
// From this count on, every attempt fails.
constexpr unsigned kAlwaysFails = 11;

struct SimulatedEject {
    bool open_fails = false;  // the volume does not open for the eject
    unsigned lock_failures = 0;
    unsigned dismount_failures = 0;
    unsigned eject_failures = 0;
};

struct SimulatedDrive {
    char letter = 0;                            // 'A' .. 'Z'
    bool opens = true;                          // "\\.\X:" opens
    std::optional<std::uint32_t> device_number;  // none: the query fails
    DriveType type = DriveType::Unknown;
    std::optional<std::string> label;            // none: the label query fails
    std::optional<std::uint64_t> total_bytes;    // none: the space query fails
    std::optional<std::uint64_t> free_bytes;     // none: free space of root's file system
    std::string root;                            // local folder for "X:\"; empty: no files
    SimulatedEject eject;
};

struct SimulatedInterface {
    InterfaceClass interface_class = InterfaceClass::Disk;
    std::optional<std::uint32_t> device_number;  // none: the query fails
    std::string path;
    std::string parent;
};

class SimulatedPlatform : public Platform {
public:
    // Loads a camera manifest; null with a message naming the file and the
    // offending key when it cannot be read or is malformed. Relative paths
    // in it are taken relative to the manifest's folder.
    static std::unique_ptr<SimulatedPlatform> LoadManifest(const std::string& path, std::string* error);
    // The same into an existing platform (a subclass, for instance); on
    // failure the platform may hold part of the manifest.
    static bool LoadManifestInto(const std::string& path, SimulatedPlatform& platform, std::string* error);

    // "\\.\PHYSICALDRIVE<number>" opens the file at image_path.
    void MapPhysicalDrive(int number, const std::string& image_path);
    // Whether the physical drive answers the identity commands as the
    // camera does (sim_identity.h). A manifest's drives answer unless it
    // says otherwise; a drive mapped here does not until asked to, so a
    // plain image offered as a drive is never written to on its own.
    void SetIdentityAnswer(int number, bool answers);
    // Any device name opens the file at image_path.
    void MapDeviceName(const std::string& device_name, const std::string& image_path);
    // Adds or replaces the drive of drive.letter.
    void AddDrive(const SimulatedDrive& drive);
    void AddInterface(const SimulatedInterface& device_interface);
    void SetAdministrator(bool administrator) { administrator_ = administrator; }

    // The physical drive numbers mapped so far, ascending.
    std::vector<int> PhysicalDriveNumbers() const;
    // Every image file mapped so far, once each, for callers that must not
    // write over the disks they read.
    std::vector<std::string> ImageFiles() const;
    const std::map<char, SimulatedDrive>& Drives() const { return drives_; }

    // Pauses are recorded; they really wait only when this is switched on.
    void SetRealPauses(bool real) { real_pauses_ = real; }
    unsigned PauseCount() const;
    std::uint64_t PausedMilliseconds() const;

    std::unique_ptr<Device> OpenDevice(const std::string& name, DeviceAccess access) override;
    bool DeviceNumber(const std::string& name, std::uint32_t* number) override;
    DriveType GetDriveType(const std::string& root) override;
    bool VolumeLabel(const std::string& root, std::string* label) override;
    bool TotalBytes(const std::string& root, std::uint64_t* total) override;
    bool FreeSpace(const std::string& root, DiskFreeSpace* space) override;
    std::vector<DeviceInterface> Interfaces(InterfaceClass interface_class) override;
    bool ControlVolume(const std::string& volume_name, VolumeControl control) override;
    std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) override;
    bool RemoveFile(const std::string& path) override;
    bool ReplaceFile(const std::string& from, const std::string& to) override;
    DeviceHoldResult HoldDevice(const std::string& name) override;
    bool IsAdministrator() override;
    void Pause(unsigned milliseconds) override;

private:
    const SimulatedDrive* DriveOfRoot(const std::string& root) const;
    const SimulatedDrive* DriveOfVolumeName(const std::string& name) const;
    const SimulatedInterface* InterfaceOfPath(const std::string& path) const;
    // The local file a drive-root path or local path stands for; none for a
    // drive without files.
    std::optional<std::string> LocalPathOf(const std::string& path) const;

    std::map<std::string, std::string> images_;  // device name -> image file
    ImageHandleCache image_handles_;
    std::set<int> physical_drives_;
    std::set<std::string> identity_answering_;  // device names
    std::map<char, SimulatedDrive> drives_;
    std::vector<SimulatedInterface> interfaces_;
    bool administrator_ = true;
    bool real_pauses_ = false;

    // Control attempts and pauses come from the update worker's thread.
    mutable std::mutex mutex_;
    std::map<std::pair<char, VolumeControl>, unsigned> control_attempts_;
    unsigned pause_count_ = 0;
    std::uint64_t paused_milliseconds_ = 0;
};

// The simulated platform in use, or null when another one is.
const SimulatedPlatform* InstalledSimulation();

// The disk image files behind the platform in use when it is a simulated
// one (a camera's, or an image offered as a drive): the files that nothing
// may write over while they are read as disks. None for other platforms.
std::vector<std::string> InstalledImageFiles();

}  // namespace platform
