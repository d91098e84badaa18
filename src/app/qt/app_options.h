// The desktop program's command line.
#pragma once

#include <string>
#include <vector>

struct AppOptions {
    std::string camera_manifest;  // empty: the platform's own devices
    std::string image;            // a disk image to explore instead of a camera
    std::string start_sector;     // the Start Sector field's text; empty: the settings' value
    std::string gfx_directory;    // empty: GFX_DATA beside the program
    bool developer = false;
    bool help = false;
    bool version = false;
    std::string error;  // set when the command line is not understood
};

// Arguments without the program name.
AppOptions ParseAppOptions(const std::vector<std::string>& arguments);
std::string AppUsage();
// The version the build was made as, e.g. "1.0".
const char* AppVersion();
// What --version prints: "quillon VERSION" and a newline.
std::string AppVersionLine();
