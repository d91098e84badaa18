// The fuzz target: the input is a whole disk image held in memory. The
// engine mounts it, walks every folder, reads every file, then creates,
// writes, renames and deletes a few entries, mounts again and walks once
// more. Whatever the image holds, the engine may fail or report damage, but
// never crash, hang, or write anywhere but inside its own volume.
//
// The same entry function serves libFuzzer (sanitized clang builds) and the
// replay driver of ordinary builds (replay_main.cpp).
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

#include "fat/fat.h"

namespace {

// Larger inputs are ignored: mutating them costs more than it finds.
constexpr std::size_t kMaxInputBytes = 4u << 20;
// A short input is a medium of this size whose tail reads as zeros, so that
// seeds need not carry the empty end of their volume (FAT32 needs 32 MiB).
constexpr std::uint32_t kMinMediumSectors = (64u << 20) / kSectorSize;
// Folders pointing back at an ancestor would otherwise be walked forever;
// each entry deep down costs a lookup of every folder above it.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxEntriesPerWalk = 500;
constexpr std::uint64_t kMaxBytesReadPerWalk = 4u << 20;
// Reading a folder by cursor costs a scan from its start per entry.
constexpr std::size_t kMaxCursorEntries = 256;

// The medium: the input, zeros past it, and the sectors written since.
struct Medium {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t sectors = 0;
    std::unordered_map<std::uint32_t, std::array<std::uint8_t, kSectorSize>> written;
    // Writes are only expected between a successful mount and the next one.
    bool mounted = false;
};
Medium g_medium;

// Where findings are told: the engine's own output is silenced (it names
// damage on every damaged input), this stream is not.
std::FILE* g_report = nullptr;
// QUILLON_FUZZ_VERBOSE set: the engine's lines are kept and every input
// ends with a line saying what was done with it.
bool g_verbose = false;

void SetUpOnce() {
    if (g_report) return;
    g_report = stderr;
    g_verbose = std::getenv("QUILLON_FUZZ_VERBOSE") != nullptr;
    if (g_verbose) return;
    // glibc's standard streams are plain variables: the engine's printf and
    // fprintf lines go nowhere, while the sanitizers and libFuzzer still
    // write to the real descriptors.
    if (std::FILE* null = std::fopen("/dev/null", "w")) {
        stdout = null;
        stderr = null;
    }
}

[[noreturn]] void Finding(const char* what, std::uint64_t first, std::uint64_t count) {
    const FatVolume& v = FatTheVolume();
    std::fprintf(g_report,
                 "FUZZ FINDING: %s: sectors %llu..%llu (volume %u..%llu, %u reserved, FSInfo at %u, "
                 "medium %u sectors)\n",
                 what, static_cast<unsigned long long>(first), static_cast<unsigned long long>(first + count),
                 v.volume_start, static_cast<unsigned long long>(std::uint64_t{v.volume_start} + v.total_sectors),
                 v.reserved_sectors, v.fsinfo_sector, g_medium.sectors);
    std::fflush(g_report);
    std::abort();
}

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(g_report, "FUZZ FINDING: %s: %s\n", what, detail.c_str());
    std::fflush(g_report);
    std::abort();
}

bool InsideMedium(std::uint32_t sector, std::uint32_t count) {
    return std::uint64_t{sector} + count <= g_medium.sectors;
}

int MediumRead(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    if (!buffer || !InsideMedium(sector, count)) return 0;
    for (std::uint32_t i = 0; i < count; ++i, buffer += kSectorSize) {
        const std::uint32_t at = sector + i;
        auto written = g_medium.written.find(at);
        if (written != g_medium.written.end()) {
            std::memcpy(buffer, written->second.data(), kSectorSize);
            continue;
        }
        const std::uint64_t offset = std::uint64_t{at} * kSectorSize;
        const std::size_t present =
            offset >= g_medium.size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(kSectorSize, g_medium.size - offset));
        if (present) std::memcpy(buffer, g_medium.data + offset, present);
        std::memset(buffer + present, 0, kSectorSize - present);
    }
    return 1;
}

// The volume's boot sector and the rest of its reserved area are never the
// engine's to change, except the FAT32 FSInfo sector.
void CheckWrite(std::uint32_t sector, std::uint32_t count) {
    if (!g_medium.mounted) Finding("write while no volume is mounted", sector, count);
    const FatVolume& v = FatTheVolume();
    const std::uint64_t first = sector, end = first + count;
    const std::uint64_t volume_end = std::uint64_t{v.volume_start} + v.total_sectors;
    if (first < v.volume_start || end > volume_end) Finding("write outside the mounted volume", sector, count);
    const std::uint64_t reserved_end = std::uint64_t{v.volume_start} + v.reserved_sectors;
    for (std::uint64_t at = first; at < end && at < reserved_end; ++at) {
        const bool fsinfo = v.is_fat32 && at == std::uint64_t{v.volume_start} + v.fsinfo_sector;
        if (!fsinfo) Finding("write into the volume's reserved sectors", sector, count);
    }
}

int MediumWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    CheckWrite(sector, count);
    // A volume may claim more sectors than the medium has: those writes fail.
    if (!buffer || !InsideMedium(sector, count)) return 0;
    for (std::uint32_t i = 0; i < count; ++i, buffer += kSectorSize)
        std::memcpy(g_medium.written[sector + i].data(), buffer, kSectorSize);
    return 1;
}

// QUILLON_FUZZ_SAVE_IMAGE=FILE: the medium as the engine left it after the
// changes, for a look with quillon-cli, mtools or fsck.fat.
void SaveMedium() {
    const char* path = std::getenv("QUILLON_FUZZ_SAVE_IMAGE");
    if (!path) return;
    std::FILE* out = std::fopen(path, "wb");
    if (!out) return;
    std::fwrite(g_medium.data, 1, g_medium.size, out);
    std::vector<std::uint8_t> zeros(kSectorSize - g_medium.size % kSectorSize, 0);
    if (g_medium.size % kSectorSize) std::fwrite(zeros.data(), 1, zeros.size(), out);
    for (const auto& [sector, bytes] : g_medium.written) {
        std::fseek(out, static_cast<long>(std::uint64_t{sector} * kSectorSize), SEEK_SET);
        std::fwrite(bytes.data(), 1, kSectorSize, out);
    }
    std::fclose(out);
    if (::truncate(path, static_cast<off_t>(std::uint64_t{g_medium.sectors} * kSectorSize)) != 0) return;
}

int Mount() {
    g_medium.mounted = false;
    FatResetFiles();
    const int code = FatMountWith(MediumRead, MediumWrite);
    g_medium.mounted = code == kFatMountOk;
    return code;
}

// --- walking -------------------------------------------------------------

struct Walk {
    std::size_t entries = 0;
    std::uint64_t bytes_read = 0;
    std::vector<std::string> files;
    std::vector<std::string> folders;
};

std::string Child(const std::string& folder, const char* name) {
    return folder == "/" ? "/" + std::string(name) : folder + "/" + name;
}

bool IsDotName(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

void ReadWholeFile(const std::string& path, Walk& walk) {
    FatFile* file = FatOpenFile("rb", path.c_str());
    if (!file) return;
    // A file open once is not opened a second time.
    if (FatFile* again = FatOpenFile("rb", path.c_str())) {
        FatCloseFile(again);
        FatCloseFile(file);
        Finding("a file opened twice at once", path);
    }
    static std::uint8_t buffer[64 * 1024];
    // The odd first piece goes through the record's sector buffer, the
    // rest mostly as whole sectors straight from the medium.
    std::uint32_t piece = 1000;
    while (walk.bytes_read < kMaxBytesReadPerWalk) {
        const int got = FatReadFile(file, piece, buffer);
        if (got <= 0) break;
        if (static_cast<std::uint32_t>(got) > piece) Finding("a read returned more than asked", path);
        walk.bytes_read += static_cast<std::uint32_t>(got);
        piece = sizeof buffer;
    }
    FatCloseFile(file);
}

bool SameInfo(const FatEntryInfo& a, const FatEntryInfo& b) {
    return std::strcmp(a.name, b.name) == 0 && a.is_directory == b.is_directory &&
           a.first_cluster == b.first_cluster && a.size == b.size;
}

// The cursor reads the same entries, in the same order, as the list.
void CompareCursor(const std::string& folder, const FatEntryInfoList& list) {
    FatDirCursor cursor;
    if (!FatOpenDirectory(folder.c_str(), &cursor)) Finding("a listed folder does not open", folder);
    FatEntryInfo info;
    std::size_t i = 0;
    for (; i < list.size() && i < kMaxCursorEntries; ++i) {
        if (!FatReadDirectory(&cursor, &info)) Finding("the cursor ends before the list", folder);
        if (!SameInfo(info, list[i])) Finding("the cursor and the list disagree", folder + " at " + info.name);
    }
    if (i == list.size() && FatReadDirectory(&cursor, &info)) Finding("the cursor goes on past the list", folder);
}

void WalkFolder(const std::string& folder, int depth, Walk& walk) {
    FatEntryInfoList list;
    FatListDirectory(list, folder.c_str());
    if (!list.empty()) CompareCursor(folder, list);
    for (const FatEntryInfo& info : list) {
        if (walk.entries++ >= kMaxEntriesPerWalk) return;
        if (IsDotName(info.name)) continue;
        const std::string path = Child(folder, info.name);
        FatEntryInfo looked_up;
        FatLookupEntry(path.c_str(), &looked_up);
        if (info.is_directory) {
            walk.folders.push_back(path);
            if (depth < kMaxDepth) WalkFolder(path, depth + 1, walk);
        } else {
            walk.files.push_back(path);
            ReadWholeFile(path, walk);
        }
    }
}

// --- changing ------------------------------------------------------------

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    for (auto& byte : data) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return data;
}

