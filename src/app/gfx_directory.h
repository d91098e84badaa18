// Where the texts, pictures and update file of a run come from.
#pragma once

#include <string>

// The GFX_DATA folder beside the program, unless a simulated camera is in
// use whose manifest folder carries a GFX_DATA folder with an update file:
// such a camera brings the files its update needs along with it.
std::string DefaultGfxDirectory(const std::string& exe_directory, const std::string& camera_manifest);
