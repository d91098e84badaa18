// Local files under any name the user's folders may hold: names beyond ASCII
// and paths longer than Windows' short limit reach the same file through
// every local file call, and a copy out replaces such a file whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "device/platform/file_device.h"
#include "device/platform/local_path.h"
#include "support/test_support.h"
#include "transfer/local_destination.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::uint8_t> kContent = {'f', 'i', 'r', 's', 't'};
const std::vector<std::uint8_t> kReplacement = {'s', 'e', 'c', 'o', 'n', 'd', '!'};

struct NameCase {
    const char* name;
    std::string folder;  // below the scratch folder
    std::string file;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

// 30 folders of 9 characters: past 260 characters with any scratch folder.
std::string LongFolder() {
    std::string folder;
    for (int i = 0; i < 30; ++i) folder += "/folder-" + std::to_string(i % 10);
    return folder;
}

const NameCase kNameCases[] = {
    {"ascii", "/plain", "file.bin"},
    {"beyond_ascii", "/Fotos \xC3\xA4\xC3\xB6\xC3\xBC", "\xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x93\xB7.bin"},
    {"longer_than_max_path", LongFolder(), "file.bin"},
    {"long_and_beyond_ascii", LongFolder() + "/\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC.bin"},
};

class LocalNames : public ::testing::TestWithParam<NameCase> {
protected:
    void SetUp() override {
        folder_ = testsupport::ScratchDir() + GetParam().folder;
        fs::create_directories(platform::LocalPath(folder_));
        path_ = folder_ + "/" + GetParam().file;
    }

    std::vector<std::uint8_t> ReadBack(const std::string& path) {
        auto file = platform::OpenLocalFile(path, platform::FileMode::ReadExisting);
        if (!file) return {};
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::int64_t>(file->Size(), 0)));
        if (file->Read(bytes.data(), bytes.size()) != bytes.size()) return {};
        return bytes;
    }

    std::string folder_;
    std::string path_;
};

TEST_P(LocalNames, EveryFileCallReachesTheSameFile) {
    {
        auto created = platform::OpenLocalFile(path_, platform::FileMode::CreateTruncate);
        ASSERT_TRUE(created);
        ASSERT_EQ(created->Write(kContent.data(), kContent.size()), kContent.size());
    }
    EXPECT_EQ(ReadBack(path_), kContent);
    EXPECT_TRUE(fs::is_regular_file(platform::LocalPath(path_))) << "the name on disk is the name given";

    platform::LocalFileFacts facts{};
    ASSERT_TRUE(platform::ReadLocalFileFacts(path_, &facts));
    EXPECT_EQ(facts.size, kContent.size());
    EXPECT_TRUE(platform::IsSameFile(path_, folder_ + "/./" + GetParam().file));
    EXPECT_EQ(platform::LookAtLocalPath(path_).kind, platform::LocalKind::RegularFile);
    EXPECT_EQ(platform::LookAtLocalPath(folder_).kind, platform::LocalKind::Folder);

    const std::string moved = folder_ + "/moved-" + GetParam().file;
    ASSERT_TRUE(platform::ReplaceLocalFile(path_, moved));
    EXPECT_EQ(ReadBack(moved), kContent);
    EXPECT_TRUE(platform::RemoveLocalFile(moved));
    EXPECT_EQ(platform::LookAtLocalPath(moved).kind, platform::LocalKind::Missing);
    EXPECT_TRUE(platform::RemoveLocalFile(moved)) << "nothing left is what removing asks for";
}

// A copy out replaces the file that is there, on Windows too, where a
// plain rename refuses to.
TEST_P(LocalNames, ACompleteCopyReplacesTheFileThere) {
    {
        auto created = platform::OpenLocalFile(path_, platform::FileMode::CreateTruncate);
        ASSERT_TRUE(created);
        ASSERT_EQ(created->Write(kContent.data(), kContent.size()), kContent.size());
    }
    LocalDestination out;
    ASSERT_TRUE(out.Open(platform::LocalPath(path_), {})) << out.Failure().detail;
    ASSERT_TRUE(out.Write(kReplacement.data(), kReplacement.size()));
    EXPECT_EQ(ReadBack(path_), kContent) << "replaced only when complete";
    ASSERT_TRUE(out.Commit()) << out.Failure().detail;
    EXPECT_EQ(ReadBack(path_), kReplacement);
    // The copy's temporary name beside the file, as the first try names it.
    const std::string temporary =
        folder_ + "/." + GetParam().file + ".quillon-get-" + std::to_string(platform::CurrentProcessId()) + "-0";
    EXPECT_EQ(platform::LookAtLocalPath(temporary).kind, platform::LocalKind::Missing) << "no temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(Names, LocalNames, ::testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A name that is not UTF-8 cannot be said to the system without becoming
// some other name, so it opens nothing.
TEST(LocalNamesRefused, BrokenUtf8OpensNothing) {
    const std::string dir = testsupport::ScratchDir();
    const std::string broken = dir + "/bad\xC3(.bin";
#ifdef _WIN32
    EXPECT_FALSE(platform::OpenLocalFile(broken, platform::FileMode::CreateTruncate));
    EXPECT_EQ(platform::LookAtLocalPath(broken).kind, platform::LocalKind::Missing);
#else
    // POSIX names are bytes: any of them is a name.
    EXPECT_TRUE(platform::OpenLocalFile(broken, platform::FileMode::CreateTruncate));
#endif
}

}  // namespace
