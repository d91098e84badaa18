// Files by path through the backend: names beyond ASCII, paths beyond the
// short form's limit, reads past the cache, and paths that lead to devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/platform/platform.h"
#include "device/platform/win32/local_path.h"
#include "device/platform/win32/utf16.h"
#include "device/platform/win32/win32_platform.h"
#include "scratch_files.h"

namespace {

using platform::FileMode;
using namespace win32test;

// Longer than the short form allows, folder and file alike.
constexpr std::size_t kLongPathLength = 300;

std::vector<std::uint8_t> ReadThrough(platform::Device& device, std::uint64_t position, std::size_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    EXPECT_TRUE(device.Seek(position));
    data.resize(device.Read(data.data(), bytes));
    return data;
}

void WriteThrough(platform::Platform& files, const std::string& path, const std::vector<std::uint8_t>& bytes) {
    auto file = files.OpenFile(path, FileMode::CreateTruncate);
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(file->Write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_TRUE(file->Flush());
}

// A folder chain below the scratch folder whose path passes `length`.
std::string LongFolder(const std::string& base, std::size_t length) {
    std::string folder = base;
    for (int level = 0; folder.size() < length; ++level) {
        folder += "\\folder-" + std::to_string(level) + "-" + std::string(40, 'x');
        MakeFolder(folder);
    }
    return folder;
}

class Win32Files : public ::testing::Test {
protected:
    std::unique_ptr<platform::Platform> files_ = platform::MakeWin32Platform();
    std::string folder_ = ScratchFolder();
};

TEST_F(Win32Files, NamesBeyondAsciiAreTheNamesOnDisk) {
    const std::string name = "Kamera Gr\xC3\xB6\xC3\x9F" "e \xE7\x9B\xB8\xE6\x9C\xBA \xF0\x9F\x93\xB7.bin";
    const std::wstring wide_name = L"Kamera Gr\u00F6\u00DFe \u76F8\u673A \xD83D\xDCF7.bin";
    const std::string renamed = "\xC3\x84\xC3\x96\xC3\x9C.bin";
    const std::vector<std::uint8_t> bytes = Pattern(0, 1000);

    WriteThrough(*files_, folder_ + "\\" + name, bytes);
    EXPECT_EQ(NamesIn(folder_), std::vector<std::wstring>{wide_name});
    auto file = files_->OpenFile(folder_ + "\\" + name, FileMode::ReadExisting);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadThrough(*file, 0, 2000), bytes);
    file.reset();

    EXPECT_TRUE(files_->ReplaceFile(folder_ + "\\" + name, folder_ + "\\" + renamed));
    EXPECT_EQ(NamesIn(folder_), std::vector<std::wstring>{L"\u00C4\u00D6\u00DC.bin"});
    EXPECT_TRUE(files_->RemoveFile(folder_ + "\\" + renamed));
    EXPECT_TRUE(NamesIn(folder_).empty());
}

TEST_F(Win32Files, PathsBeyondTheShortLimitWorkThroughout) {
    const std::string folder = LongFolder(folder_, kLongPathLength);
    const std::string path = folder + "\\APP_DATA.BIN";
    const std::string replaced = folder + "\\APP_DATA.OLD";
    ASSERT_GT(path.size(), kLongPathLength);
    const std::vector<std::uint8_t> bytes = Pattern(0, 5000, 7);

    WriteThrough(*files_, path, bytes);
    EXPECT_EQ(ReadBytes(path, 0, bytes.size()), bytes);
    for (FileMode mode : {FileMode::ReadExisting, FileMode::ReadUncached}) {
        auto file = files_->OpenFile(path, mode);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->Size(), static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(ReadThrough(*file, 0, bytes.size()), bytes);
    }
    EXPECT_TRUE(files_->ReplaceFile(path, replaced));
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(ReadBytes(replaced, 0, bytes.size()), bytes);
    EXPECT_TRUE(files_->RemoveFile(replaced));
    EXPECT_FALSE(Exists(replaced));
}

// A relative path may be short while the folder it lies in is not.
TEST_F(Win32Files, RelativePathsInLongFoldersOpen) {
    const std::string folder = LongFolder(folder_, kLongPathLength);
    MakePatternFile(folder + "\\a.bin", 100);
    wchar_t previous[MAX_PATH + 1] = {};
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    const std::optional<std::wstring> scratch = platform::win32::ToUtf16(folder_);
    ASSERT_TRUE(scratch && ::SetCurrentDirectoryW(scratch->c_str()));
    const std::string relative = folder.substr(folder_.size() + 1) + "\\a.bin";
    auto file = files_->OpenFile(relative, FileMode::ReadExisting);
    ::SetCurrentDirectoryW(previous);
    ASSERT_NE(file, nullptr) << relative;
    EXPECT_EQ(ReadThrough(*file, 0, 100), Pattern(0, 100));
}

// The read past the cache moves whole aligned blocks; the caller's position
// and length need not be.
TEST_F(Win32Files, ReadsPastTheCacheAtAnyPositionAndLength) {
    const std::string path = folder_ + "\\image.bin";
    constexpr std::size_t kBytes = 3 * 4096 + 100;
    MakePatternFile(path, kBytes, 3);
    auto file = files_->OpenFile(path, FileMode::ReadUncached);
    ASSERT_NE(file, nullptr);
    const struct {
        std::uint64_t position;
        std::size_t length;
        std::size_t expected;
    } reads[] = {
        {0, 512, 512},          {1, 4096, 4096},     {4095, 2, 2},
        {4097, 5000, 5000},     {kBytes - 10, 100, 10}, {kBytes, 1, 0},
        {kBytes + 5000, 10, 0}, {0, kBytes + 4096, kBytes},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE("at " + std::to_string(read.position) + ", " + std::to_string(read.length) + " bytes");
        EXPECT_EQ(ReadThrough(*file, read.position, read.length), Pattern(read.position, read.expected, 3));
    }
}

TEST_F(Win32Files, CreatingTruncatesAndGrows) {
    const std::string path = folder_ + "\\copy.bin";
    MakePatternFile(path, 10000);
    WriteThrough(*files_, path, Pattern(0, 300, 1));
    EXPECT_EQ(FileSize(path), 300u);
    EXPECT_EQ(ReadBytes(path, 0, 300), Pattern(0, 300, 1));
}

TEST_F(Win32Files, MissingFilesAndFolders) {
    EXPECT_EQ(files_->OpenFile(folder_ + "\\missing.bin", FileMode::ReadExisting), nullptr);
    EXPECT_EQ(files_->OpenFile(folder_ + "\\no\\such\\folder.bin", FileMode::CreateTruncate), nullptr);
    // Nothing at the path is what removing asks for.
    EXPECT_TRUE(files_->RemoveFile(folder_ + "\\missing.bin"));
    EXPECT_TRUE(files_->RemoveFile(folder_ + "\\no\\such\\folder.bin"));
    // A folder is neither opened as a file nor removed.
    MakeFolder(folder_ + "\\sub");
    EXPECT_EQ(files_->OpenFile(folder_ + "\\sub", FileMode::ReadExisting), nullptr);
    EXPECT_EQ(files_->OpenFile(folder_ + "\\sub", FileMode::CreateTruncate), nullptr);
    EXPECT_FALSE(files_->RemoveFile(folder_ + "\\sub"));
    EXPECT_TRUE(Exists(folder_ + "\\sub"));
    // A replacement that cannot happen leaves both as they were.
    MakePatternFile(folder_ + "\\kept.bin", 10);
    EXPECT_FALSE(files_->ReplaceFile(folder_ + "\\missing.bin", folder_ + "\\kept.bin"));
    EXPECT_EQ(ReadBytes(folder_ + "\\kept.bin", 0, 10), Pattern(0, 10));
}

// Saved sectors and copies go to files; a name that the system resolves to
// a disk, a volume or another device must never be opened in their place.
TEST_F(Win32Files, PathsThatLeadToDevicesAreNoFiles) {
    const char* const device_paths[] = {
        "\\\\.\\PHYSICALDRIVE0", "\\\\?\\PhysicalDrive0", "\\\\.\\C:", "//./C:", "\\\\?\\C:",
        "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition0", "NUL", "CON", "COM1", "nul.txt",
    };
    for (const char* path : device_paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(files_->OpenFile(path, FileMode::CreateTruncate), nullptr);
        EXPECT_EQ(files_->OpenFile(path, FileMode::ReadExisting), nullptr);
        EXPECT_FALSE(files_->RemoveFile(path));
        EXPECT_FALSE(files_->ReplaceFile(path, folder_ + "\\target.bin"));
    }
    EXPECT_EQ(files_->OpenFile(std::string("a\xFF.bin"), FileMode::CreateTruncate), nullptr);
    EXPECT_TRUE(NamesIn(folder_).empty());
}

}  // namespace

