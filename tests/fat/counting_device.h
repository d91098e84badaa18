// A block device that passes every transfer on and counts it, for tests
// that check how the engine uses its medium.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>

#include "fat/block_device.h"

class CountingDevice : public fat::BlockDevice {
public:
    explicit CountingDevice(std::unique_ptr<fat::BlockDevice> inner) : inner_(std::move(inner)) {}

    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        ++reads;
        sectors_read += count;
        return inner_->Read(sector, buffer, count);
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        ++writes;
        sectors_written += count;
        largest_write = std::max(largest_write, count);
        if (count > 1) ++multi_sector_writes;
        if (on_write) on_write(sector, count);
        return inner_->Write(sector, buffer, count);
    }
    bool Flush() override { return inner_->Flush(); }
    bool Writable() const override { return inner_->Writable(); }

    void Reset() { reads = writes = sectors_read = sectors_written = largest_write = multi_sector_writes = 0; }

    std::uint32_t reads = 0;
    std::uint32_t writes = 0;
    std::uint32_t sectors_read = 0;
    std::uint32_t sectors_written = 0;
    std::uint32_t largest_write = 0;
    std::uint32_t multi_sector_writes = 0;
    // Sees every write before it is passed on.
    std::function<void(std::uint32_t sector, std::uint32_t count)> on_write;

private:
    std::unique_ptr<fat::BlockDevice> inner_;
};
