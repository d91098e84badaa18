#include "device/sector_tools.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>

#include "device/discovery.h"
#include "device/physical_drive_name.h"
#include "device/platform/file_device.h"
#include "device/platform/platform.h"

namespace sectortools {
namespace {

using platform::CurrentPlatform;
using platform::DeviceAccess;

constexpr char kFirstSystemLetter = 'C';
constexpr char kLastSystemLetter = 'Z';
constexpr std::size_t kAnswerBytes = std::size_t{camera::kIdentityAnswerSectors} * kSectorSize;
// Where the parts of one command's round trip lie in the identity file.
constexpr std::size_t kRoundTripBytes = kSectorSize + kAnswerBytes;
static_assert(2 * kRoundTripBytes == kIdentityFileBytes, "the identity file holds two round trips");

int LetterIndex(char letter) { return letter - 'A'; }

std::string SectorRange(std::uint64_t first, std::uint64_t count) {
    if (count == 1) return "sector " + std::to_string(first);
    return "sectors " + std::to_string(first) + " to " + std::to_string(first + count - 1);
}

// Sectors of the device from `start` to its end; false when it does not
// open or tells no size.
bool SectorsFrom(const std::string& device_name, std::uint64_t start, std::uint64_t* sectors) {
    auto device = CurrentPlatform().OpenDevice(device_name, DeviceAccess::Read);
    const std::int64_t size = device ? device->Size() : -1;
    if (size < 0) return false;
    const std::uint64_t total = static_cast<std::uint64_t>(size) / kSectorSize;
    *sectors = total > start ? total - start : 0;
    return true;
}

bool IsSystemVolume(char letter) {
    const std::string root = DriveRoot(letter);
    if (CurrentPlatform().GetDriveType(root) != platform::DriveType::Removable) return false;
    std::string label;
    return CurrentPlatform().VolumeLabel(root, &label) && label == camera::kSystemVolumeLabel;
}

bool WriteAll(platform::Device& file, const std::vector<std::uint8_t>& bytes) {
    return file.Write(bytes.data(), bytes.size()) == bytes.size() && file.Flush();
}

// A half-written file must not pass for a whole one; but only a regular
// file goes: a device or pipe named as the file (/dev/full) stays.
void RemovePartialFile(std::unique_ptr<platform::Device> file, const std::string& path) {
    file.reset();
    std::error_code ignored;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ignored)))
        CurrentPlatform().RemoveFile(path);
}

// One command to the disk and the two answer sectors back. The answer
// buffer is the caller's, kept across both commands: a short read-back
// leaves what the one before it gave.
struct RoundTrip {
    bool command_written = false;
    bool answer_whole = false;
};
RoundTrip SendCommand(int drive_number, const Sector& command, std::uint8_t* answer) {
    RoundTrip trip;
    trip.command_written = WritePhysicalSector(camera::kIdentityCommandSector, drive_number, command.data()) == 1;
    if (!trip.command_written) return trip;
    trip.answer_whole = ReadPhysicalSectors(camera::kIdentityAnswerSectors, camera::kIdentityAnswerSector,
                                            drive_number, answer) == camera::kIdentityAnswerSectors;
    return trip;
}

// A command that did not reach the disk got no answer: its answer part
// stays zero rather than repeating what an earlier command was given.
void PlaceRoundTrip(std::vector<std::uint8_t>& file, std::size_t offset, const Sector& command,
                    const RoundTrip& trip, const std::uint8_t* answer) {
    std::copy(command.begin(), command.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    if (trip.command_written)
        std::copy(answer, answer + kAnswerBytes, file.begin() + static_cast<std::ptrdiff_t>(offset + kSectorSize));
}

}  // namespace

// --- Read -----------------------------------------------------------------

bool MediaSectorsAvailable(std::uint64_t* sectors) {
    return SectorsFrom(MediaDeviceName(), ParseSectorNumber(MediaStartSector), sectors);
}

std::string ReadCountProblem(std::int64_t count, std::uint32_t first, std::uint64_t available) {
    if (count < 0) return "a count of " + std::to_string(count) + " sectors is negative; give 1 or more";
    if (count == 0) return "a count of 0 sectors reads nothing; give 1 or more";
    if (count > std::int64_t{kMaxReadSectors})
        return "a count of " + std::to_string(count) + " sectors is more than one read may move (at most " +
               std::to_string(kMaxReadSectors) + ")";
    const auto wanted = static_cast<std::uint64_t>(count);
    if (first >= available || wanted > available - first)
        return SectorRange(first, wanted) + (wanted == 1 ? " lies" : " run") + " past the end of the disk, which has " +
               std::to_string(available) + " sectors from the volume start";
    return {};
}

bool ReadVolumeSectors(std::uint32_t first, std::uint32_t count, std::vector<std::uint8_t>* bytes) {
    // The buffer is sized from the count: never from one that was not checked.
    if (count == 0 || count > kMaxReadSectors) return false;
    bytes->assign(std::size_t{count} * kSectorSize, 0xFF);
    return MediaRead(first, bytes->data(), count) == 1;
}