namespace {

using platform::win32::FileCallPath;

// Wine takes long paths in either form, so the form itself is checked here:
// Windows refuses the short form past MAX_PATH.
TEST(FileCallPath, LongPathsTakeTheLongForm) {
    const std::string long_tail = "\\" + std::string(250, 'a') + "\\" + std::string(20, 'b') + ".bin";
    const std::wstring wide_tail = L"\\" + std::wstring(250, L'a') + L"\\" + std::wstring(20, L'b') + L".bin";
    const struct {
        const char* what;
        std::string path;
        std::wstring expected;
    } cases[] = {
        {"short, as given", "C:\\camera\\APP_DATA.BIN", L"C:\\camera\\APP_DATA.BIN"},
        {"short with forward slashes, as given", "C:/camera/APP_DATA.BIN", L"C:/camera/APP_DATA.BIN"},
        {"long drive path", "C:" + long_tail, L"\\\\?\\C:" + wide_tail},
        {"long path, made whole first", "C:/x/../y" + long_tail, L"\\\\?\\C:\\y" + wide_tail},
        {"long share path", "\\\\server\\share" + long_tail, L"\\\\?\\UNC\\server\\share" + wide_tail},
        {"already in the long form", "\\\\?\\C:" + long_tail, L"\\\\?\\C:" + wide_tail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FileCallPath(c.path), c.expected);
    }
    EXPECT_FALSE(FileCallPath("").has_value());
}

}  // namespace
