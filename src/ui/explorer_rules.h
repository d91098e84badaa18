// The developer explorer's rules, kept apart from any widget so that both
// the dialog's models and the tests use the same decisions: which entries
// are shown, the texts of a list row, the row order, the tree items' flags
// and the path forms of the current folder.
//
// Texts are UTF-8 throughout, as the engine's names are.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fat/listing.h"

// ---- Tree items ------------------------------------------------------------

// The data word every tree item carries.
constexpr std::uint32_t TREE_ITEM_NO_LISTING = 0x01;     // selecting it only empties the list
constexpr std::uint32_t TREE_ITEM_VOLUME_FOLDER = 0x02;  // listed through the FAT engine
constexpr std::uint32_t TREE_ITEM_EXPANDED = 0x20;       // its children were built by its first expansion
constexpr std::uint32_t TREE_ITEM_ROOT = 0x40;           // ends the path walk; selecting it remounts

inline bool HasTreeFlag(std::uint32_t flags, std::uint32_t flag) { return (flags & flag) != 0; }

// One step of the walk from a tree item up to the top of the tree.
struct TreeItemStep {
    std::string text;
    std::uint32_t flags;
};

// The item's path: its text joined below the texts of its ancestors up to
// the nearest root item, with the root's separator between them. `chain`
// runs from the item itself upward. An item with no root above it has no
// path (""), so no command acts on a path that names nothing.
std::string BuildItemPath(const std::vector<TreeItemStep>& chain);

// A placeholder under a volume folder is sorted among its siblings and
// shows the open folder when selected; one under a local folder is put
// after the last sibling and keeps the closed folder.
bool PlaceholderIsSorted(std::uint32_t parent_flags);

// Tree siblings are ordered by name without regard to letter case.
bool TreeNameLess(std::string_view a, std::string_view b);

// What a refresh of a local folder item does to its children: the indexes
// of the children to delete and the names to add. A child is kept when its
// text equals a wanted name exactly (each wanted name keeps one child);
// every other child, placeholders included, goes.
struct ChildSync {
    std::vector<std::size_t> delete_indexes;  // ascending
    std::vector<std::string> add_names;       // in the order wanted
};
ChildSync SyncChildNames(const std::vector<std::string>& existing, const std::vector<std::string>& wanted);

// A local file of this name is shown in the tree beside the subfolders:
// developers open saved volume images this way.
constexpr std::string_view kVolumeImageFileName = "fsImg.bin";
bool IsTreeListedLocalEntry(std::string_view name, bool is_folder);

// ---- The current folder ------------------------------------------------------

constexpr char kDevicePathSeparator = '\\';
constexpr std::string_view kDevicePathPrefix = "PHYSICALDRIVE";

// "PHYSICALDRIVE%d\": the root of the FAT volume on a physical drive.
std::string DevicePathOfDrive(int drive_number);
// A path of the FAT volume: "PHYSICALDRIVE", the drive's digits, then the
// end or a backslash. Anything else, the empty path included, is local
// (a local folder that merely has "PHYSICALDRIVE" in its name stays local).
bool IsDeviceVolumePath(std::string_view path);
// The part before the first backslash ("PHYSICALDRIVE1").
std::string DriveNameOf(std::string_view device_path);
// The drive's number (all its digits), or none when the path is no device
// volume path or the number does not fit an int.
std::optional<int> PhysicalDriveNumberOf(std::string_view device_path);

// The computer's own first disk is never listed: it is far too big for the
// explorer, and holds no camera volume.
constexpr std::string_view kUnlistedDrivePath = "PHYSICALDRIVE0\\";
bool IsUnlistedDrivePath(std::string_view path);
// The info text shown when that drive is selected.
std::string UnlistedDriveInfoText(std::string_view info_text);

