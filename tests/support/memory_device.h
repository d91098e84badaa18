// A block device held in memory, formatted by the engine's own formatter:
// for tests that need volumes but no files or tools (the thread tests run
// under ThreadSanitizer, where fewer moving parts keep reports clear).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fat/block_device.h"
#include "fat/format.h"

class MemoryDevice : public fat::BlockDevice {
public:
    explicit MemoryDevice(std::uint64_t bytes) : bytes_(bytes / kSectorSize * kSectorSize, 0) {}

    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        if (!Fits(sector, count)) return false;
        std::memcpy(buffer, &bytes_[Offset(sector)], std::size_t{count} * kSectorSize);
        return true;
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        if (!writable || !Fits(sector, count)) return false;
        std::memcpy(&bytes_[Offset(sector)], buffer, std::size_t{count} * kSectorSize);
        return true;
    }
    bool Writable() const override { return writable; }

    // A fresh FAT16 or FAT32 volume over the whole device; "" or why not.
    std::string Format(bool fat32) {
        FatFormatOptions options;
        options.size_bytes = bytes_.size();
        options.fat32 = fat32;
        options.serial = 0x1234;
        std::string error;
        return FatFormatVolume(options, *this, &error) ? "" : error;
    }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

    bool writable = true;

private:
    static std::size_t Offset(std::uint32_t sector) { return std::size_t{sector} * kSectorSize; }
    bool Fits(std::uint32_t sector, std::uint32_t count) const {
        return (std::uint64_t{sector} + count) * kSectorSize <= bytes_.size();
    }

    std::vector<std::uint8_t> bytes_;
};
