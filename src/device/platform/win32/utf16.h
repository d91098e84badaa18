// Text crosses into the system's wide calls here and nowhere else: the rest
// of the program keeps UTF-8, Windows takes and gives UTF-16.
#pragma once

#include <optional>
#include <string>

namespace platform::win32 {

// None for text that is not valid UTF-8 or that holds a zero character: a
// name that cannot be said in UTF-16 must not reach a call as some other
// name, and the system would take a zero for the name's end.
std::optional<std::wstring> ToUtf16(const std::string& utf8);

// What the system reports is shown, not opened again, so a lone surrogate
// in it becomes U+FFFD rather than losing the whole text.
std::string ToUtf8(const std::wstring& utf16);

// The same for a buffer the system filled: up to the first zero, and never
// past `capacity` characters even when the system left no zero in it.
std::string ToUtf8(const wchar_t* buffer, std::size_t capacity);

}  // namespace platform::win32
