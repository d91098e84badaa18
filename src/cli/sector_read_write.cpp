// quillon-cli read and write: the sector tools Read and Write.
#include <cstdio>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/camera_attach.h"
#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "cli/sector_commands.h"
#include "device/platform/sim/sim_platform.h"
#include "device/discovery.h"
#include "device/sector_tools.h"
#include "fat/engine.h"

namespace {

// Text that names standard output as the dump.
constexpr char kStandardOutputName[] = "-";
constexpr std::uint32_t kDefaultReadCount = 1;

struct ReadRequest {
    std::uint32_t first = 0;
    std::uint32_t count = kDefaultReadCount;
    std::string out = sectortools::kReadDumpName;
    bool ToStandardOutput() const { return out == kStandardOutputName; }
};

std::optional<std::uint32_t> ParseSector(const std::string& text) {
    const auto sector = ParseCliNumber(text, std::numeric_limits<std::uint32_t>::max());
    if (!sector) return std::nullopt;
    return static_cast<std::uint32_t>(*sector);
}

std::string NotASectorMessage(const char* command, const std::string& text) {
    return std::string(command) + " needs a sector number of 32 bits (decimal, or hexadecimal after 0x), not \"" +
           text + "\"";
}

// The count alone, before any disk is known: it must lie in 1 to
// kMaxReadSectors. Whether it fits the disk is judged once the disk is open.
int ParseCount(const std::string& text, std::uint32_t* count) {
    const auto parsed = ParseCliNumber(text, std::numeric_limits<std::int64_t>::max());
    if (!parsed) return CliUsage(std::string(kCountOption) + " needs a whole number of sectors, not \"" + text + "\"");
    const auto value = static_cast<std::int64_t>(*parsed);
    const std::string problem = sectortools::ReadCountProblem(value, 0, std::numeric_limits<std::uint64_t>::max());
    if (!problem.empty()) return CliUsage(std::string(kCountOption) + ": " + problem);
    *count = static_cast<std::uint32_t>(value);
    return kExitOk;
}

// Returns the exit status of a usage problem, or kExitOk.
int ParseReadRequest(const CliContext& context, ReadRequest* request) {
    if (context.args.size() != 1) return CliUsage("read takes one sector: read SECTOR [--count N] [--out FILE]");
    const auto first = ParseSector(context.args[0]);
    if (!first) return CliUsage(NotASectorMessage("read", context.args[0]));
    request->first = *first;
    for (const auto& [name, value] : context.command_options) {
        if (name == kCountOption) {
            if (const int status = ParseCount(value, &request->count); status != kExitOk) return status;
        } else if (name == kOutOption) {
            if (value.empty())
                return CliUsage(std::string(kOutOption) + " needs a file name, or - for standard output");
            request->out = value;
        }
    }
    if (request->ToStandardOutput() && context.options.json)
        return CliUsage("--json and --out - both want standard output; name a file with --out");
    return kExitOk;
}

// The absolute number of a sector counted from the volume start.
std::uint64_t AbsoluteSector(std::uint32_t sector) {
    return std::uint64_t{ParseSectorNumber(MediaStartSector)} + sector;
}

std::string SectorWhere(std::uint32_t sector) {
    return "sector " + HexNumberText(sector) + " (absolute " + HexNumberText(AbsoluteSector(sector)) + ")";
}

std::string RunWhere(std::uint32_t first, std::uint32_t count) {
    if (count == 1) return SectorWhere(first);
    return std::to_string(count) + " sectors from " + SectorWhere(first);
}

// The dump reaches standard output whole, or the read fails.
bool WriteStandardOutput(const std::vector<std::uint8_t>& bytes) {
    std::fflush(stdout);
    std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    return static_cast<bool>(std::cout);
}

void ReportRead(const CliContext& context, const ReadRequest& request, std::size_t bytes) {
    if (request.ToStandardOutput()) return;
    if (context.options.json) {
        nlohmann::ordered_json json;
        json["sector"] = request.first;
        json["absolute_sector"] = AbsoluteSector(request.first);
        json["count"] = request.count;
        json["bytes"] = bytes;
        json["out"] = request.out;
        json["status"] = sectortools::kReadCompleted;
        CliPrintJson(json);
        return;
    }
    std::cout << sectortools::kReadCompleted << ": " << RunWhere(request.first, request.count) << ", " << bytes
              << " bytes into " << request.out << "\n";
}

// The camera's system disk as discovery finds it: a write goes only there.
std::string CameraWriteRefusal(const CliContext& context, std::uint32_t sector) {
    std::string error;
    if (!InstallCommandPlatform(context.options.camera, &error)) return error;
    // Discovery mounts the hidden volume; under --json its lines must not
    // land among the JSON.
    if (context.options.json) fat::DefaultVolume().SetDiagnostics(fat::ErrorStreamDiagnostics());
    DeviceRecord record;
    DetectDevice(record, nullptr);
    std::fflush(stdout);
    MediaStartSector = context.options.start;
    return sectortools::WriteRefusal(record, sector);
}

// An --image names its disk itself; the write must only stay inside it.
std::string ImageWriteRefusal(const CliContext& context, std::uint32_t sector, bool* attached) {
    *attached = CliAttachVolume(context);
    return *attached ? sectortools::WriteRefusalOnImage(sector) : std::string();
}

void ReportWrite(const CliContext& context, std::uint32_t sector, std::size_t text_bytes) {
    if (context.options.json) {
        nlohmann::ordered_json json;
        json["sector"] = sector;
        json["absolute_sector"] = AbsoluteSector(sector);
        json["device"] = MediaDeviceName();
        json["text_bytes"] = text_bytes;
        json["status"] = sectortools::kWriteCompleted;
        CliPrintJson(json);
        return;
    }
    std::cout << sectortools::kWriteCompleted << ": " << SectorWhere(sector) << " of " << MediaDeviceName()
              << " holds the text (" << text_bytes << " bytes), a zero byte and 0xFF to its end\n";
}

}  // namespace

