#include "ui/explorer_rules.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "fat/case_fold.h"
#include "fat/path.h"
#include "ui/volume_text.h"

namespace {

constexpr std::string_view kUnlistedDriveNote = "\r\nToo many file to expand, it can't list all";
constexpr std::string_view kInfoInterfaceLabel = "Psp - ";
constexpr std::string_view kInfoParentLabel = "\r\n\r\nSp - ";
constexpr std::string_view kInfoDeviceEnd = "\r\n";
constexpr std::string_view kLocalFolderType = "文件夹";
constexpr std::string_view kLocalFileType = "文件";
constexpr std::string_view kSizeUnit = "KB";
constexpr std::uint64_t kBytesPerKilobyte = 1024;
constexpr std::size_t kThousandsGroup = 3;

#ifdef _WIN32
constexpr std::string_view kLocalSeparators = "\\/";
#else
constexpr std::string_view kLocalSeparators = "/";
#endif

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The drive's digits after the prefix; empty when the path has none.
std::string_view DriveDigits(std::string_view path) {
    if (!StartsWith(path, kDevicePathPrefix)) return {};
    const std::string_view rest = path.substr(kDevicePathPrefix.size());
    const std::size_t end = rest.find_first_not_of("0123456789");
    return rest.substr(0, end);
}

// Code points of UTF-8 text, case folded as FAT names are; a byte that
// starts no valid sequence stands for itself, so any text has a key.
std::vector<std::uint32_t> FoldedKey(std::string_view text) {
    std::vector<std::uint32_t> key;
    key.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!valid) {
            key.push_back(lead);
            ++i;
            continue;
        }
        key.push_back(FatFoldCodePoint(code));
        i += length;
    }
    return key;
}

int CompareFolded(std::string_view a, std::string_view b) {
    const std::vector<std::uint32_t> ka = FoldedKey(a);
    const std::vector<std::uint32_t> kb = FoldedKey(b);
    if (ka < kb) return -1;
    return kb < ka ? 1 : 0;
}

std::string IdentityText(std::string_view disk_interface_path, std::string_view parent_device_id) {
    std::string text(kInfoInterfaceLabel);
    text += disk_interface_path;
    text += kInfoParentLabel;
    text += parent_device_id;
    return DoubleAmpersands(text);
}

char SeparatorOfRoot(std::string_view root_text) {
    return !root_text.empty() && root_text.back() == kDevicePathSeparator ? kDevicePathSeparator : '/';
}

bool EndsWithSeparator(std::string_view text) {
    return !text.empty() && (text.back() == kDevicePathSeparator || text.back() == '/');
}

}  // namespace

// ---- Tree items ------------------------------------------------------------

std::string BuildItemPath(const std::vector<TreeItemStep>& chain) {
    const auto root = std::find_if(chain.begin(), chain.end(),
                                   [](const TreeItemStep& step) { return HasTreeFlag(step.flags, TREE_ITEM_ROOT); });
    if (root == chain.end()) return {};
    std::string path = root->text;
    const char separator = SeparatorOfRoot(root->text);
    // The chain runs upward, so the root's descendants follow it in reverse.
    for (auto step = std::make_reverse_iterator(root); step != chain.rend(); ++step) {
        if (path.empty() || path.back() != separator) path += separator;
        path += step->text;
    }
    return path;
}

bool PlaceholderIsSorted(std::uint32_t parent_flags) { return HasTreeFlag(parent_flags, TREE_ITEM_VOLUME_FOLDER); }

bool TreeNameLess(std::string_view a, std::string_view b) { return CompareFolded(a, b) < 0; }

ChildSync SyncChildNames(const std::vector<std::string>& existing, const std::vector<std::string>& wanted) {
    ChildSync sync;
    std::vector<std::string> remaining = wanted;
    for (std::size_t index = 0; index < existing.size(); ++index) {
        const auto match = std::find(remaining.begin(), remaining.end(), existing[index]);
        if (match == remaining.end()) {
            sync.delete_indexes.push_back(index);
        } else {
            remaining.erase(match);
        }
    }
    sync.add_names = std::move(remaining);
    return sync;
}

