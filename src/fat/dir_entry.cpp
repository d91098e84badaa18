#include "fat/dir_entry.h"

#include <cstring>

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

bool TwoDigits(const char* text, int at, int* value) {
    const auto hi = static_cast<std::uint8_t>(text[at]);
    const auto lo = static_cast<std::uint8_t>(text[at + 1]);
    if (!IsDigit(hi) || !IsDigit(lo)) return false;
    *value = (hi - '0') * 10 + (lo - '0');
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

int FatMakeShortName(const char* long_name, std::uint8_t* short_name) {
    if (!long_name || !*long_name) return 0;
    if (std::strcmp(long_name, ".") == 0 || std::strcmp(long_name, "..") == 0) return 0;
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

int FatAddNumericTail(std::uint32_t number, const std::uint8_t* base, std::uint8_t* out) {
    if (number > kMaxTailNumber) return 0;
    std::memcpy(out, base, kFatShortNameSize);
    char digits[8];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number);
    std::size_t at = kFatShortBaseSize - static_cast<std::size_t>(count) - 1;
    out[at++] = kTilde;
    while (count) out[at++] = static_cast<std::uint8_t>(digits[--count]);
    return 1;
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

FatStamp FatParseStamp(const char* stamp) {
    const FatStamp none{0, kDefaultDate};
    if (!stamp || std::strlen(stamp) < kStampLength) return none;
    int year, month, day, hour, minute;
    if (!TwoDigits(stamp, kStampYear, &year) || !TwoDigits(stamp, kStampMonth, &month) ||
        !TwoDigits(stamp, kStampDay, &day) || !TwoDigits(stamp, kStampHour, &hour) ||
        !TwoDigits(stamp, kStampMinute, &minute))
        return none;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return none;
    const int year_offset = year < kStampYearPivot ? year + 20 : year - kStampYearPivot;
    return FatStamp{static_cast<std::uint16_t>(hour << 11 | minute << 5),
                    static_cast<std::uint16_t>(year_offset << 9 | month << 5 | day)};
}

void FatFillShortEntry(std::uint8_t* entry, const std::uint8_t* short_name, std::uint8_t attribute,
                       std::uint32_t first_cluster, const FatStamp& stamp) {
    std::memset(entry, 0, kFatEntrySize);
    std::memcpy(entry + kName, short_name, kFatShortNameSize);
    entry[kAttribute] = attribute;
    FatStore16(entry + kCreateDate, kDefaultDate);
    FatStore16(entry + kAccessDate, kDefaultDate);
    FatSetEntryFirstCluster(entry, first_cluster);
    FatStore16(entry + kWriteTime, stamp.time);
    FatStore16(entry + kWriteDate, stamp.date);
}
