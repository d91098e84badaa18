// Camera manifests that are hostile or mistaken: a file that is no manifest
// at all, an image that is too short, or one that is a file the run itself
// reads or writes. Each is refused with a clear message, and every file the
// user did not name for writing keeps its bytes and its size.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/test_support.h"
#include "support/update_camera.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kFailed = 1;
constexpr std::size_t kManifestCapBytes = 1024 * 1024;
// Bounds a run that would otherwise read without end.
#ifdef _WIN32
// cmd.exe's timeout only waits; ctest's own time limit stands in for it.
const std::string kWithinAMinute = "";
#else
const std::string kWithinAMinute = "timeout 60 ";
#endif

RunResult CameraCli(const std::string& manifest, const std::string& command) {
    return Run(kWithinAMinute + Quote(QUILLON_CLI_PATH) + " --camera " + Quote(manifest) + " " + command);
}

// The manifest of a camera with its system disk image replaced by `image`,
// relative to the camera's folder.
std::string ManifestWithImage(const UpdateCamera& camera, const std::string& image) {
    nlohmann::json manifest = nlohmann::json::parse(ReadFileBytes(camera.manifest));
    manifest["physical_drives"][0]["image"] = image;
    const std::string path = camera.dir + "/other.json";
    std::ofstream(path, std::ios::binary) << manifest.dump(2);
    return path;
}

// The manifest padded with trailing spaces (still valid JSON) to `bytes`.
void PadManifest(const std::string& path, std::size_t bytes) {
    std::vector<std::uint8_t> text = ReadFileBytes(path);
    text.resize(bytes, ' ');
    WriteFileBytes(path, text);
}

TEST(CameraManifestGuard, ManifestsOverOneMebibyteAreRefused) {
    const RunResult zero = CameraCli("/dev/zero", "detect");
    EXPECT_EQ(zero.exit_code, kFailed) << zero.err;
    EXPECT_NE(zero.err.find("/dev/zero: larger than 1 MiB"), std::string::npos) << zero.err;

    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    PadManifest(camera.manifest, kManifestCapBytes);
    const RunResult at_cap = CameraCli(camera.manifest, "detect");
    EXPECT_EQ(at_cap.exit_code, 0) << at_cap.err;

    PadManifest(camera.manifest, kManifestCapBytes + 1);
    const RunResult over = CameraCli(camera.manifest, "detect");
    EXPECT_EQ(over.exit_code, kFailed);
    EXPECT_NE(over.err.find(camera.manifest + ": larger than 1 MiB, too large for a camera manifest"),
              std::string::npos)
        << over.err;
}

TEST(CameraManifestGuard, AnImageTooShortForTheMarkerIsNeverGrown) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    const struct {
        const char* name;
        std::uint64_t bytes;
    } cases[] = {{"empty.img", 0}, {"one-mebibyte.img", 1u << 20}};
    for (const auto& c : cases) {
        const std::string image = camera.dir + "/" + c.name;
        MakeEmptyImage(image, c.bytes);
        const RunResult r = CameraCli(ManifestWithImage(camera, c.name), "marker appdata");
        EXPECT_EQ(r.exit_code, kFailed) << c.name;
        EXPECT_NE(r.out.find("Fail\n"), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_NE(r.err.find("ends before the marker sector 0x24000"), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(fs::file_size(image), c.bytes) << c.name;
    }
}

TEST(CameraManifestGuard, TheManifestIsNeverItsOwnImage) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    const std::string manifest = ManifestWithImage(camera, "other.json");
    fs::create_hard_link(manifest, camera.dir + "/linked.json");
    const auto text = ReadFileBytes(manifest);
    for (const char* command : {"marker appdata", "update --answer yes", "ls /", "detect"}) {
        for (const std::string& path : {manifest, camera.dir + "/linked.json"}) {
            const RunResult r = CameraCli(path, command);
            EXPECT_EQ(r.exit_code, kFailed) << command;
            EXPECT_NE(r.err.find("physical_drives[0].image: \"other.json\" is the manifest itself"), std::string::npos)
                << command << "\n" << r.err;
            EXPECT_EQ(ReadFileBytes(manifest), text) << command;
        }
    }
}

TEST(CameraManifestGuard, TheUpdateNeverRunsOnAnImageItReadsOrWrites) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    WriteFileBytes(camera.user_dir + "/APP_DATA.BIN", PatternBytes(4096));
    const struct {
        const char* image;
        const char* use;
    } cases[] = {
        {"GFX_DATA/APP_DATA.BIN", "reads"},
        {"GFX_DATA/OT.txt", "reads"},
        {"user/APP_DATA.BIN", "writes"},
    };
    for (const auto& c : cases) {
        const std::string image = camera.dir + "/" + c.image;
        const auto before = ReadFileBytes(image);
        const RunResult r =
            CameraCli(ManifestWithImage(camera, c.image), "update --answer yes --gfx " + Quote(camera.gfx_dir));
        EXPECT_EQ(r.exit_code, kFailed) << c.image;
        EXPECT_NE(r.err.find(std::string("is a file the update ") + c.use), std::string::npos) << c.image << "\n"
                                                                                              << r.err;
        EXPECT_NE(r.err.find("a disk image must be a file of its own"), std::string::npos) << r.err;
        EXPECT_TRUE(ReadFileBytes(image) == before) << c.image;
    }
}

}  // namespace
