// quillon-cli make-camera: a simulated camera that discovery identifies, an
// update can run against and the explorer can browse.
//
// DIR/camera.json     the manifest: user volume E (folder DIR/user), system
//                     volume F "QX SYSTEM" on physical drive 3
// DIR/system.img      the system disk (sparse): state word, hidden FAT volume
// DIR/user/           the user volume's root directory
// DIR/GFX_DATA/       the shipped texts and pictures, and APP_DATA.BIN
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "cli/camera_commands.h"
#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "device/camera_layout.h"
#include "device/discovery.h"
#include "device/platform/sim/sim_platform.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/engine.h"
#include "fat/format.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

constexpr char kManifestName[] = "camera.json";
constexpr char kSystemImageName[] = "system.img";
constexpr char kUserFolderName[] = "user";

constexpr char kUserLetter[] = "E";
constexpr char kSystemLetter[] = "F";
constexpr char kUserLabel[] = "CAMERA";
constexpr std::uint32_t kUserDeviceNumber = 2;
constexpr int kSystemDriveNumber = 3;
// Inside the size window that identifies the user volume.
constexpr std::uint64_t kUserTotalBytes = 198500000;
constexpr std::uint64_t kDefaultUserFree = 150000000;
constexpr std::uint64_t kDefaultUpdateSize = 1024 * 1024;

constexpr std::uint64_t kHiddenFat16Bytes = 64ull * 1024 * 1024;
constexpr std::uint64_t kHiddenFat32Bytes = 256ull * 1024 * 1024;
constexpr char kHiddenVolumeLabel[] = "QX HIDDEN";

const char kUserInterfacePath[] =
    "\\\\?\\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char kSystemInterfacePath[] =
    "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

struct MakeCameraOptions {
    fs::path dir;
    std::uint32_t state = 0;
    bool fat32 = false;
    std::uint64_t user_free = kDefaultUserFree;
    std::uint64_t update_size = kDefaultUpdateSize;
    bool allow_impossible = false;
    bool force = false;  // write over what DIR holds
    bool json = false;
};

// Returns the exit status of a usage problem, or kExitOk.
int ParseOptions(const CliContext& context, MakeCameraOptions* options) {
    if (context.args.size() != 1) return CliUsage("make-camera needs one folder: make-camera DIR [options]");
    options->dir = context.args[0];
    options->json = context.options.json;
    for (const auto& [name, value] : context.command_options) {
        if (name == "--fs") {
            if (value != "fat16" && value != "fat32") return CliUsage("--fs takes fat16 or fat32");
            options->fat32 = value == "fat32";
        } else if (name == "--allow-impossible") {
            options->allow_impossible = true;
        } else if (name == "--force") {
            options->force = true;
        } else if (name == "--state") {
            const auto state = ParseCliNumber(value, UINT32_MAX);
            if (!state) return CliUsage("--state needs a whole number of 32 bits, not \"" + value + "\"");
            options->state = static_cast<std::uint32_t>(*state);
        } else {
            const auto bytes = ParseCliSize(value, UINT64_MAX);
            if (!bytes) return CliUsage(name + " needs a number of bytes, not \"" + value + "\"");
            (name == "--user-free" ? options->user_free : options->update_size) = *bytes;
        }
    }
    return kExitOk;
}

// Sizes the camera itself rules out are refused whatever the options say;
// sizes with which no update can ever succeed are refused unless asked for
// (to try the run's own refusals). Nothing is written before this passes.
std::string SizeProblem(const MakeCameraOptions& options) {
    const std::string user_volume = "the user volume of " + std::to_string(kUserTotalBytes) + " bytes";
    if (options.user_free > kUserTotalBytes)
        return "--user-free " + std::to_string(options.user_free) + " is more than " + user_volume + " holds";
    if (options.update_size > kUserTotalBytes)
        return "--update-size " + std::to_string(options.update_size) + " would never fit on " + user_volume;
    if (options.allow_impossible) return {};
    if (options.update_size == 0)
        return "an empty update file (--update-size 0) can never update the camera; add --allow-impossible "
               "to make it anyway";
    if (options.update_size >= options.user_free)
        return "an update file of " + std::to_string(options.update_size) + " bytes never fits in the " +
               std::to_string(options.user_free) +
               " free bytes of the user volume (the update needs more free bytes than the file has); add "
               "--allow-impossible to make it anyway";
    return {};
}

// A camera made into a folder that holds files would overwrite some of
// them and mix with the rest: only a new or empty folder, unless asked for.
std::string FolderProblem(const MakeCameraOptions& options) {
    std::error_code problem;
    if (options.force || !fs::is_directory(options.dir, problem)) return {};
    const bool empty = fs::is_empty(options.dir, problem);
    if (problem) return "cannot look into " + options.dir.string() + ": " + problem.message();
    if (empty) return {};
    return options.dir.string() +
           " is not empty; give a new or empty folder, or add --force to make the camera over what is there";
}

