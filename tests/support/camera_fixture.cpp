#include "support/camera_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "device/camera_layout.h"
#include "support/test_support.h"

namespace testsupport {

nlohmann::json ExampleCameraManifest() {
    return nlohmann::json::parse(R"({
      "admin": true,
      "drives": [
        {"letter": "E", "opens": true, "device_number": 2, "type": "removable",
         "label": "CAMERA", "total_bytes": 198500000, "free_bytes": 150000000,
         "root": "user",
         "eject": {"open_fails": false, "lock_failures": 0,
                   "dismount_failures": 0, "eject_failures": 0}},
        {"letter": "F", "device_number": 3, "type": "removable",
         "label": "QX SYSTEM", "total_bytes": 268435456}
      ],
      "interfaces": [
        {"class": "disk", "device_number": 2,
         "path": "\\\\?\\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
         "parent": "USB\\VID_E4D2&PID_3A17\\1634"},
        {"class": "disk", "device_number": 3,
         "path": "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
         "parent": "USB\\VID_E4D2&PID_3A17\\1634"}
      ],
      "physical_drives": [ {"number": 3, "image": "system.img"} ]
    })");
}

std::string WriteManifest(const std::string& dir, const nlohmann::json& manifest) {
    const std::string path = dir + "/camera.json";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << manifest.dump(2);
    return path;
}

#ifdef _WIN32
namespace {
// Without mkfs.fat the program's own format command makes the volume, for
// the tests that need a camera rather than another tool's volume. Options
// it has no word for leave the test to the Linux build.
void MakeHiddenVolumeWithCli(const std::string& path, std::uint64_t bytes, const std::string& mkfs_options) {
    std::istringstream options(mkfs_options);
    std::string format = "format --size " + std::to_string(bytes);
    for (std::string option, value; options >> option;) {
        if (option == "-F" && options >> value)
            format += " --fs fat" + value;
        else if (option == "-s" && options >> value)
            format += " --sectors-per-cluster " + value;
        else
            RequireLinuxTool("mkfs.fat " + mkfs_options);
    }
    const RunResult made = Cli("--image " + Quote(path) + " --start " +
                               std::to_string(camera::kHiddenVolumeStartSector) + " " + format);
    if (made.exit_code != 0) throw std::runtime_error("format failed: " + made.out + made.err);
}
}  // namespace
#endif

void MakeSystemImage(const std::string& path, std::uint32_t state_word, std::uint64_t hidden_fat_bytes,
                     const std::string& mkfs_options) {
    const std::uint64_t hidden_start = std::uint64_t{camera::kHiddenVolumeStartSector} * 512;
    MakeEmptyImage(path, hidden_start + hidden_fat_bytes);
    std::vector<std::uint8_t> state(512, 0);
    for (int i = 0; i < 4; ++i) state[i] = static_cast<std::uint8_t>(state_word >> (8 * i));
    WriteSector(path, camera::kStateWordSector, state);
    if (hidden_fat_bytes == 0) return;
#ifdef _WIN32
    MakeHiddenVolumeWithCli(path, hidden_fat_bytes, mkfs_options);
#else
    RunResult made = Run("mkfs.fat --offset=" + std::to_string(camera::kHiddenVolumeStartSector) + " " +
                         mkfs_options + " " + Quote(path));
    if (made.exit_code != 0) throw std::runtime_error("mkfs.fat failed: " + made.out + made.err);
#endif
}

ScopedPlatform::ScopedPlatform(std::unique_ptr<platform::SimulatedPlatform> simulated)
    : simulated_(simulated.get()), previous_(platform::InstallPlatform(std::move(simulated))) {}

ScopedPlatform::~ScopedPlatform() { platform::InstallPlatform(std::move(previous_)); }

std::unique_ptr<ScopedPlatform> InstallCamera(const std::string& dir, const nlohmann::json& manifest) {
    std::string error;
    auto loaded = platform::SimulatedPlatform::LoadManifest(WriteManifest(dir, manifest), &error);
    EXPECT_TRUE(loaded) << error;
    if (!loaded) loaded = std::make_unique<platform::SimulatedPlatform>();
    return std::make_unique<ScopedPlatform>(std::move(loaded));
}

}  // namespace testsupport
