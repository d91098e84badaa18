// The simulated camera's answer to the identity commands. The real camera's
// answer is its firmware's business; ours is a record a test can recognise
// and check: it depends on the command and its random bytes, and it lands
// where the camera's answer is read back from.
//
// Answer sector (512 bytes, written at the identity answer sector; the
// state word sector after it is left as it was):
//
//   bytes  0 to  7  "SIMIDENT"
//   bytes  8 to  9  layout version, little-endian (1)
//   bytes 10 to 14  the command text ("84000" or "84111")
//   byte  15        zero
//   bytes 16 to 31  the command's 16 random bytes, echoed
//   bytes 32 to 47  derived: byte i is random[15 - i] XOR text[i mod 5]
//   bytes 48 to 63  "SIMCAM-00001634", zero-padded
//   bytes 64 to 511 zero
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/platform/platform.h"
#include "device/camera_layout.h"
#include "fat/block_device.h"

namespace platform {

using IdentitySector = std::array<std::uint8_t, kSectorSize>;

constexpr char kIdentityAnswerMagic[] = "SIMIDENT";
constexpr std::uint16_t kIdentityAnswerVersion = 1;
constexpr char kSimulatedSerial[] = "SIMCAM-00001634";

// Where the parts of the answer lie.
constexpr std::size_t kAnswerMagicOffset = 0;
constexpr std::size_t kAnswerVersionOffset = 8;
constexpr std::size_t kAnswerCommandOffset = 10;
constexpr std::size_t kAnswerRandomOffset = 16;
constexpr std::size_t kAnswerDerivedOffset = 32;
constexpr std::size_t kAnswerSerialOffset = 48;
constexpr std::size_t kAnswerSerialBytes = 16;

// Whether a written sector is an identity command: it begins with one of
// the two command texts.
bool IsIdentityCommand(const std::uint8_t* sector);

// The answer to a command sector (text in bytes 0 to 4, random bytes in
// 5 to 20).
IdentitySector MakeIdentityAnswer(const std::uint8_t* command_sector);

// Wraps a physical drive's image: every write that covers the whole
// identity command sector with a command in it is answered at once.
// Reads, positions and everything else pass through unchanged.
std::unique_ptr<Device> MakeIdentityAnsweringDevice(std::unique_ptr<Device> image);

}  // namespace platform
