// Holds of a device across processes: a named mutex per device, which the
// system removes with the last handle to it, so a run that ends in any way
// leaves no hold behind.
#pragma once

#include <string>

#include "device/platform/platform.h"

namespace platform::win32 {

// Held when no one, in this process or another, holds `key` yet; busy when
// someone does. The key names the device (a camera disk's interface path,
// say); any text will do.
DeviceHoldResult HoldNamed(const std::string& key);

}  // namespace platform::win32
