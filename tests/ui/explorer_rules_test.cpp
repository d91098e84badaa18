// The explorer's rules without a window: which entries a folder shows and
// how, the row order, the tree's paths and flags, the info texts.
#include "ui/explorer_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fat/path.h"

namespace {

struct Record {
    std::string name;
    bool folder;
    std::uint32_t size;
};

FatEntryInfo Entry(const Record& record) {
    FatEntryInfo entry{};
    std::strncpy(entry.name, record.name.c_str(), sizeof entry.name - 1);
    entry.is_directory = record.folder ? 1 : 0;
    entry.size = record.size;
    return entry;
}

FatEntryInfoList Entries(const std::vector<Record>& records) {
    FatEntryInfoList list;
    for (const Record& record : records) list.push_back(Entry(record));
    return list;
}

std::vector<std::string> Column(const std::vector<ExplorerRow>& rows, std::string ExplorerRow::*field) {
    std::vector<std::string> texts;
    for (const ExplorerRow& row : rows) texts.push_back(row.*field);
    return texts;
}

struct VolumeFolderCase {
    const char* what;
    std::vector<Record> records;
    std::vector<std::string> names;
    std::vector<std::string> sizes;
    std::vector<std::string> types;
    bool shows_folder;
    std::size_t placeholders;
};

TEST(ExplorerRules, VolumeFolderRowsHideDotNamesAndPutFoldersFirst) {
    const std::vector<VolumeFolderCase> cases = {
        {"a folder, two files and a hidden file",
         {{"b.bin", false, 1025}, {".x", false, 7}, {"DCIM", true, 0}, {"a.txt", false, 0}},
         {"DCIM", "a.txt", "b.bin"},
         {"", "0KB", "2KB"},
         {"File Folder", "Unknown File", "Unknown File"},
         true,
         1},
        {"files only", {{"z.jpg", false, 1}, {"y.jpg", false, 1024}}, {"y.jpg", "z.jpg"}, {"1KB", "1KB"},
         {"Unknown File", "Unknown File"}, false, 0},
        {"dot folders and a hidden folder", {{".", true, 0}, {"..", true, 0}, {".trash", true, 0}, {"f", false, 0}},
         {"f"}, {"0KB"}, {"Unknown File"}, false, 0},
        {"three subfolders", {{"C", true, 0}, {"a", true, 0}, {"B", true, 0}, {"x.txt", false, 3}},
         {"a", "B", "C", "x.txt"}, {"", "", "", "1KB"},
         {"File Folder", "File Folder", "File Folder", "Unknown File"}, true, 3},
        {"nothing listed", {}, {}, {}, {}, false, 0},
    };
    for (const VolumeFolderCase& c : cases) {
        SCOPED_TRACE(c.what);
        const FatEntryInfoList records = Entries(c.records);
        const std::vector<ExplorerRow> rows = VolumeRows(records);
        EXPECT_EQ(Column(rows, &ExplorerRow::name), c.names);
        EXPECT_EQ(Column(rows, &ExplorerRow::size_text), c.sizes);
        EXPECT_EQ(Column(rows, &ExplorerRow::type_text), c.types);
        EXPECT_EQ(HasFolderRow(rows), c.shows_folder);
        EXPECT_EQ(FolderPlaceholderCount(records), c.placeholders);
        EXPECT_EQ(ListedFolderNames(records).size(), c.placeholders);
    }
}

TEST(ExplorerRules, VolumeRowKeepsWhereTheEntryIsAndItsDate) {
    FatEntryInfo entry = Entry({"photo.jpg", false, 4096});
    entry.write_date = static_cast<std::uint16_t>(((2013 - 1980) << 9) | (5 << 5) | 1);
    entry.write_time = static_cast<std::uint16_t>((10 << 11) | (30 << 5) | (58 / 2));
    entry.location = FatEntryLocation{9, 2, 5, 33, {'P', 'H', 'O', 'T', 'O', ' ', ' ', ' ', 'J', 'P', 'G'}};
    const std::optional<ExplorerRow> row = VolumeRow(entry);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->date_text, "13-05-01 10:30");
    EXPECT_EQ(row->size_bytes, 4096u);
    ASSERT_TRUE(row->location.has_value());
    EXPECT_EQ(row->location->parent_cluster, 9u);
    EXPECT_EQ(row->location->entry_sector, 2u);
    EXPECT_EQ(row->location->entry_slot, 5u);
    EXPECT_EQ(row->location->first_cluster, 33u);
    EXPECT_EQ(std::memcmp(row->location->short_name, "PHOTO   JPG", 11), 0);
    EXPECT_FALSE(VolumeRow(Entry({".hidden", false, 1})).has_value());
}

