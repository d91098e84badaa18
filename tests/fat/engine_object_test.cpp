// The engine as an object: volumes that live side by side, typed reasons
// for every refusal, and diagnostics that go where the program says.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fat/engine.h"
#include "fat/engine_fixture.h"
#include "support/memory_device.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint64_t kVolumeBytes = 64ull << 20;

std::vector<std::uint8_t> FileBytes(fat::Volume& volume, const std::string& path) {
    FatFile* file = nullptr;
    if (volume.Open(path, "rb", &file) != fat::Result::Ok) return {};
    std::vector<std::uint8_t> data(file->size);
    std::uint32_t done = 0;
    const fat::Result read = volume.Read(file, data.data(), file->size, &done);
    volume.Close(file);
    if (read != fat::Result::Ok || done != data.size()) return {};
    return data;
}

fat::Result WriteFile(fat::Volume& volume, const std::string& path, const std::vector<std::uint8_t>& data) {
    FatFile* file = nullptr;
    if (const fat::Result opened = volume.OpenForWriting(path, nullptr, &file); opened != fat::Result::Ok)
        return opened;
    std::uint32_t done = 0;
    const fat::Result written = volume.Write(file, data.data(), static_cast<std::uint32_t>(data.size()), &done);
    const fat::Result closed = volume.Close(file);
    return written != fat::Result::Ok ? written : closed;
}

void ExpectCheckerAccepts(const MemoryDevice& device, const std::string& name) {
    const std::string image = ScratchDir() + "/" + name + ".img";
    WriteFileBytes(image, device.Bytes());
    const RunResult fsck = Fsck(image);
    EXPECT_EQ(fsck.exit_code, 0) << name << ": " << fsck.out << fsck.err;
}

