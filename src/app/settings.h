// The settings read from "Quillon.ini" beside the program, section
// "Settings". The values stay text: their users parse them as sector numbers
// where they need numbers.
#pragma once

#include <string>

#include "device/camera_layout.h"

struct Settings {
    std::string StartSectorAddress = camera::kHiddenVolumeStartText;
    std::string ReadSectorAddress = "0x20000";
    std::string WriteSectorAddress = "0x20000";
    std::string NoOfSize = "1";
};

// The longest value kept, in characters; the rest of a longer value is cut.
constexpr std::size_t kSettingsValueCharacters = 259;

constexpr char kSettingsFileName[] = "Quillon.ini";
constexpr char kSettingsSection[] = "Settings";

// Reads the four keys from an INI file. Section and key names compare without
// regard to case, values are trimmed of surrounding white space, and a missing
// file, section or key leaves that key's default. The file is never written.
Settings LoadSettings(const std::string& ini_path);

// The settings of the program's own "Quillon.ini", read at the first call;
// later changes to the file take effect at the next start.
const Settings& ApplicationSettings();

// The first `characters` characters of UTF-8 text; a character is a lead byte
// with the continuation bytes that follow it.
std::string CutToCharacters(const std::string& text, std::size_t characters);
