#include "scratch_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>

#include "device/platform/win32/unique_handle.h"
#include "device/platform/win32/utf16.h"

namespace win32test {
namespace {

using platform::win32::ToUtf16;
using platform::win32::ToUtf8;
using platform::win32::UniqueHandle;

// The longest path the wide calls take in the "\\?\" form.
constexpr DWORD kLongestPath = 32767;

std::wstring Wide(const std::string& utf8) {
    const std::optional<std::wstring> wide = ToUtf16(utf8);
    if (!wide) ADD_FAILURE() << "not UTF-8: " << utf8;
    return wide.value_or(L"");
}

std::string ScratchRoot() {
    if (const char* root = std::getenv("QUILLON_TEST_TMP"); root && *root) return root;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    std::string folder = ToUtf8(temp, length);
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder;
}

// Every part of the path from its drive down, made where missing.
void MakeFolders(const std::string& utf8_path) {
    for (std::size_t end = utf8_path.find_first_of("\\/", 3); ; end = utf8_path.find_first_of("\\/", end + 1)) {
        const std::string part = utf8_path.substr(0, end);
        if (!Exists(part)) MakeFolder(part);
        if (end == std::string::npos) break;
    }
}

UniqueHandle OpenForData(const std::string& utf8_path, DWORD access, DWORD disposition) {
    UniqueHandle file(::CreateFileW(LongForm(utf8_path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.Valid()) << utf8_path << " error " << ::GetLastError();
    return file;
}

// A folder and all below it, by long-form path.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

void MoveTo(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    EXPECT_TRUE(::SetFilePointerEx(file, position, nullptr, FILE_BEGIN));
}

}  // namespace

std::string ScratchFolder() {
    static std::atomic<unsigned> made{0};
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string folder = ScratchRoot() + "\\win32-" + std::to_string(::GetCurrentProcessId()) + "-" +
                               std::to_string(made++) + "-" + (test ? test->name() : "x");
    // Process IDs come round again between runs; what an earlier run left
    // under the same name goes.
    RemoveTree(LongForm(folder));
    MakeFolders(folder);
    return folder;
}

std::wstring LongForm(const std::string& utf8_path) {
    std::wstring path = Wide(utf8_path);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    std::vector<wchar_t> full(kLongestPath);
    const DWORD length = ::GetFullPathNameW(path.c_str(), kLongestPath, full.data(), nullptr);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, kLongestPath);
    return L"\\\\?\\" + std::wstring(full.data(), length);
}

bool Exists(const std::string& utf8_path) {
    return ::GetFileAttributesW(LongForm(utf8_path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFolder(const std::string& utf8_path) {
    EXPECT_TRUE(::CreateDirectoryW(LongForm(utf8_path).c_str(), nullptr)) << utf8_path;
}

std::vector<std::uint8_t> Pattern(std::size_t offset, std::size_t bytes, unsigned seed) {
    std::vector<std::uint8_t> pattern(bytes);
    for (std::size_t i = 0; i < bytes; ++i) pattern[i] = static_cast<std::uint8_t>(offset + i + seed);
    return pattern;
}

void MakePatternFile(const std::string& utf8_path, std::size_t bytes, unsigned seed) {
    UniqueHandle file = OpenForData(utf8_path, GENERIC_WRITE, CREATE_ALWAYS);
    const std::vector<std::uint8_t> pattern = Pattern(0, bytes, seed);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file.Get(), pattern.data(), static_cast<DWORD>(bytes), &written, nullptr));
    EXPECT_EQ(written, bytes);
}

std::vector<std::uint8_t> ReadBytes(const std::string& utf8_path, std::uint64_t offset, std::size_t bytes) {
    UniqueHandle file = OpenForData(utf8_path, GENERIC_READ, OPEN_EXISTING);
    MoveTo(file.Get(), offset);
    std::vector<std::uint8_t> data(bytes);
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(file.Get(), data.data(), static_cast<DWORD>(bytes), &read, nullptr));
    data.resize(read);
    return data;
}

void WriteBytes(const std::string& utf8_path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    UniqueHandle file = OpenForData(utf8_path, GENERIC_WRITE, OPEN_EXISTING);
    MoveTo(file.Get(), offset);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
}

std::uint64_t FileSize(const std::string& utf8_path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(::GetFileAttributesExW(LongForm(utf8_path).c_str(), GetFileExInfoStandard, &data)) << utf8_path;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::vector<std::wstring> NamesIn(const std::string& utf8_folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = LongForm(utf8_folder) + L"\\*";
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

}  // namespace win32test
