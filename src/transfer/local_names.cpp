#include "transfer/local_names.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace {

constexpr char kStandIn = '_';
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

#ifdef _WIN32
constexpr bool kWindowsNames = true;
#else
constexpr bool kWindowsNames = false;
#endif

// Windows opens these as devices whatever the extension.
constexpr std::array<std::string_view, 22> kDeviceNames = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

bool NeedsStandIn(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < kFirstPrintable || byte == kDelete || c == '/' || c == '\\') return true;
    return kWindowsNames && std::string_view(":*?\"<>|").find(c) != std::string_view::npos;
}

bool IsDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
    return std::find(kDeviceNames.begin(), kDeviceNames.end(), stem) != kDeviceNames.end();
}

// Windows drops trailing dots and spaces, so "a." would land on "a".
void MendTrailing(std::string* name) {
    for (auto c = name->rbegin(); c != name->rend() && (*c == '.' || *c == ' '); ++c) *c = kStandIn;
}

}  // namespace

std::string SafeLocalName(const std::string& volume_name) {
    std::string name = volume_name;
    std::replace_if(name.begin(), name.end(), NeedsStandIn, kStandIn);
    if (name.empty() || name == "." || name == "..") return name + kStandIn;
    if (kWindowsNames) {
        MendTrailing(&name);
        if (IsDeviceName(name)) name.insert(name.begin(), kStandIn);
    }
    return name;
}

std::string LocalFolderNames::Take(const std::string& volume_name) {
    const std::string name = SafeLocalName(volume_name);
    std::string unique = name;
    for (int n = 2; !taken_.insert(unique).second; ++n) unique = name + " (" + std::to_string(n) + ")";
    return unique;
}
