#include "texts/text_table.h"

#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace {

constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kTextEnd = u'\0';
constexpr std::u16string_view kKeyMarker = u"***";
// A line is read into a buffer of 1024 units, terminator included.
constexpr std::size_t kLineUnits = 1023;
constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out += static_cast<char16_t>(code_point);
        return;
    }
    code_point -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code_point >> 10));
    out += static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
}

// Bytes of the UTF-8 sequence a lead byte starts; 0 for no lead byte.
std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead >> 5) == 0x6) return 2;
    if ((lead >> 4) == 0xE) return 3;
    if ((lead >> 3) == 0x1E) return 4;
    return 0;
}

// One code point from UTF-8 at `pos`, advancing it; U+FFFD for a malformed,
// overlong or surrogate sequence (one byte is consumed then).
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t length = Utf8SequenceLength(lead);
    if (length == 1) return text[pos++];
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return kReplacementCharacter;
    }
    static constexpr unsigned char kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t code_point = lead & kLeadMask[length];
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kReplacementCharacter;
        }
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < kSmallest[length] || code_point > 0x10FFFF || IsHighSurrogate(code_point) ||
        IsLowSurrogate(code_point)) {
        ++pos;
        return kReplacementCharacter;
    }
    pos += length;
    return code_point;
}

// None when the file cannot be read to its end (a folder, a read error).
std::optional<std::u16string> ReadUtf16LeUnits(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<char> bytes;
    char block[4096];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        bytes.insert(bytes.end(), block, block + in.gcount());
        if (!in) break;
    }
    if (in.bad() || !in.eof()) return std::nullopt;
    std::u16string units;
    units.reserve(bytes.size() / 2);
    // A last odd byte is no whole unit and is not read.
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return units;
}

// Reads lines as a 1024-unit line buffer does: up to and including a line
// feed, at most 1023 units, and the text up to the first U+0000.
class LineReader {
public:
    explicit LineReader(std::u16string units) : units_(std::move(units)) {}

    std::optional<std::u16string> Next() {
        if (position_ >= units_.size()) return std::nullopt;
        std::size_t end = position_;
        while (end < units_.size() && end - position_ < kLineUnits) {
            if (units_[end++] == kLineFeed) break;
        }
        std::u16string line = units_.substr(position_, end - position_);
        position_ = end;
        ++line_number_;
        line.resize(std::min(line.size(), line.find(kTextEnd)));
        return line;
    }

    int LineNumber() const { return line_number_; }

private:
    std::u16string units_;
    std::size_t position_ = 0;
    int line_number_ = 0;
};

std::u16string KeyOfLine(const std::u16string& line) {
    const std::size_t marker = line.find(kKeyMarker);
    if (marker == std::u16string::npos) return line;
    return line.substr(marker + kKeyMarker.size());
}

TextTableLoad LoadReadableTextTable(const std::string& path, TextTable& table) {
    std::optional<std::u16string> units = ReadUtf16LeUnits(path);
    if (!units) return {TextTableStatus::Missing, 0};
    LineReader reader(std::move(*units));
    for (;;) {
        std::optional<std::u16string> key_line = reader.Next();
        if (!key_line) break;
        const int key_line_number = reader.LineNumber();
        std::optional<std::u16string> text_line = reader.Next();
        if (!text_line) break;
        if (!TrimLineEnd(*key_line)) return {TextTableStatus::FormatError, key_line_number};
        if (!TrimLineEnd(*text_line)) return {TextTableStatus::FormatError, reader.LineNumber()};
        table.Store(KeyOfLine(*key_line), *text_line);
    }
    return {TextTableStatus::Loaded, 0};
}

}  // namespace

void TextTable::Store(const std::u16string& key, const std::u16string& text) {
    texts_[key] = Utf16ToUtf8(text);
}

std::string TextTable::Lookup(std::string_view key) const {
    const auto found = texts_.find(Utf8ToUtf16(key));
    return found == texts_.end() ? std::string{} : found->second;
}


// A table that cannot be read counts as missing, whatever the reason; no
// exception of the stream or of memory leaves here.
TextTableLoad LoadTextTable(const std::string& path, TextTable& table) {
    try {
        return LoadReadableTextTable(path, table);
    } catch (const std::exception&) {
        return {TextTableStatus::Missing, 0};
    }
}

std::string TextTablePath(const std::string& gfx_directory) {
    return gfx_directory + "/" + kTextTableFileName;
}

std::string LookupText(const TextTable& table, std::string_view key) { return table.Lookup(key); }

bool TrimLineEnd(std::u16string& line) {
    while (!line.empty() && (line.back() == kCarriageReturn || line.back() == kLineFeed)) line.pop_back();
    return !line.empty();
}

std::string FormatWithoutArguments(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00));
        } else {
            AppendUtf8(out, IsHighSurrogate(unit) || IsLowSurrogate(unit) ? kReplacementCharacter : unit);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t pos = 0; pos < text.size();) AppendUtf16(out, DecodeUtf8(text, pos));
    return out;
}
