#include "device/platform/local_path.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <climits>
#endif

namespace platform {

#ifdef _WIN32

namespace {

// The longest name the calls take without the prefix: MAX_PATH less room
// for an 8.3 name, the limit a folder's name has.
constexpr std::size_t kShortPathLimit = 260 - 12 - 1;
constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";
constexpr wchar_t kUncStart[] = L"\\\\";

bool IsValidUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || lead == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

// The system's converters rather than the library's: those throw on a
// broken sequence, these put U+FFFD in its place, and names come from disks
// and users that may hold anything.
std::filesystem::path LocalPath(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(utf8.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
    return std::filesystem::path(wide);
}

std::string Utf8Name(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int size = static_cast<int>(wide.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

std::wstring WideFileName(const std::string& utf8) {
    if (utf8.empty() || !IsValidUtf8(utf8)) return {};
    std::wstring name = LocalPath(utf8).make_preferred().wstring();
    // Device names and names already in long form go to the system as given.
    if (StartsWith(name, kLongPrefix) || StartsWith(name, kDevicePrefix)) return name;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(LocalPath(utf8), error);
    if (!error) name = absolute.lexically_normal().make_preferred().wstring();
    if (name.size() <= kShortPathLimit) return name;
    if (StartsWith(name, kUncStart)) return kLongUncPrefix + name.substr(2);
    return kLongPrefix + name;
}

#else

std::filesystem::path LocalPath(const std::string& utf8) { return std::filesystem::path(utf8); }

std::string Utf8Name(const std::filesystem::path& path) { return path.string(); }

#endif

}  // namespace platform