// True when the whole size was accepted and reached the medium.
bool WriteTo(const std::string& path, const char* mode, std::size_t size, std::uint32_t seed) {
    FatFile* file = FatOpenFile(mode, path.c_str());
    if (!file) return false;
    const auto data = Pattern(size, seed);
    // Two pieces: one ends mid-sector, so both write paths are taken.
    const std::uint32_t first = static_cast<std::uint32_t>(size / 3);
    const int a = FatWriteFile(file, data.data(), first);
    const int b = FatWriteFile(file, data.data() + first, static_cast<std::uint32_t>(size - first));
    if (a > static_cast<int>(first) || b > static_cast<int>(size - first)) Finding("a write took more than given", path);
    const bool flushed = FatFlushFile(file) == 0;
    FatCloseFile(file);
    return flushed && a == static_cast<int>(first) && b == static_cast<int>(size - first);
}

// A file the engine has just written in a folder it has just made reads
// back as written: its clusters were free and nothing else wrote since.
void CheckReadsBack(const std::string& path, std::size_t size, std::uint32_t seed) {
    FatEntryInfo info;
    if (FatLookupEntry(path.c_str(), &info) != 1) Finding("a file just written is not found", path);
    if (info.size != size) Finding("a file just written has another size", path);
    FatFile* file = FatOpenFile("rb", path.c_str());
    if (!file) Finding("a file just written does not open", path);
    std::vector<std::uint8_t> data(size);
    const int got = size ? FatReadFile(file, static_cast<std::uint32_t>(size), data.data()) : 0;
    FatCloseFile(file);
    if (got != static_cast<int>(size) || data != Pattern(size, seed))
        Finding("a file just written reads back otherwise", path);
}