// A copy from one mounted volume to another, file by file, with both
// mounted for the whole run and their calls interleaved.
TEST(EngineObject, TwoVolumesMountedAtOnceCopyFromOneToTheOther) {
    MemoryDevice from_device(kVolumeBytes), to_device(kVolumeBytes);
    ASSERT_EQ(from_device.Format(false), "");
    ASSERT_EQ(to_device.Format(true), "");
    fat::Mounted from = fat::Mount(from_device, fat::SilentDiagnostics());
    fat::Mounted to = fat::Mount(to_device, fat::SilentDiagnostics());
    ASSERT_EQ(from.error, fat::MountError::None);
    ASSERT_EQ(to.error, fat::MountError::None);

    ASSERT_EQ(from.volume->MakeDirectory("/docs"), fat::Result::Ok);
    const std::vector<std::string> names = {"/a.bin", "/docs/b long name.txt", "/docs/c.dat"};
    for (std::size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(WriteFile(*from.volume, names[i], Pattern(30000 + 7777 * i, static_cast<unsigned>(i + 1))),
                  fat::Result::Ok);

    ASSERT_EQ(to.volume->MakeDirectory("/docs"), fat::Result::Ok);
    for (const auto& name : names) {
        FatFile* source = nullptr;
        FatFile* target = nullptr;
        ASSERT_EQ(from.volume->Open(name, "rb", &source), fat::Result::Ok);
        ASSERT_EQ(to.volume->OpenForWriting(name, nullptr, &target), fat::Result::Ok);
        // A record of one volume means nothing to the other.
        std::uint32_t done = 0;
        std::uint8_t byte = 0;
        EXPECT_EQ(to.volume->Read(source, &byte, 1, &done), fat::Result::Invalid);
        std::vector<std::uint8_t> chunk(4096);
        for (;;) {
            ASSERT_EQ(from.volume->Read(source, chunk.data(), 4096, &done), fat::Result::Ok);
            if (done == 0) break;
            std::uint32_t written = 0;
            ASSERT_EQ(to.volume->Write(target, chunk.data(), done, &written), fat::Result::Ok);
        }
        EXPECT_EQ(from.volume->Close(source), fat::Result::Ok);
        EXPECT_EQ(to.volume->Close(target), fat::Result::Ok);
    }

    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(FileBytes(*to.volume, names[i]), Pattern(30000 + 7777 * i, static_cast<unsigned>(i + 1)))
            << names[i];
    FatEntryInfoList root;
    ASSERT_EQ(from.volume->List("/", &root), fat::Result::Ok);
    EXPECT_EQ(root.size(), 2u);
    ExpectCheckerAccepts(from_device, "from");
    ExpectCheckerAccepts(to_device, "to");
}

// Every refusal says why; the table is the contract the tool and the
// explorer report from.
struct ReasonCase {
    const char* name;
    std::function<fat::Result(fat::Volume&, MemoryDevice&)> run;
    fat::Result expected;
};

fat::Result OpenResult(fat::Volume& volume, const std::string& path, const char* mode) {
    FatFile* file = nullptr;
    const fat::Result result = volume.Open(path, mode, &file);
    if (file) volume.Close(file);
    return result;
}

const ReasonCase kReasonCases[] = {
    {"missing_file", [](fat::Volume& v, MemoryDevice&) { return OpenResult(v, "/nope.txt", "rb"); },
     fat::Result::NotFound},
    {"missing_folder_on_the_way",
     [](fat::Volume& v, MemoryDevice&) { return OpenResult(v, "/nope/file.txt", "wb"); }, fat::Result::NotFound},
    {"file_as_folder_on_the_way",
     [](fat::Volume& v, MemoryDevice&) { return OpenResult(v, "/file.txt/x", "wb"); }, fat::Result::NotADirectory},
    {"folder_exists", [](fat::Volume& v, MemoryDevice&) { return v.MakeDirectory("/dir"); }, fat::Result::Exists},
    {"name_other_systems_refuse",
     [](fat::Volume& v, MemoryDevice&) { return OpenResult(v, "/a?b.txt", "wb"); }, fat::Result::BadName},
    {"rename_to_a_refused_name", [](fat::Volume& v, MemoryDevice&) { return v.Rename("/file.txt", "a:b"); },
     fat::Result::BadName},
    {"rename_onto_a_taken_name", [](fat::Volume& v, MemoryDevice&) { return v.Rename("/file.txt", "DIR"); },
     fat::Result::Exists},
    {"delete_a_folder", [](fat::Volume& v, MemoryDevice&) { return v.Delete("/dir"); },
     fat::Result::IsADirectory},
    {"remove_a_file_as_folder", [](fat::Volume& v, MemoryDevice&) { return v.RemoveDirectory("/file.txt"); },
     fat::Result::NotADirectory},
    {"remove_a_folder_with_files", [](fat::Volume& v, MemoryDevice&) { return v.RemoveDirectory("/dir"); },
     fat::Result::NotEmpty},
    {"open_twice",
     [](fat::Volume& v, MemoryDevice&) {
         FatFile* first = nullptr;
         v.Open("/file.txt", "rb", &first);
         const fat::Result second = OpenResult(v, "/file.txt", "rb+");
         v.Close(first);
         return second;
     },
     fat::Result::Busy},
    {"volume_full",
     [](fat::Volume& v, MemoryDevice&) { return WriteFile(v, "/huge.bin", std::vector<std::uint8_t>(kVolumeBytes)); },
     fat::Result::NoSpace},
    {"read_only_device",
     [](fat::Volume& v, MemoryDevice& d) {
         d.writable = false;
         return v.MakeDirectory("/new");
     },
     fat::Result::ReadOnly},
    {"damaged_folder_entry",
     [](fat::Volume& v, MemoryDevice&) {
         FatEntryInfo info{};
         v.Lookup("/dir", &info);
         // The folder's entry points past the last cluster.
         FatVolume& record = v.Record();
         FatFoundEntry found{};
         FatLocateEntry(record, record.root_cluster, "dir", &found);
         std::uint8_t sector[kSectorSize];
         FatDirChain chain;
         FatDirChainBegin(record, &chain, record.root_cluster);
         std::uint32_t absolute = 0;
         FatDirSectorNumber(record, &chain, found.where.sector_index, &absolute);
         record.device->Read(absolute, sector, 1);
         FatStore16(sector + found.where.slot * kFatEntrySize + fatentry::kClusterLow, 0xFFF0);
         record.device->Write(absolute, sector, 1);
         v.Mount(*record.device);
         return OpenResult(v, "/dir/inner.txt", "rb");
     },
     fat::Result::Damaged},
    {"unmounted", [](fat::Volume& v, MemoryDevice&) {
         v.Unmount();
         return OpenResult(v, "/file.txt", "rb");
     },
     fat::Result::NotMounted},
};

class EngineReasons : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(EngineReasons, SaysWhy) {
    MemoryDevice device(kVolumeBytes);
    ASSERT_EQ(device.Format(false), "");
    fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
    ASSERT_NE(mounted.volume, nullptr);
    fat::Volume& volume = *mounted.volume;
    ASSERT_EQ(WriteFile(volume, "/file.txt", Pattern(100)), fat::Result::Ok);
    ASSERT_EQ(volume.MakeDirectory("/dir"), fat::Result::Ok);
    ASSERT_EQ(WriteFile(volume, "/dir/inner.txt", Pattern(100)), fat::Result::Ok);
    EXPECT_EQ(GetParam().run(volume, device), GetParam().expected) << fat::ResultText(GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineReasons, ::testing::ValuesIn(kReasonCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EngineObject, AFailedRemountLeavesNothingToUse) {
    MemoryDevice good(kVolumeBytes), blank(kVolumeBytes);
    ASSERT_EQ(good.Format(true), "");
    fat::Volume volume;
    ASSERT_EQ(volume.Mount(good, fat::SilentDiagnostics()), fat::MountError::None);
    ASSERT_EQ(WriteFile(volume, "/kept.txt", Pattern(10)), fat::Result::Ok);
    EXPECT_EQ(volume.Mount(blank), fat::MountError::NoSignature);
    EXPECT_FALSE(volume.IsMounted());
    FatEntryInfo info{};
    EXPECT_EQ(volume.Lookup("/kept.txt", &info), fat::Result::NotMounted);
    EXPECT_EQ(volume.MakeDirectory("/x"), fat::Result::NotMounted);
    ASSERT_EQ(volume.Mount(good), fat::MountError::None);
    EXPECT_EQ(volume.Lookup("/kept.txt", &info), fat::Result::Ok);
}

class RecordingDiagnostics : public fat::Diagnostics {
public:
    void Report(fat::DiagnosticKind kind, const std::string& text) override { lines.push_back({kind, text}); }
    std::vector<std::pair<fat::DiagnosticKind, std::string>> lines;
};

TEST(EngineObject, LinesGoToTheSinkTheProgramGives) {
    MemoryDevice blank(kVolumeBytes);
    RecordingDiagnostics sink;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const fat::Mounted mounted = fat::Mount(blank, sink);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(mounted.volume, nullptr);
    EXPECT_EQ(mounted.error, fat::MountError::NoSignature);
    EXPECT_EQ(out + err, "");
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].first, fat::DiagnosticKind::kLog);
    EXPECT_EQ(sink.lines[0].second, "FAT_FS: Error could not load FAT details (-3)!\r\n");
}

}  // namespace