bool IsTreeListedLocalEntry(std::string_view name, bool is_folder) {
    if (name == "." || name == "..") return false;
    return is_folder || name == kVolumeImageFileName;
}

// ---- The current folder ------------------------------------------------------

std::string DevicePathOfDrive(int drive_number) {
    return std::string(kDevicePathPrefix) + std::to_string(drive_number) + kDevicePathSeparator;
}

bool IsDeviceVolumePath(std::string_view path) {
    const std::string_view digits = DriveDigits(path);
    if (digits.empty()) return false;
    const std::size_t end = kDevicePathPrefix.size() + digits.size();
    return end == path.size() || path[end] == kDevicePathSeparator;
}

std::string DriveNameOf(std::string_view device_path) {
    return std::string(device_path.substr(0, device_path.find(kDevicePathSeparator)));
}

std::optional<int> PhysicalDriveNumberOf(std::string_view device_path) {
    if (!IsDeviceVolumePath(device_path)) return std::nullopt;
    const std::string_view digits = DriveDigits(device_path);
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return number;
}

bool IsUnlistedDrivePath(std::string_view path) { return path == kUnlistedDrivePath; }

std::string UnlistedDriveInfoText(std::string_view info_text) {
    return std::string(info_text) + std::string(kUnlistedDriveNote);
}

std::string ToVolumePath(std::string_view device_path) {
    std::string path(device_path);
    if (path.empty() || path.back() != kDevicePathSeparator) path += kDevicePathSeparator;
    std::replace(path.begin(), path.end(), kDevicePathSeparator, '/');
    return path.substr(path.find('/'));
}

std::optional<std::string> ToSingleByte(std::u16string_view path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        std::uint32_t code = path[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 1 >= path.size() || path[i + 1] < 0xDC00 || path[i + 1] > 0xDFFF) return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (path[++i] - 0xDC00u);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return std::nullopt;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    if (!FitsEnginePath(out)) return std::nullopt;
    return out;
}

// The engine's path buffers keep a terminator.
bool FitsEnginePath(std::string_view engine_path) { return engine_path.size() < kFatPathBufferSize; }

std::string PathTooLongText(std::size_t length) {
    return "This folder's path is " + std::to_string(length) + " bytes long; the volume's engine takes at most " +
           std::to_string(kFatPathBufferSize - 1) + ", so it is not listed.";
}

std::string LastPathComponent(std::string_view path) {
    const std::string_view separators =
        IsDeviceVolumePath(path) ? std::string_view(&kDevicePathSeparator, 1) : kLocalSeparators;
    const std::size_t last = path.find_last_of(separators);
    return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string BaseNameWithoutExtension(std::string_view path) {
    std::string name = LastPathComponent(path);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

std::string JoinItemPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!EndsWithSeparator(path)) path += IsDeviceVolumePath(folder) ? kDevicePathSeparator : kLocalSeparators.front();
    path += name;
    return path;
}

// ---- Info text ---------------------------------------------------------------

std::string DoubleAmpersands(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '&') out += '&';
    }
    return out;
}

std::string DeviceVolumeInfoText(std::string_view disk_interface_path, std::string_view parent_device_id) {
    return IdentityText(disk_interface_path, parent_device_id) + std::string(kInfoDeviceEnd);
}

std::string LocalDriveInfoText(std::string_view disk_interface_path, std::string_view parent_device_id) {
    return IdentityText(disk_interface_path, parent_device_id);
}

// ---- List rows ---------------------------------------------------------------

bool IsHiddenName(std::string_view name) { return !name.empty() && name.front() == '.'; }

std::string EntryName(const FatEntryInfo& entry) { return std::string(entry.name, strnlen(entry.name, sizeof entry.name)); }