int RunRead(CliContext& context) {
    ReadRequest request;
    if (const int status = ParseReadRequest(context, &request); status != kExitOk) return status;
    if (!CliAttachVolume(context)) return kExitFailed;
    const std::string disk = CliDiskName(context.options);

    std::uint64_t available = 0;
    if (!sectortools::MediaSectorsAvailable(&available))
        return CliFail(std::string(sectortools::kReadError) + ": cannot open " + disk + " to learn its size");
    if (const std::string problem = sectortools::ReadCountProblem(request.count, request.first, available);
        !problem.empty())
        return CliFail(problem + " (" + disk + "); nothing was read");
    if (!request.ToStandardOutput())
        if (const std::string image = sectortools::DiskFileAt(request.out, platform::InstalledImageFiles()); !image.empty())
            return CliFail(request.out + " is the disk image the sectors are read from (" + image +
                           "); choose another " + kOutOption);

    std::vector<std::uint8_t> bytes;
    if (!sectortools::ReadVolumeSectors(request.first, request.count, &bytes))
        return CliFail(std::string(sectortools::kReadError) + ": " + RunWhere(request.first, request.count) + " of " +
                       disk + " could not be read");
    if (request.ToStandardOutput() ? !WriteStandardOutput(bytes) : !sectortools::SaveBytes(request.out, bytes))
        return CliFail(std::string(sectortools::kReadDataProblem) + ": the sectors were read, but " +
                       (request.ToStandardOutput() ? std::string("standard output") : request.out) +
                       " could not be written");
    ReportRead(context, request, bytes.size());
    return kExitOk;
}

int RunWrite(CliContext& context) {
    if (context.args.size() != 2) return CliUsage("write takes a sector and a text: write SECTOR TEXT");
    const auto sector = ParseSector(context.args[0]);
    if (!sector) return CliUsage(NotASectorMessage("write", context.args[0]));
    const std::string& text = context.args[1];
    sectortools::Sector data;
    if (!sectortools::MakeTextSector(text, &data))
        return CliFail("the text has " + std::to_string(text.size()) + " bytes; a sector holds at most " +
                       std::to_string(sectortools::kMaxWriteTextBytes) + " before its zero byte; nothing was written");

    std::string refusal;
    if (!context.options.camera.empty()) {
        refusal = CameraWriteRefusal(context, *sector);
    } else {
        bool attached = false;
        refusal = ImageWriteRefusal(context, *sector, &attached);
        if (!attached) return kExitFailed;
    }
    if (!refusal.empty()) return CliFail(refusal + "; nothing was written");
    if (!sectortools::WriteVolumeSector(*sector, data))
        return CliFail(std::string(sectortools::kWriteError) + ": " + SectorWhere(*sector) + " of " +
                       CliDiskName(context.options) + " did not take the write");
    ReportWrite(context, *sector, text.size());
    return kExitOk;
}
