// The one place where names change encoding: UTF-8 inside, UTF-16 at the
// system's calls.
#include <gtest/gtest.h>

#include <string>

#include "device/platform/win32/utf16.h"

namespace {

using platform::win32::ToUtf16;
using platform::win32::ToUtf8;

struct RoundTrip {
    const char* what;
    std::string utf8;
    std::wstring utf16;
};

TEST(Utf16, NamesSurviveTheRoundTrip) {
    const RoundTrip cases[] = {
        {"empty", "", L""},
        {"ASCII", "APP_DATA.BIN", L"APP_DATA.BIN"},
        {"two-byte", "Gr\xC3\xB6\xC3\x9F" "e.bin", L"Gr\u00F6\u00DFe.bin"},
        {"three-byte", "\xE7\x9B\xB8\xE6\x9C\xBA", L"\u76F8\u673A"},
        {"last of the basic plane", "\xEF\xBF\xBF", L"\uFFFF"},
        {"supplementary, as a surrogate pair", "\xF0\x9F\x93\xB7", L"\xD83D\xDCF7"},
        {"highest code point", "\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},
        {"mixed", "QX \xE7\x9B\xB8\xE6\x9C\xBA \xF0\x9F\x93\xB7 SYSTEM", L"QX \u76F8\u673A \xD83D\xDCF7 SYSTEM"},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ToUtf16(c.utf8), c.utf16);
        EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    }
}

// None of these may reach a call as some other name.
TEST(Utf16, MalformedUtf8IsNoName) {
    const struct {
        const char* what;
        std::string utf8;
    } cases[] = {
        {"lone continuation byte", "a\x80"},
        {"byte that leads nothing", "\xFF"},
        {"overlong slash", "\xC0\xAF"},
        {"overlong three-byte form", "\xE0\x80\xAF"},
        {"encoded surrogate", "\xED\xA0\x80"},
        {"past the highest code point", "\xF4\x90\x80\x80"},
        {"cut short", "\xE7\x9B"},
        {"zero inside", std::string("E:\\A\0B", 6)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(ToUtf16(c.utf8).has_value());
    }
}

TEST(Utf16, LoneSurrogatesFromTheSystemBecomeReplacementCharacters) {
    EXPECT_EQ(ToUtf8(std::wstring(L"a\xD800" L"b")), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(ToUtf8(std::wstring(L"\xDC00")), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::wstring(L"x\xD83D")), "x\xEF\xBF\xBD");
}

TEST(Utf16, SystemBuffersAreReadNoFurtherThanTheirCapacity) {
    const wchar_t unterminated[3] = {L'A', L'B', L'C'};
    EXPECT_EQ(ToUtf8(unterminated, 3), "ABC");
    const wchar_t terminated[4] = {L'A', L'\0', L'C', L'D'};
    EXPECT_EQ(ToUtf8(terminated, 4), "A");
}

}  // namespace