bool IsListedFolder(const FatEntryInfo& entry) { return entry.is_directory && !IsHiddenName(EntryName(entry)); }

std::string FormatThousands(std::uint64_t number) {
    const std::string digits = std::to_string(number);
    std::string out;
    out.reserve(digits.size() + digits.size() / kThousandsGroup);
    const std::size_t lead = (digits.size() - 1) % kThousandsGroup + 1;
    out.append(digits, 0, lead);
    for (std::size_t group = lead; group < digits.size(); group += kThousandsGroup) {
        out += ',';
        out.append(digits, group, kThousandsGroup);
    }
    return out;
}

std::string SizeText(std::uint64_t bytes) {
    const std::uint64_t kilobytes = bytes == 0 ? 0 : (bytes - 1) / kBytesPerKilobyte + 1;
    return FormatThousands(kilobytes) + std::string(kSizeUnit);
}

std::string_view VolumeTypeText(bool is_folder) { return is_folder ? kVolumeFolderType : kVolumeFileType; }

std::string LocalFallbackTypeText(std::string_view name, bool is_folder) {
    if (is_folder) return std::string(kLocalFolderType);
    const std::size_t dot = name.find('.');
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    return std::string(extension) + std::string(kLocalFileType);
}

std::string LocalDateText(std::time_t modified) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &modified);
#else
    localtime_r(&modified, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%y-%m-%d %H:%M", &local);
    return text;
}

std::optional<ExplorerRow> VolumeRow(const FatEntryInfo& entry) {
    ExplorerRow row;
    row.name = EntryName(entry);
    if (IsHiddenName(row.name)) return std::nullopt;
    row.is_folder = entry.is_directory != 0;
    row.type_text = VolumeTypeText(row.is_folder);
    if (!row.is_folder) {
        row.size_bytes = entry.size;
        row.size_text = SizeText(entry.size);
    }
    row.date_text = VolumeDateText(entry.write_date, entry.write_time);
    row.location = entry.location;
    return row;
}

ExplorerRow LocalRow(std::string name, bool is_folder, std::uint64_t size_bytes, std::string type_text,
                     std::time_t modified) {
    ExplorerRow row;
    row.is_folder = is_folder;
    row.type_text = type_text.empty() ? LocalFallbackTypeText(name, is_folder) : std::move(type_text);
    row.name = std::move(name);
    if (!is_folder) {
        // The whole length: a file of 4 GiB or more keeps its true size.
        row.size_bytes = size_bytes;
        row.size_text = SizeText(size_bytes);
    }
    row.date_text = LocalDateText(modified);
    return row;
}

bool CompareListRows(const ExplorerRow& a, const ExplorerRow& b) {
    if (a.is_folder != b.is_folder) return a.is_folder;
    if (const int by_type = CompareFolded(a.type_text, b.type_text); by_type != 0) return by_type < 0;
    return CompareFolded(a.name, b.name) < 0;
}

void SortListRows(std::vector<ExplorerRow>& rows) { std::stable_sort(rows.begin(), rows.end(), CompareListRows); }

std::vector<ExplorerRow> VolumeRows(const FatEntryInfoList& records) {
    std::vector<ExplorerRow> rows;
    rows.reserve(records.size());
    for (const FatEntryInfo& entry : records) {
        if (std::optional<ExplorerRow> row = VolumeRow(entry)) rows.push_back(std::move(*row));
    }
    SortListRows(rows);
    return rows;
}

bool HasFolderRow(const std::vector<ExplorerRow>& rows) {
    return std::any_of(rows.begin(), rows.end(), [](const ExplorerRow& row) { return row.is_folder; });
}

std::vector<std::string> ListedFolderNames(const FatEntryInfoList& records) {
    std::vector<std::string> names;
    for (const FatEntryInfo& entry : records) {
        if (IsListedFolder(entry)) names.push_back(EntryName(entry));
    }
    return names;
}

std::size_t FolderPlaceholderCount(const FatEntryInfoList& records) {
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), IsListedFolder));
}
