// A block device that behaves like a device losing power or failing a
// read, placed between the engine and the device of the image. It counts
// and logs every transfer; the test arms and disarms it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fat/block_device.h"

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

class FaultyDevice : public fat::BlockDevice {
public:
    // The device of the image the transfers go to; kept across mounts.
    void Attach(std::unique_ptr<fat::BlockDevice> inner) { inner_ = std::move(inner); }
    const MediaState& State() const { return state_; }

    // Starts counting reads and writes from zero with the given fault.
    void Arm(Fault fault, std::uint32_t at, bool logging = false) {
        state_.fault = fault;
        state_.fault_at = at;
        state_.reads = state_.writes = 0;
        state_.failed_reads = state_.failed_writes = 0;
        state_.powered = true;
        state_.logging = logging;
        state_.log.clear();
    }
    // Power back on, no fault: the device passes everything through.
    void Disarm() { Arm(Fault::kNone, 0, false); }
    void ForgetTouched() { state_.touched.clear(); }

    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        ++state_.reads;
        if (state_.fault == Fault::kFailRead && state_.reads == state_.fault_at) {
            ++state_.failed_reads;
            Note(false, sector, count, Outcome::kFailed);
            return false;
        }
        const bool ok = inner_ && inner_->Read(sector, buffer, count);
        Note(false, sector, count, ok ? Outcome::kDone : Outcome::kFailed);
        return ok;
    }

    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        ++state_.writes;
        if (state_.fault == Fault::kCutAfterWrite && state_.writes == state_.fault_at + 1) state_.powered = false;
        if (state_.fault == Fault::kTornWrite && state_.writes == state_.fault_at) {
            state_.powered = false;
            ++state_.failed_writes;
            Note(true, sector, count, Outcome::kTorn, TearWrite(sector, buffer, count));
            return false;
        }
        if (!state_.powered) {
            ++state_.failed_writes;
            Note(true, sector, count, Outcome::kRefused);
            return false;
        }
        // Noted before the transfer: a write that fails may still have changed some sectors.
        Touch(sector, count);
        const bool ok = inner_ && inner_->Write(sector, buffer, count);
        Note(true, sector, count, ok ? Outcome::kDone : Outcome::kFailed);
        return ok;
    }

private:
    void Note(bool write, std::uint32_t sector, std::uint32_t count, Outcome outcome, std::uint32_t bytes = 0) {
        if (state_.logging) state_.log.push_back(Transfer{write, sector, count, outcome, bytes});
    }

    void Touch(std::uint32_t sector, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) state_.touched.insert(sector + i);
    }

    // A torn write: the first half of its bytes reach the medium, so a write
    // of several sectors leaves whole sectors behind and a single sector
    // keeps its first 256 bytes (eight whole directory entries, whole FAT
    // entries), the rest of it as it was. Returns how many bytes reached it.
    std::uint32_t TearWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
        const std::uint32_t bytes = count * kSectorSize / 2;
        const std::uint32_t whole = bytes / kSectorSize;
        const std::uint32_t part = bytes % kSectorSize;
        Touch(sector, whole + (part ? 1 : 0));
        if (!inner_) return bytes;
        if (whole) inner_->Write(sector, buffer, whole);
        if (part) {
            std::uint8_t mixed[kSectorSize];
            if (inner_->Read(sector + whole, mixed, 1)) {
                std::memcpy(mixed, buffer + whole * kSectorSize, part);
                inner_->Write(sector + whole, mixed, 1);
            }
        }
        return bytes;
    }

    std::unique_ptr<fat::BlockDevice> inner_;
    MediaState state_;
};

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
