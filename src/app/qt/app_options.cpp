#include "app/qt/app_options.h"

// The build names the version once, in the project() of the top CMakeLists.txt.
#ifndef QUILLON_VERSION
#error "QUILLON_VERSION must be defined by the build"
#endif

namespace {
constexpr char kProgramName[] = "quillon";
constexpr char kCameraOption[] = "--camera";
constexpr char kGfxOption[] = "--gfx";
constexpr char kImageOption[] = "--image";
constexpr char kStartOption[] = "--start";
constexpr char kDeveloperOption[] = "--developer";
constexpr char kHelpOption[] = "--help";
constexpr char kShortHelpOption[] = "-h";
constexpr char kVersionOption[] = "--version";

// "--name VALUE" or "--name=VALUE"; false when the argument is another option.
// A missing or empty value is an error.
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& index, const std::string& name,
               std::string* value, std::string* error) {
    const std::string& argument = arguments[index];
    const std::string with_value = name + "=";
    if (argument == name) {
        if (index + 1 < arguments.size())
            *value = arguments[++index];
    } else if (argument.rfind(with_value, 0) == 0) {
        *value = argument.substr(with_value.size());
    } else {
        return false;
    }
    if (value->empty())
        *error = name + " needs a value";
    return true;
}
}  // namespace

AppOptions ParseAppOptions(const std::vector<std::string>& arguments) {
    AppOptions options;
    for (std::size_t index = 0; index < arguments.size() && options.error.empty(); ++index) {
        if (TakeValue(arguments, index, kCameraOption, &options.camera_manifest, &options.error) ||
            TakeValue(arguments, index, kGfxOption, &options.gfx_directory, &options.error) ||
            TakeValue(arguments, index, kImageOption, &options.image, &options.error) ||
            TakeValue(arguments, index, kStartOption, &options.start_sector, &options.error))
            continue;
        const std::string& argument = arguments[index];
        if (argument == kDeveloperOption) {
            options.developer = true;
        } else if (argument == kHelpOption || argument == kShortHelpOption) {
            options.help = true;
        } else if (argument == kVersionOption) {
            options.version = true;
        } else {
            options.error = "unknown option: " + argument;
        }
    }
    // One source of devices: a camera and an image would both claim the
    // physical drives.
    if (options.error.empty() && !options.camera_manifest.empty() && !options.image.empty())
        options.error = std::string(kCameraOption) + " and " + kImageOption + " cannot be given together";
    return options;
}

std::string AppUsage() {
    return "Usage: quillon [--camera FILE | --image FILE] [--start SECTOR] [--gfx DIR] [--developer]\n"
           "               [--help] [--version]\n"
           "\n"
           "Updates the camera connected by USB.\n"
           "\n"
           "  --camera FILE  use the simulated camera described by FILE (camera.json,\n"
           "                 as made by \"quillon-cli make-camera\") instead of the\n"
           "                 devices attached to this PC\n"
           "  --image FILE   explore the FAT volume of the disk image FILE in the\n"
           "                 developer tools (as physical drive 1); no camera is\n"
           "                 looked for\n"
           "  --start SECTOR\n"
           "                 the Start Sector field: where the explorer mounts the\n"
           "                 volume when its root is selected (\"0x\" prefix:\n"
           "                 hexadecimal); by default the settings' StartSectorAddress\n"
           "  --gfx DIR      take the texts, pictures and update file from DIR instead\n"
           "                 of the GFX_DATA folder beside the program (or beside the\n"
           "                 --camera manifest, when that one holds an update file)\n"
           "  --developer    show the developer tools in a window of their own\n"
           "  --help         show this help and end\n"
           "  --version      show the version and end\n";
}

const char* AppVersion() { return QUILLON_VERSION; }

std::string AppVersionLine() { return std::string(kProgramName) + " " + AppVersion() + "\n"; }
