// Local file paths as the wide file calls take them. A path of MAX_PATH
// characters or more reaches them in its "\\?\" form, which lifts the
// limit but also switches off the system's own clean-up of the path, so
// it is made whole and absolute first.
#pragma once

#include <optional>
#include <string>

namespace platform::win32 {

// None for a path that is no valid UTF-8 or that names a device rather
// than a file ("\\.\PHYSICALDRIVE0", "\\?\C:" without a folder, "CON"):
// a file opened for writing must never turn out to be a disk.
std::optional<std::wstring> FileCallPath(const std::string& utf8_path);

// Whether a path, as the system resolved it, leads into the device
// namespace rather than to a file on a drive or a share.
bool IsDevicePath(const std::wstring& full_path);

}  // namespace platform::win32
