// Simulated cameras for tests: manifests written at test time, loaded into a
// SimulatedPlatform that is installed for the test's duration.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "device/platform/sim/sim_platform.h"

namespace testsupport {

// The camera of the manifest example: user volume E (device 2, root "user"),
// system volume F "QX SYSTEM" (device 3), both interfaces, and physical
// drive 3 as "system.img". No files are made.
nlohmann::json ExampleCameraManifest();

// Writes the manifest to dir/camera.json and returns its path.
std::string WriteManifest(const std::string& dir, const nlohmann::json& manifest);

// A sparse system disk image holding the state word at its sector, large
// enough to reach that sector; hidden_fat_bytes > 0 adds a FAT volume made
// with mkfs.fat (mkfs_options) at the hidden volume's start sector; on
// Windows, which has no mkfs.fat, with quillon-cli's format command.
void MakeSystemImage(const std::string& path, std::uint32_t state_word, std::uint64_t hidden_fat_bytes = 0,
                     const std::string& mkfs_options = "-F 16");

// Installs a platform for the lifetime of this object and restores the one
// before it afterwards.
class ScopedPlatform {
public:
    explicit ScopedPlatform(std::unique_ptr<platform::SimulatedPlatform> simulated);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;
    platform::SimulatedPlatform& Get() { return *simulated_; }

private:
    platform::SimulatedPlatform* simulated_;
    std::unique_ptr<platform::Platform> previous_;
};

// Writes, loads and installs a manifest; fails the test when it does not load.
std::unique_ptr<ScopedPlatform> InstallCamera(const std::string& dir, const nlohmann::json& manifest);

}  // namespace testsupport
