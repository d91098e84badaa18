// Bringing a simulated camera (a camera manifest) into the tool.
#pragma once

#include <string>
#include <vector>

// Loads the manifest and installs it as the platform in use. False with
// *error set when the manifest cannot be loaded.
bool InstallCameraPlatform(const std::string& manifest, std::string* error);

// The platform the camera commands work on: the simulated camera of the
// manifest when one is given, else the one installed at start-up (this
// computer's own devices). False with *error set when the manifest cannot
// be loaded.
bool InstallCommandPlatform(const std::string& manifest, std::string* error);

// Installs the camera and points the media callbacks at its system disk:
// the physical drive of the volume labelled "QX SYSTEM", else the camera's
// lowest-numbered physical drive, with the volume starting at sector text `start`.
bool AttachCameraVolume(const std::string& manifest, const std::string& start, std::string* error);

