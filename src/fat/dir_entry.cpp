#include "fat/dir_entry.h"

#include <cstring>
#include <initializer_list>
#include <utility>

#include "fat/boot_sector.h"

using namespace fatentry;

namespace {

constexpr std::uint8_t kSpace = ' ';
constexpr std::uint8_t kTilde = '~';
constexpr std::uint8_t kReplacement = kFatShortNameReplacement;
constexpr std::uint32_t kMaxTailNumber = 99999;
// Characters an 8.3 name may hold besides letters and digits.
constexpr char kShortNamePunctuation[] = "!#$%&'()-@^_`{}~";

constexpr std::uint32_t kStampLength = 14;
constexpr int kStampYear = 0, kStampMonth = 3, kStampDay = 6, kStampHour = 9, kStampMinute = 12;
constexpr int kStampYearPivot = 80;  // two-digit years from 80 are 1980 ..

bool IsUpperAsciiLetter(std::uint8_t c) { return c >= 'A' && c <= 'Z'; }
bool IsLowerAsciiLetter(std::uint8_t c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

std::uint8_t ToUpperAscii(std::uint8_t c) {
    return IsLowerAsciiLetter(c) ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}
char ToLowerAscii(std::uint8_t c) {
    return static_cast<char>(IsUpperAsciiLetter(c) ? c - 'A' + 'a' : c);
}

bool IsBlank(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (bytes[i] != kSpace) return false;
    return true;
}

}  // namespace

bool FatIsDirectoryEntry(const std::uint8_t* entry) { return (entry[kAttribute] & kDirectory) != 0; }

bool FatIsFileEntry(const std::uint8_t* entry) {
    return (entry[kAttribute] & (kDirectory | kVolumeLabel)) == 0;
}

std::uint32_t FatEntryFirstCluster(const std::uint8_t* entry) {
    return (std::uint32_t{FatLoad16(entry + kClusterHigh)} << 16) | FatLoad16(entry + kClusterLow);
}

void FatSetEntryFirstCluster(std::uint8_t* entry, std::uint32_t cluster) {
    FatStore16(entry + kClusterHigh, static_cast<std::uint16_t>(cluster >> 16));
    FatStore16(entry + kClusterLow, static_cast<std::uint16_t>(cluster));
}

std::uint32_t FatEntrySizeField(const std::uint8_t* entry) { return FatLoad32(entry + kSize); }

std::uint8_t FatShortNameChecksum(const std::uint8_t* short_name) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < kFatShortNameSize; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + short_name[i]);
    return sum;
}

std::uint8_t FatShortNameChar(std::uint8_t byte) {
    if (IsLowerAsciiLetter(byte)) return ToUpperAscii(byte);
    if (IsUpperAsciiLetter(byte) || IsDigit(byte)) return byte;
    if (byte != 0 && std::strchr(kShortNamePunctuation, byte)) return byte;
    return kReplacement;
}

namespace {

// Whether one part of a name (base or extension) fits its field as it is:
// no longer than the field, every character one an 8.3 name holds, and
// letters all of one case (which the long name then carries).
bool PartIsExact(const char* begin, const char* end, std::size_t field) {
    if (static_cast<std::size_t>(end - begin) > field) return false;
    bool lower = false, upper = false;
    for (const char* p = begin; p < end; ++p) {
        const auto c = static_cast<std::uint8_t>(*p);
        if (FatShortNameChar(c) == kReplacement && c != kReplacement) return false;
        lower = lower || IsLowerAsciiLetter(c);
        upper = upper || IsUpperAsciiLetter(c);
    }
    return !(lower && upper);
}

bool NameIsExactShortName(const char* name) {
    const char* last_dot = std::strrchr(name, '.');
    const char* end = name + std::strlen(name);
    if (!last_dot) return end != name && PartIsExact(name, end, kFatShortBaseSize);
    // A dot in the base, a leading dot or a trailing one cannot be kept.
    if (last_dot == name || last_dot + 1 == end || std::memchr(name, '.', last_dot - name)) return false;
    return PartIsExact(name, last_dot, kFatShortBaseSize) && PartIsExact(last_dot + 1, end, kFatShortExtSize);
}

}  // namespace