bool DumpPathFits(const std::string& path) {
    if (path.size() > kDumpPathMaxBytes) return false;
    return std::all_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool SaveBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    auto file = CurrentPlatform().OpenFile(path, platform::FileMode::CreateTruncate);
    if (!file) return false;
    if (WriteAll(*file, bytes)) return true;
    RemovePartialFile(std::move(file), path);
    return false;
}

std::string DiskFileAt(const std::string& path, const std::vector<std::string>& disks) {
    for (const std::string& disk : disks)
        if (platform::IsSameFile(disk, path)) return disk;
    return {};
}

// --- Write ----------------------------------------------------------------

bool MakeTextSector(const std::string& text, Sector* sector) {
    if (text.size() > kMaxWriteTextBytes) return false;
    sector->fill(0xFF);
    std::copy(text.begin(), text.end(), sector->begin());
    (*sector)[text.size()] = 0;
    return true;
}

std::string WriteRefusalOnImage(std::uint32_t sector) {
    std::uint64_t available = 0;
    if (!MediaSectorsAvailable(&available)) return "cannot open " + MediaDeviceName() + " to learn its size";
    if (sector >= available)
        return "sector " + std::to_string(sector) + " lies past the end of the disk, which has " +
               std::to_string(available) + " sectors from the volume start";
    return {};
}

std::string WriteRefusal(const DeviceRecord& record, std::uint32_t sector) {
    if (record.PhysicalDriveNumber == kNoPhysicalDrive)
        return std::string("no camera was found: no system volume labelled \"") + camera::kSystemVolumeLabel +
               "\" on a physical drive";
    // The tree selection may have pointed the callbacks elsewhere since.
    const std::string system_disk = PhysicalDriveName(record.PhysicalDriveNumber);
    if (MediaDeviceName() != system_disk)
        return "the sectors point at " + MediaDeviceName() + ", not at the camera's system disk " + system_disk;
    return WriteRefusalOnImage(sector);
}

bool WriteVolumeSector(std::uint32_t sector, const Sector& data) { return MediaWrite(sector, data.data(), 1) == 1; }

// --- EID Readback ---------------------------------------------------------

std::vector<SystemVolume> FindSystemVolumes() {
    std::vector<SystemVolume> found;
    std::vector<int> drives;
    ListPhysicalDrives(drives);
    if (drives.empty()) return found;
    const auto disk_numbers = DiskNumbersOfLetters();
    for (int drive : drives)
        for (char letter = kFirstSystemLetter; letter <= kLastSystemLetter; ++letter)
            if (disk_numbers[LetterIndex(letter)] == static_cast<std::uint32_t>(drive) && IsSystemVolume(letter))
                found.push_back({drive, letter});
    return found;
}

Sector MakeIdentityCommand(const char* command_text, const IdentityRandom& random) {
    Sector sector{};
    std::memcpy(sector.data(), command_text, std::min(std::strlen(command_text), kIdentityCommandTextBytes));
    std::copy(random.begin(), random.end(), sector.begin() + kIdentityCommandTextBytes);
    return sector;
}

// A failed command write stops the readback: a second command after it
// would reach a disk that just refused one. The file still holds the
// command that failed, with zeros where its answer would be.
IdentityReadback ReadBackIdentity(int drive_number, const IdentityRandom& random) {
    IdentityReadback result;
    result.file_bytes.assign(kIdentityFileBytes, 0);
    std::array<std::uint8_t, kAnswerBytes> answer{};
    const char* const texts[] = {kFirstIdentityCommand, kSecondIdentityCommand};
    bool* const answers_whole[] = {&result.first_answer_whole, &result.second_answer_whole};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        const Sector command = MakeIdentityCommand(texts[i], random);
        const RoundTrip trip = SendCommand(drive_number, command, answer.data());
        PlaceRoundTrip(result.file_bytes, i * kRoundTripBytes, command, trip, answer.data());
        *answers_whole[i] = trip.answer_whole;
        if (!trip.command_written) {
            result.command_write_failed = true;
            return result;
        }
        result.commands_written = static_cast<int>(i + 1);
    }
    return result;
}

IdentityFileOutcome SaveIdentityFile(int drive_number, const IdentityRandom& random, const std::string& path) {
    IdentityFileOutcome outcome;
    // The file comes first: commands whose answers could not be kept would
    // reach the camera for nothing.
    auto file = CurrentPlatform().OpenFile(path, platform::FileMode::CreateTruncate);
    outcome.file_created = file != nullptr;
    if (!file) return outcome;
    outcome.readback = ReadBackIdentity(drive_number, random);
    outcome.file_written = WriteAll(*file, outcome.readback.file_bytes);
    if (!outcome.file_written) RemovePartialFile(std::move(file), path);
    return outcome;
}

}  // namespace sectortools