// The engine folder of a device volume path, "/" separated and ending in
// "/": "PHYSICALDRIVE1\" gives "/", "PHYSICALDRIVE1\DCIM\100" "/DCIM/100/".
std::string ToVolumePath(std::string_view device_path);
// A path as the engine takes it: UTF-8 from UTF-16, whole or not at all.
// None for an unpaired surrogate or a path longer than the engine holds;
// a path is never cut short, since a cut path names another entry.
std::optional<std::string> ToSingleByte(std::u16string_view path);
bool FitsEnginePath(std::string_view engine_path);
// What the info text says of a folder whose path is too long to list.
std::string PathTooLongText(std::size_t length);

// The text after the last separator of the path's own form (a backslash in
// a device volume path, the platform's separators in a local one); the
// whole path when it has none.
std::string LastPathComponent(std::string_view path);
// LastPathComponent, cut before its last "." when it has one.
std::string BaseNameWithoutExtension(std::string_view path);
// `folder` and `name` with the folder's separator between them, unless the
// folder already ends with one.
std::string JoinItemPath(std::string_view folder, std::string_view name);

// ---- Info text ---------------------------------------------------------------

// Every "&" doubled, for labels that take "&" as a mnemonic mark.
std::string DoubleAmpersands(std::string_view text);
// The identity of the disk behind the selected root, "&" doubled.
std::string DeviceVolumeInfoText(std::string_view disk_interface_path, std::string_view parent_device_id);
std::string LocalDriveInfoText(std::string_view disk_interface_path, std::string_view parent_device_id);

// ---- List rows ---------------------------------------------------------------

// One row of the list: its four texts, and what a command needs to act on it.
struct ExplorerRow {
    std::string name;
    std::string size_text;  // empty for a folder
    std::string type_text;
    std::string date_text;
    bool is_folder = false;
    std::uint64_t size_bytes = 0;
    // Volume rows: where the entry is, to open it again without a search.
    std::optional<FatEntryLocation> location;
};

constexpr std::string_view kVolumeFolderType = "File Folder";
constexpr std::string_view kVolumeFileType = "Unknown File";

// Names beginning with "." are never listed: ".", ".." and hidden files.
bool IsHiddenName(std::string_view name);
// The name of a listing record, up to its terminator.
std::string EntryName(const FatEntryInfo& entry);
bool IsListedFolder(const FatEntryInfo& entry);

// 1234567 as "1,234,567".
std::string FormatThousands(std::uint64_t number);
// Kilobytes rounded up, with thousands separators: "0KB", "1KB", "2KB".
std::string SizeText(std::uint64_t bytes);
std::string_view VolumeTypeText(bool is_folder);
// The type of a local entry when the platform names none: "文件夹" for a
// folder; "文件" after the text that follows the first "." of a file name.
std::string LocalFallbackTypeText(std::string_view name, bool is_folder);
// A local modification time as "YY-MM-DD HH:MM" in local time.
std::string LocalDateText(std::time_t modified);

// The row of a listing record, or none for a hidden name.
std::optional<ExplorerRow> VolumeRow(const FatEntryInfo& entry);
ExplorerRow LocalRow(std::string name, bool is_folder, std::uint64_t size_bytes, std::string type_text,
                     std::time_t modified);

// Folders before files; then by type, then by name, both without regard
// to letter case.
bool CompareListRows(const ExplorerRow& a, const ExplorerRow& b);
// Sorted once, keeping the listing order of rows that compare equal.
void SortListRows(std::vector<ExplorerRow>& rows);

// The listed rows of a folder's records, sorted.
std::vector<ExplorerRow> VolumeRows(const FatEntryInfoList& records);
bool HasFolderRow(const std::vector<ExplorerRow>& rows);

// The names of the folders a volume folder item gets as children, in
// listing order; one placeholder per such folder gives an item its expand
// button.
std::vector<std::string> ListedFolderNames(const FatEntryInfoList& records);
std::size_t FolderPlaceholderCount(const FatEntryInfoList& records);
