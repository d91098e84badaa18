#include "cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>

#include "cli/camera_attach.h"
#include "cli/volume_start_hint.h"
#include "device/platform/sim/sim_platform.h"
#include "device/physical_drive_name.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/engine.h"

namespace {

// The drive number an --image file is offered as.
constexpr int kImageDriveNumber = 0;

#ifdef QUILLON_VERSION
constexpr char kVersion[] = QUILLON_VERSION;
#else
constexpr char kVersion[] = "1.0";  // as project() in the top CMakeLists.txt says
#endif

constexpr char kGlobalUsage[] = "[--image FILE] [--start SECTOR] [--camera FILE] [--json]";

std::string Synopsis(const CliCommand& command) {
    return std::string(command.name) + (*command.usage ? " " : "") + command.usage;
}

void PrintCommandTable(std::ostream& out, const char* title, const std::vector<CliCommand>& commands) {
    out << "\n" << title << ":\n";
    for (const auto& c : commands) out << "  " << Synopsis(c) << "\n      " << c.summary << "\n";
}

void PrintUsageLines(std::ostream& out) {
    out << "usage: quillon-cli " << kGlobalUsage << " COMMAND [ARGS]\n"
        << "       quillon-cli help COMMAND   (or COMMAND --help): the command's usage\n"
        << "       quillon-cli --version\n";
}

// What a command line without a command gets: enough to go on from.
void PrintShortUsage(std::ostream& out) {
    PrintUsageLines(out);
    out << "Run \"quillon-cli --help\" for the list of commands.\n";
}

void PrintHelp(std::ostream& out) {
    PrintUsageLines(out);
    out << "\nOptions take --opt VALUE or --opt=VALUE. Numbers are decimal, or hexadecimal after 0x;\n"
        << "sizes may end in K, M or G (powers of 1024). --start defaults to " << camera::kHiddenVolumeStartText
        << ".\nUnder --json standard output carries JSON alone. Exit status: 0 success, 1 failure, 2 usage error.\n";
    PrintCommandTable(out, "Volume commands", VolumeCommands());
    PrintCommandTable(out, "Sector commands (on --image, or with --camera on the camera's system disk)",
                      SectorCommands());
    PrintCommandTable(out, "Camera commands (on the simulated camera of --camera; without it, on this computer's devices)",
                      CameraCommands());
}

void PrintCommandHelp(std::ostream& out, const CliCommand& command) {
    out << "usage: quillon-cli " << kGlobalUsage << " " << Synopsis(command) << "\n  " << command.summary << "\n";
}

const CliCommand* FindCommand(const std::string& name) {
    for (const auto* table : {&VolumeCommands(), &SectorCommands(), &CameraCommands()})
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

int CliFail(const std::string& what, fat::Result reason) { return CliFail(what + ": " + fat::ResultText(reason)); }

std::string CliDiskName(const CliOptions& options) {
    return options.camera.empty() ? options.image : "the system disk of the camera " + options.camera;
}

namespace {

// An image whose volume is not where --start points by default is most
// often a plain volume image or one with a partition table: say where the
// volume is, so the user need not guess. Empty when there is nothing to say.
std::string StartHint(const CliOptions& options) {
    if (options.camera.empty() && !options.start_given) return VolumeStartHint(MediaDeviceName(), options.image);
    return {};
}

}  // namespace

bool CliMountVolume(CliContext& context) {
    if (!CliAttachVolume(context)) return false;
    const std::string disk = CliDiskName(context.options);
    auto device = device::PlatformBlockDevice::Open(MediaDeviceName(), ParseSectorNumber(MediaStartSector));
    if (!device) {
        CliFail("cannot open " + disk);
        return false;
    }
    auto volume = std::make_shared<fat::Volume>();
    // Under --json standard output carries JSON alone.
    volume->SetDiagnostics(context.options.json ? fat::ErrorStreamDiagnostics() : fat::ConsoleDiagnostics());
    const fat::MountError error = volume->Mount(std::move(device));
    if (error != fat::MountError::None) {
        const std::string hint = StartHint(context.options);
        CliFail("no FAT volume at sector " + context.options.start + " of " + disk + " (mount code " +
                std::to_string(fat::MountCodeOf(error)) + ": " + fat::MountErrorText(error) + ")" +
                (hint.empty() ? "" : "; " + hint));
        return false;
    }
    context.volume = std::move(volume);
    return true;
}

const std::vector<CliOptionRule>* CliCommandOptionRules(const std::string& name) {
    const CliCommand* command = FindCommand(name);
    return command ? &command->options : nullptr;
}

int RunCli(int argc, char** argv) {
    // Nothing below throws on purpose; whatever escapes (memory, a broken
    // stream) still ends as one clear message and a failure status.
    const CliCommand* command = nullptr;
    try {
        const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
        const CliCommandLine line = ParseCliCommandLine(words, CliCommandOptionRules);
        switch (line.request) {
        case CliRequest::UsageError:
            if (!line.missing_command) return CliUsage(line.usage_error);
            if (!words.empty()) std::cerr << "quillon-cli: " << line.usage_error << "\n";
            PrintShortUsage(std::cerr);
            return kExitUsage;
        case CliRequest::ShowHelp:
            PrintHelp(std::cout);
            return kExitOk;
        case CliRequest::ShowCommandHelp:
            PrintCommandHelp(std::cout, *FindCommand(line.command));
            return kExitOk;
        case CliRequest::ShowVersion:
            std::cout << "quillon-cli " << kVersion << "\n";
            return kExitOk;
        case CliRequest::RunCommand:
            break;
        }
        command = FindCommand(line.command);
        CliContext context{line.options, line.command_options, line.args, nullptr};
        return command->run(context);
    } catch (const std::exception& error) {
        return CliFail(std::string(command ? command->name : "quillon-cli") + " failed: " + error.what());
    }
}
