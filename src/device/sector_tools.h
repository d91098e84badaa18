// The developer's sector tools: Read (a run of the FAT volume's sectors into
// a dump file), Write (one sector filled with a text) and EID Readback (the
// two identity commands sent to the camera's system disk, with its answers,
// into an identity file). The desktop program's developer window and
// quillon-cli's read, write and eid commands share this code; only the
// choice of files, the parsing of the fields and the showing of texts are
// theirs.
//
// Every number is checked before it sizes a buffer or reaches a device, and
// a write lands only inside the disk meant for it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/device_record.h"
#include "device/sector_io.h"

namespace sectortools {

// Status texts, exactly as the window shows them.
constexpr char kReadCompleted[] = "Read Completed";
constexpr char kReadDataProblem[] = "Read data problem";
constexpr char kReadError[] = "Read Error";
constexpr char kWriteCompleted[] = "Write Completed";
constexpr char kWriteError[] = "Write Error";
constexpr char kSystemNotFound[] = "QX SYSTEM cannot be found!";
constexpr char kEidReadbackError[] = "Read back EID Error";

// Default file names: the dump of Read (in the program's folder for the
// window, the current folder for the tool) and the identity file.
constexpr char kReadDumpName[] = "ReadFile.bin";
constexpr char kIdentityFileName[] = "EID_DATA.bin";
// The dump path the window builds must fit the classic 256-byte buffer:
// at most this many bytes, and single-byte characters only.
constexpr std::size_t kDumpPathMaxBytes = 255;

// Most sectors one Read may move.
constexpr std::uint32_t kMaxReadSectors = 65536;

// Identity command texts and sizes.
using camera::kFirstIdentityCommand;
using camera::kIdentityCommandTextBytes;
using camera::kIdentityRandomBytes;
using camera::kSecondIdentityCommand;
constexpr std::size_t kIdentityFileBytes = 3072;  // (512 + 1024) x 2

using Sector = std::array<std::uint8_t, kSectorSize>;
using IdentityRandom = std::array<std::uint8_t, kIdentityRandomBytes>;

// --- Read ---------------------------------------------------------------

// Sectors from the volume start (MediaStartSector) to the end of the device
// MediaDevicePath names; false when the device does not open or has no
// known size.
bool MediaSectorsAvailable(std::uint64_t* sectors);

// Why a count (as the caller parsed it, signed so that a negative one can
// be named) cannot be read from `first` on when `available` sectors follow
// the volume start; empty when it can. Zero, negative, more than
// kMaxReadSectors, or running past the end are refused.
std::string ReadCountProblem(std::int64_t count, std::uint32_t first, std::uint64_t available);

// Reads `count` sectors from `first` (relative to MediaStartSector) through
// MediaRead into *bytes (count x 512 bytes). The count must have passed
// ReadCountProblem. False when MediaRead fails.
bool ReadVolumeSectors(std::uint32_t first, std::uint32_t count, std::vector<std::uint8_t>* bytes);

// Whether the window's dump path may be used as it is: not longer than
// kDumpPathMaxBytes and only single-byte (ASCII) characters. A path that
// does not fit is reported, never shortened to name another file.
bool DumpPathFits(const std::string& path);

// Creates (or truncates) the file and writes the bytes; false when either
// fails (a partly written file is removed; a device named as the file,
// such as /dev/full, is left where it is).
bool SaveBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The file among `disks` that `path` names (the same file, also through a
// link), or empty when it is none of them: a dump or identity file written
// there would overwrite the disk it came from.
std::string DiskFileAt(const std::string& path, const std::vector<std::string>& disks);

// --- Write --------------------------------------------------------------

// The sector of Write: the text's bytes (already in the platform's single-
// byte form: UTF-8 on Linux, the ANSI code page on Windows), one zero byte,
// then 0xFF to the end. False when the text is longer than 511 bytes: it is
// refused, never cut.
bool MakeTextSector(const std::string& text, Sector* sector);
constexpr std::size_t kMaxWriteTextBytes = kSectorSize - 1;

// Why a write of one sector at `sector` (relative to MediaStartSector) may
// not go ahead; empty when it may. A write lands only on the camera's
// system disk as discovery identified it (record.PhysicalDriveNumber, which
// MediaDevicePath must name) and only before the disk's end.
std::string WriteRefusal(const DeviceRecord& record, std::uint32_t sector);
// The same check for a disk named explicitly (quillon-cli --image): only
// that the sector lies before its end.
std::string WriteRefusalOnImage(std::uint32_t sector);

// Writes the sector through MediaWrite; true when it succeeded.
bool WriteVolumeSector(std::uint32_t sector, const Sector& data);

// --- EID Readback ---------------------------------------------------------

// A removable volume labelled "QX SYSTEM" on an openable physical drive, in
// the order EID Readback visits them: drives ascending, then letters C to Z.
struct SystemVolume {
    int drive_number;
    char letter;
};
// Empty when there is none (also when no physical drive opens).
std::vector<SystemVolume> FindSystemVolumes();

// "84000" or "84111", the 16 random bytes, zeros.
Sector MakeIdentityCommand(const char* command_text, const IdentityRandom& random);

// What one EID Readback on one system volume gave.
struct IdentityReadback {
    std::vector<std::uint8_t> file_bytes;  // kIdentityFileBytes, laid out as the identity file
    bool first_answer_whole = false;       // both answer sectors read after the first command
    bool second_answer_whole = false;
    bool command_write_failed = false;     // a command sector did not reach the disk
    int commands_written = 0;              // command sectors that reached the disk, 0 to 2
};
// Sends both commands to absolute sector 0x2A000 of the drive, reading the
// answer sectors 0x20000 and 0x20001 after each. A failed command write
// stops there (nothing more is sent) and is reported in the result; the
// file bytes then hold what was gathered so far, zero-padded.
IdentityReadback ReadBackIdentity(int drive_number, const IdentityRandom& random);

// The whole command for one system volume: creates the file first (when
// that fails, nothing is sent and the result says so), then runs
// ReadBackIdentity and writes the 3072 bytes.
struct IdentityFileOutcome {
    bool file_created = false;
    bool file_written = false;
    IdentityReadback readback;
};
IdentityFileOutcome SaveIdentityFile(int drive_number, const IdentityRandom& random, const std::string& path);

}  // namespace sectortools
