#include "device/platform/win32/local_path.h"

#include "device/platform/win32/windows_api.h"

#include <cwctype>

#include "device/platform/win32/utf16.h"

namespace platform::win32 {
namespace {

const wchar_t kLongPrefix[] = L"\\\\?\\";
const wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
const wchar_t kDevicePrefix[] = L"\\\\.\\";
const wchar_t kUncPrefix[] = L"\\\\";
// A path this long no longer fits the short form's buffers.
constexpr std::size_t kShortFormLimit = MAX_PATH;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "X:\" at `position`: the start of a path on a drive.
bool DriveRootAt(const std::wstring& path, std::size_t position) {
    return path.size() > position + 2 && std::iswalpha(path[position]) && path[position + 1] == L':' &&
           IsSeparator(path[position + 2]);
}

bool UncAt(const std::wstring& path, std::size_t position) {
    return path.size() > position + 4 && std::towupper(path[position]) == L'U' &&
           std::towupper(path[position + 1]) == L'N' && std::towupper(path[position + 2]) == L'C' &&
           IsSeparator(path[position + 3]);
}

// The absolute form the system would use; none when it cannot tell.
std::optional<std::wstring> FullPathOf(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::nullopt;
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    // The path cannot have changed in between, but the answer is checked
    // as any other: what did not fit is no answer.
    if (written == 0 || written >= needed) return std::nullopt;
    full.resize(written);
    return full;
}

std::wstring LongForm(const std::wstring& full_path) {
    if (StartsWith(full_path, kLongPrefix)) return full_path;
    if (StartsWith(full_path, kUncPrefix)) return kLongUncPrefix + full_path.substr(2);
    return kLongPrefix + full_path;
}

}  // namespace

bool IsDevicePath(const std::wstring& full_path) {
    const bool long_form = StartsWith(full_path, kLongPrefix) ||
                           (full_path.size() >= 4 && IsSeparator(full_path[0]) && IsSeparator(full_path[1]) &&
                            full_path[2] == L'?' && IsSeparator(full_path[3]));
    const bool device_form = StartsWith(full_path, kDevicePrefix) ||
                             (full_path.size() >= 4 && IsSeparator(full_path[0]) && IsSeparator(full_path[1]) &&
                              full_path[2] == L'.' && IsSeparator(full_path[3]));
    if (device_form) return true;
    // "\\?\C:\..." and "\\?\UNC\server\share\..." are files; everything
    // else behind the prefix (a disk, a volume, a device) is not.
    if (long_form) return !DriveRootAt(full_path, 4) && !UncAt(full_path, 4);
    return false;
}

std::optional<std::wstring> FileCallPath(const std::string& utf8_path) {
    const std::optional<std::wstring> wide = ToUtf16(utf8_path);
    if (!wide || wide->empty()) return std::nullopt;
    const std::optional<std::wstring> full = FullPathOf(*wide);
    if (!full || IsDevicePath(*full)) return std::nullopt;
    if (full->size() < kShortFormLimit) return wide;
    return LongForm(*full);
}

}  // namespace platform::win32
