#include "app/gfx_directory.h"

#include <filesystem>
#include <system_error>

#include "update/update_run.h"

namespace fs = std::filesystem;

std::string DefaultGfxDirectory(const std::string& exe_directory, const std::string& camera_manifest) {
    if (!camera_manifest.empty()) {
        const fs::path beside_camera = fs::path(camera_manifest).parent_path() / kGfxFolderName;
        std::error_code error;
        if (fs::is_regular_file(beside_camera / kUpdateFileName, error)) return beside_camera.string();
    }
    return exe_directory + "/" + kGfxFolderName;
}
