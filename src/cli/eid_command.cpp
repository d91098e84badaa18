// quillon-cli eid: the sector tool EID Readback.
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "cli/camera_attach.h"
#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "cli/sector_commands.h"
#include "device/platform/sim/sim_platform.h"
#include "device/camera_layout.h"
#include "device/sector_tools.h"

namespace {

using sectortools::IdentityFileOutcome;
using sectortools::SystemVolume;

constexpr std::uint8_t kLowByte = 0xFF;

// Each use draws its own: the camera's answer must be fresh, not replayed.
sectortools::IdentityRandom DrawRandomBytes() {
    std::random_device source;
    sectortools::IdentityRandom random{};
    for (auto& byte : random) byte = static_cast<std::uint8_t>(source() & kLowByte);
    return random;
}

// The first system volume gets the name as given; each further one the
// name with its drive letter before the extension (EID_DATA-G.bin), so no
// file replaces another of the same run.
std::string FileOfVolume(const std::string& out, std::size_t index, char letter) {
    if (index == 0) return out;
    const std::filesystem::path given(out);
    std::filesystem::path named = given;
    named.replace_filename(given.stem().string() + "-" + letter + given.extension().string());
    return named.string();
}

struct VolumeResult {
    SystemVolume volume;
    std::string file;
    IdentityFileOutcome outcome;
    std::vector<std::string> problems;  // each one message
};

std::string DriveText(int drive_number) { return "physical drive " + std::to_string(drive_number); }

// The messages a readback earned, in the order things happened.
std::vector<std::string> ProblemsOf(const VolumeResult& result) {
    const auto& outcome = result.outcome;
    const auto& readback = outcome.readback;
    const std::string drive = DriveText(result.volume.drive_number);
    if (!outcome.file_created) return {"cannot create " + result.file + "; nothing was sent to " + drive};
    std::vector<std::string> problems;
    const char* commands[] = {sectortools::kFirstIdentityCommand, sectortools::kSecondIdentityCommand};
    const bool answers_whole[] = {readback.first_answer_whole, readback.second_answer_whole};
    for (int i = 0; i < readback.commands_written; ++i)
        if (!answers_whole[i])
            problems.push_back(std::string(sectortools::kEidReadbackError) + ": the answer to " + commands[i] +
                               " from " + drive + " came back short (" + result.file + ")");
    if (readback.command_write_failed)
        problems.push_back("the identity command " + std::string(commands[readback.commands_written]) +
                           " did not reach sector " + HexNumberText(camera::kIdentityCommandSector) + " of " + drive +
                           "; nothing more was sent");
    if (!outcome.file_written) problems.push_back("cannot write the 3072 bytes to " + result.file);
    return problems;
}

VolumeResult ReadBackVolume(const SystemVolume& volume, const std::string& file,
                            const sectortools::IdentityRandom& random) {
    VolumeResult result{volume, file, {}, {}};
    // The file is truncated first: written over a disk image, it would
    // destroy the disk the commands are sent to.
    if (const std::string image = sectortools::DiskFileAt(file, platform::InstalledImageFiles()); !image.empty()) {
        result.problems.push_back(file + " is the disk image the commands go to (" + image + "); nothing was sent to " +
                                  DriveText(volume.drive_number));
        return result;
    }
    result.outcome = sectortools::SaveIdentityFile(volume.drive_number, random, file);
    result.problems = ProblemsOf(result);
    return result;
}

nlohmann::ordered_json ResultAsJson(const VolumeResult& result) {
    const auto& readback = result.outcome.readback;
    nlohmann::ordered_json json;
    json["file"] = result.file;
    json["letter"] = std::string(1, result.volume.letter);
    json["physical_drive_number"] = result.volume.drive_number;
    json["created"] = result.outcome.file_created;
    json["commands_sent"] = readback.commands_written;
    json["first_answer_whole"] = readback.first_answer_whole;
    json["second_answer_whole"] = readback.second_answer_whole;
    json["written"] = result.outcome.file_written;
    json["bytes"] = result.outcome.file_written ? readback.file_bytes.size() : 0;
    json["problems"] = result.problems;
    return json;
}

void PrintSaved(const VolumeResult& result) {
    if (!result.outcome.file_written) return;
    std::cout << "Saved " << result.file << ": " << result.outcome.readback.file_bytes.size()
              << " bytes from the system volume " << result.volume.letter << ": on "
              << DriveText(result.volume.drive_number) << "\n";
}

}  // namespace

int RunEid(CliContext& context) {
    if (context.options.camera.empty())
        return CliUsage("eid needs --camera FILE: it sends its commands to the camera's system disk");
    if (!context.args.empty()) return CliUsage("eid takes no arguments: eid [--out FILE]");
    std::string out = sectortools::kIdentityFileName;
    for (const auto& option : context.command_options) out = option.value;  // --out, the last one given
    if (out.empty()) return CliUsage(std::string(kOutOption) + " needs a file name");

    std::string error;
    if (!InstallCameraPlatform(context.options.camera, &error)) return CliFail(error);
    const std::vector<SystemVolume> volumes = sectortools::FindSystemVolumes();
    if (volumes.empty()) return CliFail(sectortools::kSystemNotFound);

    const sectortools::IdentityRandom random = DrawRandomBytes();
    std::vector<VolumeResult> results;
    for (std::size_t i = 0; i < volumes.size(); ++i)
        results.push_back(ReadBackVolume(volumes[i], FileOfVolume(out, i, volumes[i].letter), random));

    bool ok = true;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const VolumeResult& result : results) {
        if (context.options.json)
            files.push_back(ResultAsJson(result));
        else
            PrintSaved(result);
        ok = ok && result.problems.empty();
    }
    if (context.options.json) CliPrintJson({{"files", files}, {"ok", ok}});
    std::cout.flush();
    for (const VolumeResult& result : results)
        for (const std::string& problem : result.problems) CliFail(problem);
    return ok ? kExitOk : kExitFailed;
}
