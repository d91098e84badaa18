#include "device/platform/win32/utf16.h"

#include <cstdint>

namespace platform::win32 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kHighestCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kSurrogateLast = 0xDFFF;
constexpr char32_t kSupplementaryFirst = 0x10000;

bool IsSurrogate(char32_t c) { return c >= kSurrogateFirst && c <= kSurrogateLast; }
bool IsHighSurrogate(char32_t c) { return c >= kSurrogateFirst && c < kLowSurrogateFirst; }
bool IsLowSurrogate(char32_t c) { return c >= kLowSurrogateFirst && c <= kSurrogateLast; }
bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the sequence a lead byte starts, and the bits it carries;
// 0 for a byte that cannot lead one.
int SequenceLength(unsigned char lead, char32_t* bits) {
    if (lead < 0x80) return *bits = lead, 1;
    if ((lead & 0xE0) == 0xC0) return *bits = lead & 0x1F, 2;
    if ((lead & 0xF0) == 0xE0) return *bits = lead & 0x0F, 3;
    if ((lead & 0xF8) == 0xF0) return *bits = lead & 0x07, 4;
    return 0;
}

// The smallest code point each length may carry: a longer form of a
// shorter one would let two spellings name one file.
char32_t SmallestOfLength(int length) {
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    return kSmallest[length];
}

// Decodes the code point at `*index` and moves past it; false on a
// malformed sequence.
bool DecodeUtf8(const std::string& text, std::size_t* index, char32_t* code_point) {
    const unsigned char lead = static_cast<unsigned char>(text[*index]);
    char32_t value = 0;
    const int length = SequenceLength(lead, &value);
    if (length == 0 || text.size() - *index < static_cast<std::size_t>(length)) return false;
    for (int offset = 1; offset < length; ++offset) {
        const unsigned char next = static_cast<unsigned char>(text[*index + offset]);
        if (!IsContinuation(next)) return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < SmallestOfLength(length) || value > kHighestCodePoint || IsSurrogate(value)) return false;
    *index += static_cast<std::size_t>(length);
    *code_point = value;
    return true;
}

void AppendUtf16(char32_t code_point, std::wstring* out) {
    if (code_point < kSupplementaryFirst) {
        out->push_back(static_cast<wchar_t>(code_point));
        return;
    }
    const char32_t offset = code_point - kSupplementaryFirst;
    out->push_back(static_cast<wchar_t>(kSurrogateFirst + (offset >> 10)));
    out->push_back(static_cast<wchar_t>(kLowSurrogateFirst + (offset & 0x3FF)));
}

void AppendUtf8(char32_t code_point, std::string* out) {
    auto put = [out](char32_t byte) { out->push_back(static_cast<char>(byte)); };
    if (code_point < 0x80) {
        put(code_point);
    } else if (code_point < 0x800) {
        put(0xC0 | (code_point >> 6));
        put(0x80 | (code_point & 0x3F));
    } else if (code_point < kSupplementaryFirst) {
        put(0xE0 | (code_point >> 12));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    } else {
        put(0xF0 | (code_point >> 18));
        put(0x80 | ((code_point >> 12) & 0x3F));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    }
}

// wchar_t is 16 bits wide on Windows; the mask keeps the decoding right
// wherever this is compiled.
char32_t UnitAt(const wchar_t* text, std::size_t index) {
    return static_cast<char32_t>(static_cast<std::uint32_t>(text[index]) & 0xFFFF);
}

std::string Utf16ToUtf8(const wchar_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t index = 0; index < length; ++index) {
        char32_t unit = UnitAt(text, index);
        if (IsHighSurrogate(unit) && index + 1 < length && IsLowSurrogate(UnitAt(text, index + 1))) {
            const char32_t low = UnitAt(text, ++index);
            unit = kSupplementaryFirst + ((unit - kSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
        } else if (IsSurrogate(unit)) {
            unit = kReplacement;
        }
        AppendUtf8(unit, &out);
    }
    return out;
}

}  // namespace

std::optional<std::wstring> ToUtf16(const std::string& utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t index = 0;
    while (index < utf8.size()) {
        char32_t code_point = 0;
        if (!DecodeUtf8(utf8, &index, &code_point) || code_point == 0) return std::nullopt;
        AppendUtf16(code_point, &out);
    }
    return out;
}

std::string ToUtf8(const std::wstring& utf16) { return Utf16ToUtf8(utf16.data(), utf16.size()); }

std::string ToUtf8(const wchar_t* buffer, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && buffer[length] != L'\0') ++length;
    return Utf16ToUtf8(buffer, length);
}

}  // namespace platform::win32