bool MakeSparseImage(const fs::path& path, std::uint64_t bytes, std::string* error) {
    std::error_code problem;
    fs::remove(path, problem);
    { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
    fs::resize_file(path, bytes, problem);
    if (problem) *error = "cannot create " + path.string() + ": " + problem.message();
    return !problem;
}

bool WriteStateWord(std::uint32_t state, std::string* error) {
    std::array<std::uint8_t, kSectorSize> sector{};
    for (int i = 0; i < 4; ++i) sector[i] = static_cast<std::uint8_t>(state >> (8 * i));
    if (WritePhysicalSector(camera::kStateWordSector, kSystemDriveNumber, sector.data()) == 1) return true;
    *error = "cannot write the state word to the system disk";
    return false;
}

bool FormatHiddenVolume(fat::BlockDevice& device, std::uint64_t size_bytes, bool fat32, std::string* error) {
    FatFormatOptions format;
    format.size_bytes = size_bytes;
    format.fat32 = fat32;
    format.label = kHiddenVolumeLabel;
    format.hidden_sectors = camera::kHiddenVolumeStartSector;
    format.serial = 0x16340212;  // a fixed serial keeps cameras reproducible
    std::string why;
    if (FatFormatVolume(format, device, &why) != 1) {
        *error = "cannot format the hidden volume: " + why;
        return false;
    }
    return true;
}

// What a camera's hidden volume typically holds: a few folders (one nested),
// short and long names, stamped with fixed times so every camera is alike.
struct SampleFile {
    const char* path;
    const char* text;
};
constexpr const char* kSampleFolders[] = {"/DCIM", "/DCIM/100QXCAM", "/SYSTEM", "/LOG"};
constexpr SampleFile kSampleFiles[] = {
    {"/SYSTEM/VERSION.TXT", "firmware 2.12\r\n"},
    {"/SYSTEM/settings.ini", "[camera]\r\nlanguage=en\r\nbeep=on\r\n"},
    {"/LOG/boot.log", "power on\r\nself test passed\r\n"},
    {"/DCIM/100QXCAM/IMG_0001.JPG", "\xFF\xD8\xFF\xE0 sample picture\xFF\xD9"},
    {"/Read me first.txt", "This volume belongs to the camera's system.\r\n"},
};
constexpr char kSampleStamp[] = "24-05-17 09:30";

bool WriteSampleFile(fat::Volume& volume, const SampleFile& sample) {
    FatFile* file = nullptr;
    if (volume.OpenForWriting(sample.path, kSampleStamp, &file) != fat::Result::Ok) return false;
    const std::string text = sample.text;
    std::uint32_t done = 0;
    const bool written =
        volume.Write(file, text.data(), static_cast<std::uint32_t>(text.size()), &done) == fat::Result::Ok;
    return volume.Close(file) == fat::Result::Ok && written;
}

bool FillHiddenVolume(fat::BlockDevice& device, bool json, std::string* error) {
    // Under --json standard output carries JSON alone.
    const fat::Mounted mounted = fat::Mount(device, json ? fat::ErrorStreamDiagnostics() : fat::ConsoleDiagnostics());
    if (!mounted.volume) {
        *error = "the freshly formatted hidden volume does not mount";
        return false;
    }
    fat::Volume& volume = *mounted.volume;
    for (const char* folder : kSampleFolders) {
        if (volume.MakeDirectory(folder, kSampleStamp) != fat::Result::Ok) {
            *error = std::string("cannot create ") + folder + " on the hidden volume";
            return false;
        }
    }
    for (const SampleFile& sample : kSampleFiles) {
        if (!WriteSampleFile(volume, sample)) {
            *error = std::string("cannot write ") + sample.path + " on the hidden volume";
            return false;
        }
    }
    return true;
}

bool MakeSystemDisk(const MakeCameraOptions& options, std::uint64_t* image_bytes, std::string* error) {
    const fs::path image = options.dir / kSystemImageName;
    const std::uint64_t hidden_bytes = options.fat32 ? kHiddenFat32Bytes : kHiddenFat16Bytes;
    *image_bytes = std::uint64_t{camera::kHiddenVolumeStartSector} * kSectorSize + hidden_bytes;
    if (!MakeSparseImage(image, *image_bytes, error)) return false;

    auto system_disk = std::make_unique<platform::SimulatedPlatform>();
    system_disk->MapPhysicalDrive(kSystemDriveNumber, image.string());
    platform::InstallPlatform(std::move(system_disk));
    MediaDevicePath = PhysicalDrivePath(kSystemDriveNumber);
    MediaStartSector = camera::kHiddenVolumeStartText;
    if (!WriteStateWord(options.state, error)) return false;
    const auto hidden_volume =
        device::PlatformBlockDevice::Open(MediaDeviceName(), ParseSectorNumber(MediaStartSector));
    if (!hidden_volume) {
        *error = "cannot open the system disk " + image.string();
        return false;
    }
    return FormatHiddenVolume(*hidden_volume, hidden_bytes, options.fat32, error) &&
           FillHiddenVolume(*hidden_volume, options.json, error);
}

nlohmann::ordered_json Manifest(const MakeCameraOptions& options, std::uint64_t image_bytes) {
    using Json = nlohmann::ordered_json;
    Json user_drive = {{"letter", kUserLetter},       {"opens", true},
                       {"device_number", kUserDeviceNumber}, {"type", "removable"},
                       {"label", kUserLabel},         {"total_bytes", kUserTotalBytes},
                       {"free_bytes", options.user_free}, {"root", kUserFolderName}};
    Json system_drive = {{"letter", kSystemLetter},
                         {"device_number", kSystemDriveNumber},
                         {"type", "removable"},
                         {"label", camera::kSystemVolumeLabel},
                         {"total_bytes", image_bytes}};
    Json user_interface = {{"class", "disk"},
                           {"device_number", kUserDeviceNumber},
                           {"path", kUserInterfacePath},
                           {"parent", camera::kCameraParentId}};
    Json system_interface = {{"class", "disk"},
                             {"device_number", kSystemDriveNumber},
                             {"path", kSystemInterfacePath},
                             {"parent", camera::kCameraParentId}};
    Json manifest;
    manifest["admin"] = true;
    manifest["drives"] = Json::array({user_drive, system_drive});
    manifest["interfaces"] = Json::array({user_interface, system_interface});
    manifest["physical_drives"] = Json::array({Json{{"number", kSystemDriveNumber}, {"image", kSystemImageName}}});
    return manifest;
}

bool WriteTextFile(const fs::path& path, const std::string& text, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) *error = "cannot write " + path.string();
    return static_cast<bool>(out);
}

