// A Device over an open handle: a file, a disk image or a physical drive,
// read and written at 64-bit byte positions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "device/platform/platform.h"
#include "device/platform/win32/unique_handle.h"

namespace platform::win32 {

struct HandleDeviceTraits {
    // False for a volume or interface held open only for queries and
    // control requests: nothing is read from it or written to it.
    bool moves_data = true;
    bool writable = false;
    // Where writes must end, or none. A disk image stands for a disk of a
    // fixed size: a write past its end is a wrong position, not growth.
    std::optional<std::uint64_t> write_end;
    // Asked right before every write; a write it refuses moves nothing.
    std::function<bool()> may_write;
    // Reads come from the medium, past the system's cache.
    bool uncached = false;
};

std::unique_ptr<Device> MakeHandleDevice(std::shared_ptr<UniqueHandle> handle, HandleDeviceTraits traits);

}  // namespace platform::win32
