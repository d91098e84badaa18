// Media callbacks that behave like a device losing power or failing a read,
// placed between the engine and the real media callbacks. The callbacks
// carry no context, so the wrapper keeps its state at file scope: one
// faulty medium per test program, armed and disarmed by the test.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device/sector_io.h"

namespace powercut {

enum class Fault {
    kNone,
    kCutAfterWrite,  // writes 1..N reach the medium; every later write fails untouched
    kTornWrite,      // write N reaches it in part (its first half), then as kCutAfterWrite
    kFailRead,       // read N fails, reads before and after it work
};

enum class Outcome { kDone, kTorn, kRefused, kFailed };

struct Transfer {
    bool write;
    std::uint32_t sector;
    std::uint32_t count;
    Outcome outcome;
    std::uint32_t bytes_through;  // how much of a torn write reached the medium
};

struct MediaState {
    Fault fault = Fault::kNone;
    std::uint32_t fault_at = 0;  // N, counted from 1 since the last Arm
    std::uint32_t reads = 0;
    std::uint32_t writes = 0;
    std::uint32_t failed_reads = 0;
    std::uint32_t failed_writes = 0;
    bool powered = true;  // false once the cut happened
    bool logging = false;
    std::vector<Transfer> log;
    // Every sector any write may have reached since the last ForgetTouched,
    // so the image can be put back by copying those sectors alone.
    std::set<std::uint32_t> touched;
};

inline MediaState g_media;

// Starts counting reads and writes from zero with the given fault.
inline void Arm(Fault fault, std::uint32_t at, bool logging = false) {
    g_media.fault = fault;
    g_media.fault_at = at;
    g_media.reads = g_media.writes = 0;
    g_media.failed_reads = g_media.failed_writes = 0;
    g_media.powered = true;
    g_media.logging = logging;
    g_media.log.clear();
}

// Power back on, no fault: the wrapper passes everything through.
inline void Disarm() { Arm(Fault::kNone, 0, false); }

inline void ForgetTouched() { g_media.touched.clear(); }

inline void Note(bool write, std::uint32_t sector, std::uint32_t count, Outcome outcome, std::uint32_t bytes = 0) {
    if (g_media.logging) g_media.log.push_back(Transfer{write, sector, count, outcome, bytes});
}

inline void Touch(std::uint32_t sector, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) g_media.touched.insert(sector + i);
}

inline int Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    ++g_media.reads;
    if (g_media.fault == Fault::kFailRead && g_media.reads == g_media.fault_at) {
        ++g_media.failed_reads;
        Note(false, sector, count, Outcome::kFailed);
        return 0;
    }
    const int ok = MediaRead(sector, buffer, count);
    Note(false, sector, count, ok ? Outcome::kDone : Outcome::kFailed);
    return ok;
}

// A torn write: the first half of its bytes reach the medium, so a write of
// several sectors leaves whole sectors behind and a single sector keeps its
// first 256 bytes (eight whole directory entries, whole FAT entries), the
// rest of it as it was. Returns how many bytes reached it.
inline std::uint32_t TearWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    const std::uint32_t bytes = count * kSectorSize / 2;
    const std::uint32_t whole = bytes / kSectorSize;
    const std::uint32_t part = bytes % kSectorSize;
    Touch(sector, whole + (part ? 1 : 0));
    if (whole) MediaWrite(sector, buffer, whole);
    if (part) {
        std::uint8_t mixed[kSectorSize];
        if (MediaRead(sector + whole, mixed, 1)) {
            std::memcpy(mixed, buffer + whole * kSectorSize, part);
            MediaWrite(sector + whole, mixed, 1);
        }
    }
    return bytes;
}

inline int Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    ++g_media.writes;
    if (g_media.fault == Fault::kCutAfterWrite && g_media.writes == g_media.fault_at + 1) g_media.powered = false;
    if (g_media.fault == Fault::kTornWrite && g_media.writes == g_media.fault_at) {
        g_media.powered = false;
        ++g_media.failed_writes;
        Note(true, sector, count, Outcome::kTorn, TearWrite(sector, buffer, count));
        return 0;
    }
    if (!g_media.powered) {
        ++g_media.failed_writes;
        Note(true, sector, count, Outcome::kRefused);
        return 0;
    }
    // Noted before the transfer: a write that fails may still have changed some sectors.
    Touch(sector, count);
    const int ok = MediaWrite(sector, buffer, count);
    Note(true, sector, count, ok ? Outcome::kDone : Outcome::kFailed);
    return ok;
}

inline const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::kNone: return "none";
        case Fault::kCutAfterWrite: return "cut after write";
        case Fault::kTornWrite: return "torn write";
        case Fault::kFailRead: return "failed read";
    }
    return "?";
}

}  // namespace powercut
