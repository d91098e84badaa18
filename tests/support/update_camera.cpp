#include "support/update_camera.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

constexpr std::uint64_t kHiddenVolumeBytes = 16 * 1024 * 1024;
constexpr char kUserLetter[] = "E";
constexpr char kSystemLetter[] = "F";

nlohmann::json Manifest(const UpdateCameraOptions& options) {
    nlohmann::json manifest = ExampleCameraManifest();
    manifest["admin"] = options.admin;
    for (auto& drive : manifest["drives"]) {
        if (drive["letter"] != kUserLetter) continue;
        drive.erase("free_bytes");
        drive.erase("root");
        if (options.user_free_bytes) drive["free_bytes"] = *options.user_free_bytes;
        if (options.user_root) drive["root"] = "user";
        if (options.eject_always_fails)
            drive["eject"] = {{"lock_failures", 11}, {"dismount_failures", 11}, {"eject_failures", 11}};
    }
    if (!options.system_disk.empty()) manifest["physical_drives"][0]["image"] = options.system_disk;
    if (!options.system_volume) {
        auto& drives = manifest["drives"];
        for (auto it = drives.begin(); it != drives.end();)
            it = (*it)["letter"] == kSystemLetter ? drives.erase(it) : it + 1;
    }
    return manifest;
}

}  // namespace

std::vector<std::uint8_t> PatternBytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t state = 0x2545F491;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::string ShippedTextTable() {
    return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "gfx" / "data" / "OT.txt").string();
}

UpdateCamera MakeUpdateCamera(const std::string& dir, const UpdateCameraOptions& options) {
    UpdateCamera camera{dir, dir + "/camera.json", dir + "/system.img", dir + "/user", dir + "/GFX_DATA",
                        dir + "/GFX_DATA/APP_DATA.BIN", 0};
    fs::create_directories(camera.gfx_dir);
    if (options.user_root) fs::create_directories(camera.user_dir);
    MakeSystemImage(camera.system_image, options.state_word, kHiddenVolumeBytes);
    fs::copy_file(ShippedTextTable(), camera.gfx_dir + "/OT.txt", fs::copy_options::overwrite_existing);
    if (options.update_file) WriteFileBytes(camera.update_file, PatternBytes(options.update_size));
    const nlohmann::json manifest = Manifest(options);
    camera.drive_number = manifest["physical_drives"][0]["number"].get<int>();
    camera.manifest = WriteManifest(dir, manifest);
    return camera;
}

}  // namespace testsupport
