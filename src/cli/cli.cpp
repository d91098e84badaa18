#include "cli/cli.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>

#include "cli/camera_attach.h"
#include "cli/cli_numbers.h"
#include "device/platform/sim/sim_platform.h"
#include "device/physical_drive_name.h"
#include "device/sector_io.h"
#include "fat/file.h"
#include "fat/volume.h"

namespace {

// The drive number an --image file is offered as.
constexpr int kImageDriveNumber = 0;
// The media callbacks read --start by the lenient sector-number rule, which
// saturates at the signed 32-bit limit; up to it both rules agree.
constexpr std::uint64_t kHighestStartSector = INT32_MAX;

void PrintHelp(std::ostream& out) {
    out << "usage: quillon-cli [--image FILE] [--start SECTOR] [--camera FILE] [--json] COMMAND [ARGS]\n\n"
           "Volume commands:\n";
    for (const auto& c : VolumeCommands())
        out << "  " << c.name << (*c.usage ? " " : "") << c.usage << "\n      " << c.summary << "\n";
    out << "\nCamera commands:\n";
    for (const auto& c : CameraCommands())
        out << "  " << c.name << (*c.usage ? " " : "") << c.usage << "\n      " << c.summary << "\n";
}

int StartUsage(const std::string& text) {
    return CliUsage("--start needs a sector number from 0 to " + HexNumberText(kHighestStartSector) +
                    " (decimal, or hexadecimal after 0x), not \"" + text + "\"");
}

const CliCommand* FindCommand(const std::string& name) {
    for (const auto* table : {&VolumeCommands(), &CameraCommands()})
        for (const auto& command : *table)
            if (name == command.name) return &command;
    return nullptr;
}

}  // namespace

int CliFail(const std::string& message) {
    std::fflush(stdout);
    std::cerr << "quillon-cli: " << message << "\n";
    return kExitFailed;
}

int CliUsage(const std::string& message) {
    std::cerr << "quillon-cli: " << message << "\n(see quillon-cli --help)\n";
    return kExitUsage;
}

bool CliAttachVolume(const CliContext& context) {
    if (!context.options.camera.empty()) {
        std::string error;
        if (!AttachCameraVolume(context.options.camera, context.options.start, &error)) {
            CliFail(error);
            return false;
        }
        return true;
    }
    if (context.options.image.empty()) {
        CliFail("no volume: give --image FILE or --camera FILE");
        return false;
    }
    auto simulated = std::make_unique<platform::SimulatedPlatform>();
    simulated->MapPhysicalDrive(kImageDriveNumber, context.options.image);
    platform::InstallPlatform(std::move(simulated));
    MediaDevicePath = "PHYSICALDRIVE" + std::to_string(kImageDriveNumber) + "\\";
    MediaStartSector = context.options.start;
    if (!platform::CurrentPlatform().OpenDevice(PhysicalDriveName(kImageDriveNumber),
                                                platform::DeviceAccess::Read)) {
        CliFail("cannot open image " + context.options.image);
        return false;
    }
    return true;
}

bool CliMountVolume(const CliContext& context) {
    if (!CliAttachVolume(context)) return false;
    FatResetFiles();
    const int code = FatMountMedia();
    if (code != kFatMountOk) {
        const std::string& disk = context.options.camera.empty() ? context.options.image
                                                                 : context.options.camera;
        CliFail("no FAT volume at sector " + context.options.start + " of " + disk +
                " (mount code " + std::to_string(code) + ")");
        return false;
    }
    return true;
}

bool CliParseCommandOptions(CliContext& context, const std::vector<CliOptionRule>& rules,
                            std::vector<std::pair<std::string, std::string>>& found) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < context.args.size(); ++i) {
        const std::string& arg = context.args[i];
        if (arg == "--") {  // everything after it is an argument, even "-x"
            rest.insert(rest.end(), context.args.begin() + static_cast<long>(i) + 1, context.args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            rest.push_back(arg);
            continue;
        }
        const CliOptionRule* rule = nullptr;
        for (const auto& s : rules)
            if (arg == s.name) rule = &s;
        if (!rule) {
            CliUsage("unknown option " + arg);
            return false;
        }
        if (rule->takes_value) {
            if (i + 1 >= context.args.size()) {
                CliUsage("option " + arg + " needs a value");
                return false;
            }
            found.emplace_back(arg, context.args[++i]);
        } else {
            found.emplace_back(arg, "");
        }
    }
    context.args = rest;
    return true;
}

int RunCli(int argc, char** argv) {
    CliContext context;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            PrintHelp(std::cout);
            return kExitOk;
        } else if (arg == "--json") {
            context.options.json = true;
        } else if (arg == "--image") {
            if (!value(context.options.image)) return CliUsage("--image needs a file");
        } else if (arg == "--start") {
            if (!value(context.options.start)) return CliUsage("--start needs a sector number");
            if (!ParseCliNumber(context.options.start, kHighestStartSector)) return StartUsage(context.options.start);
        } else if (arg == "--camera") {
            if (!value(context.options.camera)) return CliUsage("--camera needs a file");
        } else if (arg.rfind("-", 0) == 0) {
            return CliUsage("unknown option " + arg);
        } else {
            break;
        }
    }
    if (i >= argc) return CliUsage("no command given");
    const CliCommand* command = FindCommand(argv[i]);
    if (!command) return CliUsage(std::string("unknown command ") + argv[i]);
    // --json is also taken after the command, where scripts tend to put it.
    for (int j = i + 1; j < argc; ++j) {
        if (std::strcmp(argv[j], "--json") == 0)
            context.options.json = true;
        else
            context.args.emplace_back(argv[j]);
    }
    // Nothing below throws on purpose; whatever escapes (memory, a broken
    // stream) still ends as one clear message and a failure status.
    try {
        return command->run(context);
    } catch (const std::exception& error) {
        return CliFail(std::string(command->name) + " failed: " + error.what());
    }
}