TEST(ExplorerRules, FormatThousandsGroupsEveryThreeDigits) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {0, "0"},
        {7, "7"},
        {999, "999"},
        {1000, "1,000"},
        {100000, "100,000"},
        {1234567, "1,234,567"},
        {1000000000, "1,000,000,000"},
        {18446744073709551615ull, "18,446,744,073,709,551,615"},
    };
    for (const auto& [number, text] : cases) EXPECT_EQ(FormatThousands(number), text) << number;
}

TEST(ExplorerRules, SizeTextIsKilobytesRoundedUp) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {0, "0KB"},
        {1, "1KB"},
        {1024, "1KB"},
        {1025, "2KB"},
        {1500000, "1,465KB"},
        {5ull << 30, "5,242,880KB"},  // past 4 GiB: a local file's whole length counts
        {18446744073709551615ull, "18,014,398,509,481,984KB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

struct SortCase {
    const char* what;
    std::vector<ExplorerRow> rows;  // in listing order
    std::vector<std::string> names;  // as sorted
};

ExplorerRow Row(std::string name, bool folder, std::string type) {
    ExplorerRow row;
    row.name = std::move(name);
    row.is_folder = folder;
    row.type_text = std::move(type);
    if (!folder) row.size_text = "1KB";
    return row;
}

TEST(ExplorerRules, RowsSortFoldersFirstThenByTypeThenByNameIgnoringCase) {
    const std::vector<SortCase> cases = {
        {"folders and files never interleave",
         {Row("b.txt", false, "Unknown File"), Row("Z", true, "File Folder"), Row("a.txt", false, "Unknown File"),
          Row("a", true, "File Folder")},
         {"a", "Z", "a.txt", "b.txt"}},
        {"names differing in case only keep their listing order",
         {Row("readme.TXT", false, "Unknown File"), Row("README.txt", false, "Unknown File"),
          Row("Readme.txt", false, "Unknown File")},
         {"readme.TXT", "README.txt", "Readme.txt"}},
        {"letters outside ASCII fold too",
         {Row("\xC3\xA4.txt", false, "Unknown File"), Row("\xC3\x84.txt", false, "Unknown File"),
          Row("b.txt", false, "Unknown File")},
         {"b.txt", "\xC3\xA4.txt", "\xC3\x84.txt"}},
        {"type before name among local files",
         {Row("a.zip", false, "zip File"), Row("b.jpg", false, "JPEG image"), Row("c.doc", false, "Document")},
         {"c.doc", "b.jpg", "a.zip"}},
        {"underscore sorts after letters, as upper case compares",
         {Row("_x", false, "Unknown File"), Row("Y", false, "Unknown File")},
         {"Y", "_x"}},
    };
    for (const SortCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ExplorerRow> rows = c.rows;
        SortListRows(rows);
        EXPECT_EQ(Column(rows, &ExplorerRow::name), c.names);
    }
    EXPECT_FALSE(CompareListRows(Row("ABC", false, "T"), Row("abc", false, "t")));
    EXPECT_FALSE(CompareListRows(Row("abc", false, "t"), Row("ABC", false, "T")));
}

std::vector<TreeItemStep> Chain(std::vector<TreeItemStep> from_item_upward) { return from_item_upward; }

TEST(ExplorerRules, BuildItemPathJoinsTextsUpToTheNearestRoot) {
    const std::uint32_t volume_root = TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER;
    const std::vector<std::pair<std::vector<TreeItemStep>, std::string>> cases = {
        {Chain({{"PHYSICALDRIVE1\\", volume_root}}), "PHYSICALDRIVE1\\"},
        {Chain({{"DCIM", TREE_ITEM_VOLUME_FOLDER}, {"PHYSICALDRIVE1\\", volume_root}}), "PHYSICALDRIVE1\\DCIM"},
        {Chain({{"100", TREE_ITEM_VOLUME_FOLDER},
                {"DCIM", TREE_ITEM_VOLUME_FOLDER | TREE_ITEM_EXPANDED},
                {"PHYSICALDRIVE1\\", volume_root}}),
         "PHYSICALDRIVE1\\DCIM\\100"},
        {Chain({{"Photos", 0}, {"C:\\", TREE_ITEM_ROOT}}), "C:\\Photos"},
        {Chain({{"home", 0}, {"/", TREE_ITEM_ROOT}}), "/home"},
        {Chain({{"2014", 0}, {"Pictures", 0}, {"/home/dev", TREE_ITEM_ROOT}}), "/home/dev/Pictures/2014"},
        {Chain({{"a", 0}, {"ROOT\\", TREE_ITEM_ROOT}, {"above", 0}}), "ROOT\\a"},
        {Chain({{"orphan", TREE_ITEM_VOLUME_FOLDER}, {"DCIM", TREE_ITEM_VOLUME_FOLDER}}), ""},
        {Chain({}), ""},
    };
    for (const auto& [chain, path] : cases) EXPECT_EQ(BuildItemPath(chain), path) << path;
}

TEST(ExplorerRules, CurrentFolderFormsAndVolumePaths) {
    struct Case {
        std::string path;
        bool device;
        std::optional<int> drive;
        std::string volume_path;  // for device paths
    };
    const std::vector<Case> cases = {
        {"PHYSICALDRIVE1\\", true, 1, "/"},
        {"PHYSICALDRIVE1", true, 1, "/"},
        {"PHYSICALDRIVE1\\DCIM\\100", true, 1, "/DCIM/100/"},
        {"PHYSICALDRIVE12\\DCIM\\", true, 12, "/DCIM/"},
        {"PHYSICALDRIVE0\\", true, 0, "/"},
        {"PHYSICALDRIVE99999999999\\", true, std::nullopt, "/"},
        {"PHYSICALDRIVE\\", false, std::nullopt, ""},
        {"PHYSICALDRIVEX\\", false, std::nullopt, ""},
        {"C:\\PHYSICALDRIVE1\\", false, std::nullopt, ""},
        {"/home/dev/PHYSICALDRIVE1\\", false, std::nullopt, ""},
        {"C:\\", false, std::nullopt, ""},
        {"", false, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(IsDeviceVolumePath(c.path), c.device);
        EXPECT_EQ(PhysicalDriveNumberOf(c.path), c.drive);
        if (c.device) {
            EXPECT_EQ(ToVolumePath(c.path), c.volume_path);
        }
    }
    EXPECT_EQ(DevicePathOfDrive(3), "PHYSICALDRIVE3\\");
    EXPECT_EQ(DriveNameOf("PHYSICALDRIVE1\\DCIM\\100"), "PHYSICALDRIVE1");
    EXPECT_EQ(DriveNameOf("PHYSICALDRIVE1"), "PHYSICALDRIVE1");
    EXPECT_TRUE(IsUnlistedDrivePath("PHYSICALDRIVE0\\"));
    EXPECT_FALSE(IsUnlistedDrivePath("PHYSICALDRIVE0\\DCIM"));
    EXPECT_FALSE(IsUnlistedDrivePath("PHYSICALDRIVE1\\"));
}

TEST(ExplorerRules, InfoTextsDoubleEveryAmpersand) {
    EXPECT_EQ(DeviceVolumeInfoText("\\\\?\\usbstor#disk&ven_qx&prod_cam", "USB\\VID_1234&PID_5678\\0001"),
              "Psp - \\\\?\\usbstor#disk&&ven_qx&&prod_cam\r\n\r\nSp - USB\\VID_1234&&PID_5678\\0001\r\n");
    EXPECT_EQ(LocalDriveInfoText("a&&b", "&"), "Psp - a&&&&b\r\n\r\nSp - &&");
    EXPECT_EQ(LocalDriveInfoText("", ""), "Psp - \r\n\r\nSp - ");
    EXPECT_EQ(UnlistedDriveInfoText(""), "\r\nToo many file to expand, it can't list all");
    EXPECT_EQ(DoubleAmpersands("no mark"), "no mark");
}

TEST(ExplorerRules, EnginePathsAreWholeUtf8OrRefused) {
    const std::vector<std::pair<std::u16string, std::optional<std::string>>> cases = {
        {u"/DCIM/100/a.jpg", "/DCIM/100/a.jpg"},
        {u"/\u00E4\u4E2D", "/\xC3\xA4\xE4\xB8\xAD"},
        {u"/\U0001F600", "/\xF0\x9F\x98\x80"},
        {u"/bad\xD800", std::nullopt},
        {u"/bad\xDC00x", std::nullopt},
        {u"/" + std::u16string(kFatPathBufferSize - 2, u'a'), "/" + std::string(kFatPathBufferSize - 2, 'a')},
        {u"/" + std::u16string(kFatPathBufferSize - 1, u'a'), std::nullopt},
    };
    for (const auto& [wide, narrow] : cases) EXPECT_EQ(ToSingleByte(wide), narrow) << wide.size();
    // A folder past the limit is said to be so, with both lengths.
    const std::string said = PathTooLongText(kFatPathBufferSize + 7);
    EXPECT_NE(said.find(std::to_string(kFatPathBufferSize + 7)), std::string::npos) << said;
    EXPECT_NE(said.find(std::to_string(kFatPathBufferSize - 1)), std::string::npos) << said;
}

TEST(ExplorerRules, PathComponents) {
    struct Case {
        std::string path;
        std::string last;
        std::string base;
    };
    const std::vector<Case> cases = {
        {"PHYSICALDRIVE1\\DCIM\\a.b.jpg", "a.b.jpg", "a.b"},
        {"/home/dev/trip 2014.05", "trip 2014.05", "trip 2014"},
        {"/home/dev/noext", "noext", "noext"},
        {"name.txt", "name.txt", "name"},
        {"PHYSICALDRIVE1\\", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LastPathComponent(c.path), c.last) << c.path;
        EXPECT_EQ(BaseNameWithoutExtension(c.path), c.base) << c.path;
    }
    EXPECT_EQ(JoinItemPath("PHYSICALDRIVE1\\", "DCIM"), "PHYSICALDRIVE1\\DCIM");
    EXPECT_EQ(JoinItemPath("PHYSICALDRIVE1\\DCIM", "100"), "PHYSICALDRIVE1\\DCIM\\100");
    EXPECT_EQ(JoinItemPath("/", "home"), "/home");
#ifdef _WIN32
    // A local folder there takes the system's own separator.
    EXPECT_EQ(JoinItemPath("C:\\Users", "x"), "C:\\Users\\x");
#else
    EXPECT_EQ(JoinItemPath("/home/dev", "x"), "/home/dev/x");
#endif
}

TEST(ExplorerRules, LocalRowsTypesAndSizes) {
    const std::vector<std::tuple<std::string, bool, std::string>> fallbacks = {
        {"photos", true, "文件夹"},
        {"a.txt", false, "txt文件"},
        {"a.tar.gz", false, "tar.gz文件"},
        {"README", false, "文件"},
    };
    for (const auto& [name, folder, type] : fallbacks) EXPECT_EQ(LocalFallbackTypeText(name, folder), type) << name;

    const ExplorerRow big = LocalRow("big.bin", false, 5ull << 30, "", 0);
    EXPECT_EQ(big.size_text, "5,242,880KB");
    EXPECT_EQ(big.type_text, "bin文件");
    EXPECT_FALSE(big.location.has_value());
    const ExplorerRow folder = LocalRow("photos", true, 4096, "Folder", 0);
    EXPECT_EQ(folder.size_text, "");
    EXPECT_EQ(folder.type_text, "Folder");
    const std::string date = LocalDateText(0);
    const std::string shape = "00-00-00 00:00";
    ASSERT_EQ(date.size(), shape.size()) << date;
    for (std::size_t i = 0; i < shape.size(); ++i)
        EXPECT_EQ(shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(date[i])) != 0 : date[i] == shape[i], true) << date;
}

TEST(ExplorerRules, LocalTreeRefreshKeepsMatchingChildrenOnly) {
    struct Case {
        std::vector<std::string> existing;
        std::vector<std::string> wanted;
        std::vector<std::size_t> deleted;
        std::vector<std::string> added;
    };
    const std::vector<Case> cases = {
        {{"a", "", "b"}, {"b", "c"}, {0, 1}, {"c"}},
        {{"A"}, {"a"}, {0}, {"a"}},
        {{"x", "x"}, {"x"}, {1}, {}},
        {{}, {"p", "q"}, {}, {"p", "q"}},
        {{"", ""}, {}, {0, 1}, {}},
    };
    for (const Case& c : cases) {
        const ChildSync sync = SyncChildNames(c.existing, c.wanted);
        EXPECT_EQ(sync.delete_indexes, c.deleted);
        EXPECT_EQ(sync.add_names, c.added);
    }
    EXPECT_TRUE(IsTreeListedLocalEntry("fsImg.bin", false));
    EXPECT_FALSE(IsTreeListedLocalEntry("fsimg.bin", false));
    EXPECT_TRUE(IsTreeListedLocalEntry("photos", true));
    EXPECT_FALSE(IsTreeListedLocalEntry("..", true));
}

TEST(ExplorerRules, TreeFlagsAndPlaceholders) {
    EXPECT_EQ(TREE_ITEM_NO_LISTING, 0x01u);
    EXPECT_EQ(TREE_ITEM_VOLUME_FOLDER, 0x02u);
    EXPECT_EQ(TREE_ITEM_EXPANDED, 0x20u);
    EXPECT_EQ(TREE_ITEM_ROOT, 0x40u);
    EXPECT_TRUE(PlaceholderIsSorted(TREE_ITEM_VOLUME_FOLDER));
    EXPECT_TRUE(PlaceholderIsSorted(TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER));
    EXPECT_FALSE(PlaceholderIsSorted(TREE_ITEM_ROOT));
    EXPECT_FALSE(PlaceholderIsSorted(0));
    EXPECT_TRUE(TreeNameLess("abc", "ABD"));
    EXPECT_FALSE(TreeNameLess("ABC", "abc"));
    EXPECT_TRUE(TreeNameLess("", "a"));
}

}  // namespace