// Deterministic bytes that do not compress to nothing, so a copy that drops
// or repeats a chunk shows.
bool WriteUpdateFile(const fs::path& path, std::uint64_t size, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(64 * 1024);
    std::uint32_t state = 0x2545F491;
    for (std::uint64_t done = 0; out && done < size;) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
        for (std::size_t i = 0; i < length; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            chunk[i] = static_cast<char>(state);
        }
        out.write(chunk.data(), static_cast<std::streamsize>(length));
        done += length;
    }
    out.close();
    if (!out) *error = "cannot write " + path.string();
    return static_cast<bool>(out);
}

// The texts and pictures the programs ship with, from beside the program.
void CopyShippedFiles(const fs::path& gfx_target) {
    const fs::path shipped = fs::path(platform::ExecutableDirectory()) / kGfxFolderName;
    std::error_code problem;
    if (!fs::is_directory(shipped, problem)) {
        std::cerr << "quillon-cli: warning: no " << kGfxFolderName << " folder beside the program (" << shipped.string()
                  << "); the camera's " << kGfxFolderName << " holds only " << kUpdateFileName << "\n";
        return;
    }
    for (const auto& entry : fs::directory_iterator(shipped, problem)) {
        if (!entry.is_regular_file(problem)) continue;
        fs::copy_file(entry.path(), gfx_target / entry.path().filename(), fs::copy_options::overwrite_existing,
                      problem);
        if (problem)
            std::cerr << "quillon-cli: warning: cannot copy " << entry.path().string() << ": " << problem.message()
                      << "\n";
    }
}

bool MakeFolders(const MakeCameraOptions& options, std::string* error) {
    std::error_code problem;
    for (const fs::path& folder : {options.dir, options.dir / kUserFolderName, options.dir / kGfxFolderName}) {
        fs::create_directories(folder, problem);
        if (problem) {
            *error = "cannot create " + folder.string() + ": " + problem.message();
            return false;
        }
    }
    return true;
}

}  // namespace

int RunMakeCamera(CliContext& context) {
    MakeCameraOptions options;
    if (int usage = ParseOptions(context, &options); usage != kExitOk) return usage;
    if (const std::string problem = SizeProblem(options); !problem.empty()) return CliFail(problem);
    if (const std::string problem = FolderProblem(options); !problem.empty()) return CliFail(problem);

    std::string error;
    std::uint64_t image_bytes = 0;
    if (!MakeFolders(options, &error) || !MakeSystemDisk(options, &image_bytes, &error)) return CliFail(error);
    const fs::path gfx = options.dir / kGfxFolderName;
    CopyShippedFiles(gfx);
    if (!WriteUpdateFile(gfx / kUpdateFileName, options.update_size, &error) ||
        !WriteTextFile(options.dir / kManifestName, Manifest(options, image_bytes).dump(2) + "\n", &error))
        return CliFail(error);

    const std::string manifest = (options.dir / kManifestName).string();
    if (options.json)
        CliPrintJson({{"camera", options.dir.string()}, {"manifest", manifest}});
    else
        std::cout << "camera made in " << options.dir.string() << ": manifest " << manifest << "\n";
    return kExitOk;
}
