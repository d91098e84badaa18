// What the system fixes about the camera's storage, named once.
//
// The camera shows up as USB mass storage: one USB device whose instance ID
// begins with kCameraParentId, with two removable volumes behind its two
// storage interfaces. The user volume (any label but kSystemVolumeLabel, on
// the first interface, of a size inside the window below) receives the update
// file and is ejected afterwards. The system volume is labelled exactly
// kSystemVolumeLabel; its physical disk carries raw sectors at fixed absolute
// numbers and, from kHiddenVolumeStartSector on, a FAT16/FAT32 volume that no
// drive letter shows.
//
// What the system relies on from the camera's firmware: the state word is
// judged only as 0 or 1 (go on), 2 (ask) and above 2 (refuse); the marker
// sector reads back what was last written to it; the identity answer is
// recorded unchanged, whatever it holds; the hidden volume is one our FAT
// engine mounts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace camera {

// Absolute sectors (512 bytes) of the system disk.
constexpr std::uint32_t kIdentityAnswerSector = 0x20000;  // two sectors: 0x20000 and 0x20001
constexpr int kIdentityAnswerSectors = 2;
constexpr std::uint32_t kStateWordSector = 0x20001;  // first four bytes, little-endian
constexpr std::uint32_t kUpdateMarkerSector = 0x24000;
constexpr std::uint32_t kIdentityCommandSector = 0x2A000;
// An identity command sector: one of the two texts, 16 random bytes, zeros.
constexpr char kFirstIdentityCommand[] = "84000";
constexpr char kSecondIdentityCommand[] = "84111";
constexpr std::size_t kIdentityCommandTextBytes = 5;
constexpr std::size_t kIdentityRandomBytes = 16;
constexpr std::uint32_t kHiddenVolumeStartSector = 0x40000;
// The same start as the text the media callbacks parse.
constexpr char kHiddenVolumeStartText[] = "0x40000";

// The state word before discovery has read it, and after a failed read
// (the first byte of the read buffer is preset to this value).
constexpr std::uint32_t kStateWordUnread = 0xFFFF;
constexpr std::uint8_t kStateWordFailedRead = 0xAA;

// USB identity; compared case-sensitively, as stored.
constexpr char kCameraParentId[] = "USB\\VID_E4D2&PID_3A17\\1634";
constexpr char kUserDiskInterface[] = "usbstor#disk&ven_brenx&prod_fotobean&rev_2.10";
constexpr char kSystemDiskInterface[] = "usbstor#disk&ven_brenx&prod_system&rev_2.12";
constexpr char kSystemVolumeLabel[] = "QX SYSTEM";

// Total size window of a volume on the first interface, inclusive:
// 198491873 to 199491871 bytes.
constexpr std::uint64_t kUserVolumeMinBytes = 198491873;
constexpr std::uint64_t kUserVolumeWindowSpan = 999999;  // size - min must stay below this
constexpr std::uint64_t kUserVolumeMaxBytes = kUserVolumeMinBytes + kUserVolumeWindowSpan - 1;

// The identity rules, as discovery applies them and as a backend that must
// know the camera's disks before discovery has run applies them too.
inline bool IsCameraParent(const std::string& parent_id) { return parent_id.rfind(kCameraParentId, 0) == 0; }
// The interface literals must stand after the path's first character.
inline bool InterfaceCarries(const std::string& interface_path, const char* literal) {
    const std::size_t position = interface_path.find(literal);
    return position != std::string::npos && position > 0;
}
inline bool IsCameraSystemDisk(const std::string& interface_path, const std::string& parent_id) {
    return IsCameraParent(parent_id) && InterfaceCarries(interface_path, kSystemDiskInterface);
}

}  // namespace camera
