// The one thing the engine needs from a disk: whole 512-byte sectors by
// number, counted from the first sector the device exposes. Backends (disk
// images, block devices, raw drives) implement it; the engine owns none of
// them and never learns what is behind one.
#pragma once

#include <cstdint>

constexpr std::uint32_t kSectorSize = 512;

// The engine's classic media callbacks: nonzero when every sector moved.
using MediaReadFn = int (*)(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count);
using MediaWriteFn = int (*)(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count);

namespace fat {

class BlockDevice {
public:
    virtual ~BlockDevice() = default;
    // True when all `count` sectors moved.
    virtual bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) = 0;
    virtual bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) = 0;
    // Written sectors reach the medium itself, past any cache below us.
    virtual bool Flush() { return true; }
    // A device that cannot take writes makes every writing operation refuse
    // before it changes anything, rather than fail half-way.
    virtual bool Writable() const { return true; }
};

// A device over the two classic callbacks; no write callback means read-only.
class CallbackBlockDevice : public BlockDevice {
public:
    CallbackBlockDevice(MediaReadFn read, MediaWriteFn write) : read_(read), write_(write) {}
    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        return read_ && read_(sector, buffer, count) != 0;
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        return write_ && write_(sector, buffer, count) != 0;
    }
    bool Writable() const override { return write_ != nullptr; }

private:
    MediaReadFn read_;
    MediaWriteFn write_;
};

}  // namespace fat