int FatMakeShortName(const char* long_name, std::uint8_t* short_name, bool* exact) {
    if (!long_name || !*long_name) return 0;
    if (std::strcmp(long_name, ".") == 0 || std::strcmp(long_name, "..") == 0) return 0;
    if (exact) *exact = NameIsExactShortName(long_name);
    // A leading dot cannot start a short name; the rest of the name stands in.
    while (*long_name == '.') ++long_name;
    std::memset(short_name, kSpace, kFatShortNameSize);
    const char* last_dot = std::strrchr(long_name, '.');
    const char* base_end = last_dot ? last_dot : long_name + std::strlen(long_name);
    if (last_dot) {
        std::size_t stored = 0;
        for (const char* p = last_dot + 1; *p && stored < kFatShortExtSize; ++p) {
            if (*p == ' ') continue;
            short_name[kFatShortBaseSize + stored++] = FatShortNameChar(static_cast<std::uint8_t>(*p));
        }
    }
    std::size_t stored = 0;
    for (const char* p = long_name; p < base_end && stored < kFatShortBaseSize; ++p) {
        if (*p == ' ' || *p == '.') continue;
        short_name[stored++] = FatShortNameChar(static_cast<std::uint8_t>(*p));
    }
    if (stored == 0) short_name[0] = kReplacement;
    return 1;
}

namespace {

// Characters of the base before its fill spaces.
std::size_t BaseLength(const std::uint8_t* short_name) {
    std::size_t length = kFatShortBaseSize;
    while (length > 0 && short_name[length - 1] == kSpace) --length;
    return length;
}

}  // namespace

// The tail follows the base directly: a tail behind fill spaces ("AB    ~1")
// is a short name that checkers reject and repairers rename.
int FatAddNumericTail(std::uint32_t number, const std::uint8_t* base, std::uint8_t* out) {
    if (number > kMaxTailNumber || number == 0) return 0;
    std::memcpy(out, base, kFatShortNameSize);
    char digits[8];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number);
    std::size_t at = BaseLength(base);
    if (at + count + 1 > kFatShortBaseSize) at = kFatShortBaseSize - count - 1;
    out[at++] = kTilde;
    while (count) out[at++] = static_cast<std::uint8_t>(digits[--count]);
    while (at < kFatShortBaseSize) out[at++] = kSpace;
    return 1;
}

std::uint32_t FatNumericTailOf(const std::uint8_t* short_name) {
    const std::size_t length = BaseLength(short_name);
    std::uint32_t number = 0, scale = 1;
    for (std::size_t i = length; i-- > 1;) {
        const std::uint8_t c = short_name[i];
        if (c == kTilde) return (i + 1 < length && number <= kMaxTailNumber) ? number : 0;
        if (!IsDigit(c) || scale > kMaxTailNumber) return 0;
        number += (c - '0') * scale;
        scale *= 10;
    }
    return 0;
}

void FatShortNameDotForm(const std::uint8_t* short_name, char* out) {
    for (std::size_t i = 0; i < kFatShortBaseSize; ++i) out[i] = FatShortNameShownChar(short_name[i]);
    const bool has_extension = !IsBlank(short_name + kFatShortBaseSize, kFatShortExtSize);
    out[kFatShortBaseSize] = (has_extension && short_name[0] != kDot) ? '.' : ' ';
    for (std::size_t i = 0; i < kFatShortExtSize; ++i)
        out[kFatShortBaseSize + 1 + i] = FatShortNameShownChar(short_name[kFatShortBaseSize + i]);
    out[kFatDotFormSize - 1] = '\0';
}

void FatShortNameListingForm(const std::uint8_t* short_name, char* out) {
    char dot_form[kFatDotFormSize];
    FatShortNameDotForm(short_name, dot_form);
    std::size_t length = 0;
    for (std::size_t i = 0; i + 1 < kFatDotFormSize; ++i) {
        if (dot_form[i] == ' ') continue;
        out[length++] = ToLowerAscii(static_cast<std::uint8_t>(dot_form[i]));
    }
    out[length] = '\0';
}

