// The present device interfaces of a class, as the setup API lists them,
// each with the instance ID of its device's parent (the USB device behind
// a USB disk).
#pragma once

#include <vector>

#include "device/platform/platform.h"

namespace platform::win32 {

// In enumeration order; an interface whose detail cannot be read is left
// out, as one the system did not fully describe.
std::vector<DeviceInterface> PresentInterfaces(InterfaceClass interface_class);

}  // namespace platform::win32
