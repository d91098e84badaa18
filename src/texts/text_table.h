// The display texts of the update procedure, by key, from "OT.txt" in the
// GFX_DATA folder: UTF-16LE lines, a key line followed by its text line.
// Texts are handed out as UTF-8.
#pragma once

#include <map>
#include <string>
#include <string_view>

constexpr char kTextTableFileName[] = "OT.txt";
// Shown when the table's file does not open; the program then ends.
constexpr char kTextTableMissingText[] = "OT.TXT is missing";

// The keys the program looks up.
namespace text_key {
constexpr char kNotAdministrator[] = "OT0";
constexpr char kStartCaption[] = "OT1";
constexpr char kCameraNotFound[] = "OT2.1";
constexpr char kUpdateAgainQuestion[] = "OT2.2";
constexpr char kCameraRefused[] = "OT2.3";
constexpr char kNotEnoughSpace[] = "OT3.1";
constexpr char kFinishCaption[] = "OT7.1";
constexpr char kWindowTitle[] = "OT8";
}  // namespace text_key

// Keys compare by their 16-bit units, one after the other (ordinal).
class TextTable {
public:
    // Stores a text, replacing one stored before under the same key.
    void Store(const std::u16string& key, const std::u16string& text);
    // The text stored under a UTF-8 key; empty when there is none.
    std::string Lookup(std::string_view key) const;
    std::size_t Size() const { return texts_.size(); }

private:
    std::map<std::u16string, std::string> texts_;
};

enum class TextTableStatus {
    Loaded,
    Missing,      // the file does not open or read; the table stays empty
    FormatError,  // a blank line; the pairs before it were kept
};

struct TextTableLoad {
    TextTableStatus status;
    int blank_line;  // 1-based line of the format error, else 0
};

// Fills the table from a file by the rules of the format: lines end after a
// line feed or after 1023 units, a line's text ends at its first U+0000, a
// key line's key is what follows its first "***" (or the whole line), and a
// key line without a text line after it stores nothing.
TextTableLoad LoadTextTable(const std::string& path, TextTable& table);

// "<gfx_directory>/OT.txt".
std::string TextTablePath(const std::string& gfx_directory);

// The text under a key, or an empty text when the key is absent.
std::string LookupText(const TextTable& table, std::string_view key);

// Removes every CR and LF unit at the end of the line. False when the line is
// empty or becomes empty.
bool TrimLineEnd(std::u16string& line);

// A text used as a format string without arguments: "%%" shows as "%".
std::string FormatWithoutArguments(const std::string& text);

// Conversions between UTF-16 and UTF-8. Surrogate pairs become one code
// point; lone surrogates and malformed bytes become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