namespace {

constexpr int kFatFirstYear = 1980;
constexpr int kFatLastYear = 2107;
constexpr std::size_t kLongStampLength = 19;  // "%Y-%m-%d %H:%M:%S"

bool Digits(const char* text, std::size_t at, std::size_t count, int* value) {
    *value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<std::uint8_t>(text[at + i]);
        if (!IsDigit(c)) return false;
        *value = *value * 10 + (c - '0');
    }
    return true;
}

bool Separators(const char* text, std::initializer_list<std::pair<std::size_t, char>> expected) {
    for (const auto& [at, c] : expected)
        if (text[at] != c) return false;
    return true;
}

// The two stamp forms into a broken-down time; false when malformed.
bool ParseStampText(const char* stamp, std::tm* time) {
    const std::size_t length = std::strlen(stamp);
    int year, month, day, hour, minute, second = 0;
    if (length == kLongStampLength) {
        if (!Digits(stamp, 0, 4, &year) || !Digits(stamp, 5, 2, &month) || !Digits(stamp, 8, 2, &day) ||
            !Digits(stamp, 11, 2, &hour) || !Digits(stamp, 14, 2, &minute) || !Digits(stamp, 17, 2, &second) ||
            !Separators(stamp, {{4, '-'}, {7, '-'}, {10, ' '}, {13, ':'}, {16, ':'}}))
            return false;
    } else if (length >= kStampLength) {
        if (!Digits(stamp, kStampYear, 2, &year) || !Digits(stamp, kStampMonth, 2, &month) ||
            !Digits(stamp, kStampDay, 2, &day) || !Digits(stamp, kStampHour, 2, &hour) ||
            !Digits(stamp, kStampMinute, 2, &minute))
            return false;
        year += year < kStampYearPivot ? 2000 : 1900;
    } else {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return false;
    *time = std::tm{};
    time->tm_year = year - 1900;
    time->tm_mon = month - 1;
    time->tm_mday = day;
    time->tm_hour = hour;
    time->tm_min = minute;
    time->tm_sec = second;
    return true;
}

}  // namespace

FatStamp FatParseStamp(const char* stamp) {
    std::tm time;
    if (!stamp || !ParseStampText(stamp, &time)) return FatStampNow();
    return FatStampFromTime(time);
}

FatStamp FatStampFromTime(const std::tm& time) {
    const int year = time.tm_year + 1900;
    if (year < kFatFirstYear) return FatStamp{0, kDefaultDate};
    if (year > kFatLastYear) {
        // 2107-12-31 23:59:58
        return FatStamp{static_cast<std::uint16_t>(23 << 11 | 59 << 5 | 29),
                        static_cast<std::uint16_t>((kFatLastYear - kFatFirstYear) << 9 | 12 << 5 | 31)};
    }
    const int second = time.tm_sec > 59 ? 59 : time.tm_sec;  // a leap second
    return FatStamp{static_cast<std::uint16_t>(time.tm_hour << 11 | time.tm_min << 5 | second / 2),
                    static_cast<std::uint16_t>((year - kFatFirstYear) << 9 | (time.tm_mon + 1) << 5 | time.tm_mday)};
}

FatStamp FatStampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || !localtime_r(&now, &local)) return FatStamp{0, kDefaultDate};
    return FatStampFromTime(local);
}

void FatFillShortEntry(std::uint8_t* entry, const std::uint8_t* short_name, std::uint8_t attribute,
                       std::uint32_t first_cluster, const FatStamp& stamp) {
    std::memset(entry, 0, kFatEntrySize);
    std::memcpy(entry + kName, short_name, kFatShortNameSize);
    entry[kAttribute] = attribute;
    FatStore16(entry + kCreateTime, stamp.time);
    FatStore16(entry + kCreateDate, stamp.date);
    FatStore16(entry + kAccessDate, stamp.date);
    FatSetEntryFirstCluster(entry, first_cluster);
    FatStore16(entry + kWriteTime, stamp.time);
    FatStore16(entry + kWriteDate, stamp.date);
}