bool SameNameIgnoringCase(const char* a, const std::string& b) {
    if (std::strlen(a) != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Every name written into a folder the engine has just made is listed
// there once.
void CheckListedOnce(const std::string& folder, const std::vector<std::string>& names) {
    FatEntryInfoList list;
    FatListDirectory(list, folder.c_str());
    for (const std::string& name : names) {
        std::size_t seen = 0;
        for (const FatEntryInfo& info : list) seen += SameNameIgnoringCase(info.name, name) ? 1 : 0;
        if (seen != 1) Finding(seen ? "a new name is listed twice" : "a new name is not listed", folder + "/" + name);
    }
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The volume serial number steers the sizes and counts below: the engine
// never reads it, so the fuzzer may change it freely without breaking the
// mount.
struct Knobs {
    std::uint32_t new_size;     // bytes of the new files
    std::uint32_t append_size;  // bytes appended to a file that was there
    std::uint32_t count;        // new files in the new folder
    bool short_names;           // 8.3 names (numeric tails) instead of long ones
};

Knobs ReadKnobs() {
    const FatVolume& v = FatTheVolume();
    std::uint8_t boot[kSectorSize] = {};
    MediumRead(v.volume_start, boot, 1);
    const std::uint32_t serial = FatLoad32(boot + (v.is_fat32 ? 0x43 : 0x27));
    Knobs knobs;
    knobs.new_size = (serial & 0xFFFF) * 3;
    knobs.append_size = (serial >> 16) & 0x1FFF;
    knobs.count = 1 + (serial >> 24) % 40;
    knobs.short_names = (serial >> 29) & 1;
    return knobs;
}

std::string NewName(const Knobs& knobs, std::uint32_t i) {
    return knobs.short_names ? "NEWFILE" + std::to_string(i % 3) + ".BIN"
                             : "new file number " + std::to_string(i) + " with a long name.bin";
}

void Change(const Walk& walk) {
    const Knobs knobs = ReadKnobs();
    // New entries in the root and below it: enough of them to grow the new
    // folder past its first cluster.
    const bool fresh = FatMakeDirectory("/fuzz folder") == 1;
    std::vector<std::string> written;
    for (std::uint32_t i = 0; i < knobs.count; ++i) {
        const std::string path = "/fuzz folder/" + NewName(knobs, i);
        const std::size_t size = i == 0 ? knobs.new_size : 100 + i;
        if (!WriteTo(path, "wb", size, 1 + i) || !fresh) continue;
        CheckReadsBack(path, size, 1 + i);
        written.push_back(NewName(knobs, i));
    }
    if (fresh) CheckListedOnce("/fuzz folder", written);
    FatMakeDirectory("/fuzz folder/sub");
    FatRenamePath(("/fuzz folder/" + NewName(knobs, 0)).c_str(), "RENAMED.BIN");
    WriteTo("/KEEP.BIN", "wb", 5000, 2);
    for (std::uint32_t i = 1; i < knobs.count; i += 2) FatDeleteFile(("/fuzz folder/" + NewName(knobs, i)).c_str());

    // New entries in folders that were there.
    for (std::size_t i = 0; i < walk.folders.size() && i < 2; ++i) {
        const std::string made = walk.folders[i] + "/NEW.TXT";
        WriteTo(made, "wb", knobs.new_size / 2, 3);
        FatRenamePath(made.c_str(), "renamed with a much longer name than before.txt");
        FatDeleteFile((walk.folders[i] + "/renamed with a much longer name than before.txt").c_str());
        FatMakeDirectory((walk.folders[i] + "/made").c_str());
    }

    // Files that were there: appended to, written over, renamed, deleted.
    if (!walk.files.empty()) {
        const std::string& first = walk.files.front();
        WriteTo(first, "ab", knobs.append_size, 4);
        WriteTo(first, "r+b", 10, 5);
        // An open file is neither deleted nor renamed.
        if (FatFile* held = FatOpenFile("rb", first.c_str())) {
            if (FatDeleteFile(first.c_str()) == 0) Finding("an open file was deleted", first);
            if (FatRenamePath(first.c_str(), "moved while open") == 1) Finding("an open file was renamed", first);
            FatCloseFile(held);
        }
        FatRenamePath(first.c_str(), "fuzz-renamed.dat");
    }
    if (walk.files.size() > 1) {
        const std::string& second = walk.files[1];
        WriteTo(second, "wb", 2000, 6);  // truncates, then grows again
        FatDeleteFile(second.c_str());
    }
    if (walk.files.size() > 2) {
        // Short-name-only entries of the third file's folder get a new base.
        const std::string& third = walk.files[2];
        FatDirCursor cursor;
        if (FatOpenDirectory(Parent(third).c_str(), &cursor))
            FatRenameEntry(&cursor, third.substr(third.rfind('/') + 1).c_str(), "FZREN");
    }
    // Empty folders go; full ones stay.
    for (auto it = walk.folders.rbegin(); it != walk.folders.rend() && it - walk.folders.rbegin() < 2; ++it)
        FatRemoveDirectory(it->c_str());

    FatDeleteFile("/fuzz folder/RENAMED.BIN");
    for (std::uint32_t i = 0; i < knobs.count; ++i) FatDeleteFile(("/fuzz folder/" + NewName(knobs, i)).c_str());
    FatRemoveDirectory("/fuzz folder/sub");
    FatRemoveDirectory("/fuzz folder");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SetUpOnce();
    if (size > kMaxInputBytes) return -1;  // not added to the corpus
    g_medium.data = data;
    g_medium.size = size;
    const std::uint64_t input_sectors = (std::uint64_t{size} + kSectorSize - 1) / kSectorSize;
    g_medium.sectors = static_cast<std::uint32_t>(std::max<std::uint64_t>(input_sectors, kMinMediumSectors));
    g_medium.written.clear();

    const int mounted = Mount();
    if (mounted != kFatMountOk && g_verbose) std::fprintf(g_report, "input: mount code %d\n", mounted);
    if (mounted == kFatMountOk) {
        const FatVolume& v = FatTheVolume();
        const std::uint32_t start = v.volume_start, total = v.total_sectors, clusters = v.cluster_count,
                            fat_start = v.fat_start;
        Walk first;
        WalkFolder("/", 0, first);
        Change(first);
        SaveMedium();
        // What the engine wrote must mount again, as the same volume, and
        // read back without trouble.
        if (Mount() != kFatMountOk) Finding("the volume no longer mounts after the changes", "");
        if (v.volume_start != start || v.total_sectors != total || v.cluster_count != clusters ||
            v.fat_start != fat_start)
            Finding("the volume mounts with another geometry after the changes", "");
        Walk second;
        WalkFolder("/", 0, second);
        if (g_verbose)
            std::fprintf(g_report,
                         "input: FAT%d, %zu files and %zu folders, %llu bytes read, %zu sectors written; "
                         "after the changes %zu files and %zu folders\n",
                         v.is_fat32 ? 32 : 16, first.files.size(), first.folders.size(),
                         static_cast<unsigned long long>(first.bytes_read), g_medium.written.size(),
                         second.files.size(), second.folders.size());
    }
    g_medium.mounted = false;
    FatResetFiles();
    g_medium.written.clear();
    return 0;
}
