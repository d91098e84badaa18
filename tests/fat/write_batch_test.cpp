// A batch of writes: the calls inside one leave the medium as the same
// calls outside a batch would (to the byte, but for what lies past the end
// of a file in its last cluster), in fewer writes; calls see what the
// batch holds before it is written back; a write-back that fails says so;
// a volume let go with a batch open still writes it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fat/engine.h"
#include "fat/fat_table.h"
#include "support/memory_device.h"
#include "support/pattern.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr std::uint64_t kVolumeBytes = 64ull << 20;
constexpr const char* kStamp = "2024-05-06 12:34:56";

// Writes that fail once armed, on a device that still says it is writable.
class FailingDevice : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        ++writes;
        return !failing && MemoryDevice::Write(sector, buffer, count);
    }
    bool failing = false;
    std::uint32_t writes = 0;
};

bool Put(fat::Volume& volume, const std::string& path, const std::vector<std::uint8_t>& data) {
    FatFile* file = nullptr;
    if (volume.OpenForWriting(path, kStamp, &file) != fat::Result::Ok) return false;
    std::uint32_t done = 0;
    const bool written = volume.Write(file, data.data(), static_cast<std::uint32_t>(data.size()), &done) ==
                             fat::Result::Ok &&
                         volume.Flush(file) == fat::Result::Ok;
    return volume.Close(file) == fat::Result::Ok && written;
}

std::vector<std::uint8_t> Get(fat::Volume& volume, const std::string& path) {
    FatFile* file = nullptr;
    if (volume.Open(path, "rb", &file) != fat::Result::Ok) return {};
    std::vector<std::uint8_t> data(file->size);
    std::uint32_t done = 0;
    const bool read = volume.Read(file, data.data(), file->size, &done) == fat::Result::Ok && done == data.size();
    volume.Close(file);
    return read ? data : std::vector<std::uint8_t>{};
}

std::string Numbered(const char* format, int i) {
    char name[96];
    std::snprintf(name, sizeof name, format, i);
    return name;
}

// What a put of a tree, or a session around one, asks of the engine.
using Script = std::function<bool(fat::Volume&)>;

struct ScriptCase {
    const char* name;
    Script run;
};

// New folders and files with long names, files of many clusters, folders
// that grow; between them the calls that take something away.
bool MixedWork(fat::Volume& v) {
    bool ok = v.MakeDirectory("/Photos of the summer", kStamp) == fat::Result::Ok &&
              v.MakeDirectory("/Photos of the summer/Day one", kStamp) == fat::Result::Ok;
    for (int i = 0; ok && i < 60; ++i)
        ok = Put(v, Numbered("/Photos of the summer/Day one/Picture number %03d.jpg", i), Pattern(300 + 997 * i, i));
    ok = ok && Put(v, "/old.bin", Pattern(9000, 1)) && Put(v, "/gone.txt", Pattern(100, 2)) &&
         v.Delete("/gone.txt") == fat::Result::Ok && Put(v, "/old.bin", Pattern(20000, 3)) &&
         v.Rename("/Photos of the summer/Day one/Picture number 007.jpg", "The best one of all.jpg") ==
             fat::Result::Ok;
    for (int i = 0; ok && i < 30; ++i) ok = Put(v, Numbered("/after %02d.txt", i), Pattern(700 * i, 40 + i));
    ok = ok && v.RemoveTree("/Photos of the summer/Day one") == fat::Result::Ok;
    for (int i = 0; ok && i < 20; ++i) ok = Put(v, Numbered("/last %02d.dat", i), Pattern(5000, 80 + i));
    return ok;
}

// More directory sectors than a batch may hold at once.
bool ManyFolders(fat::Volume& v) {
    bool ok = v.MakeDirectory("/many", kStamp) == fat::Result::Ok;
    for (int i = 0; ok && i < 700; ++i) {
        const std::string folder = Numbered("/many/Folder with a long name %03d", i);
        ok = v.MakeDirectory(folder, kStamp) == fat::Result::Ok && Put(v, folder + "/inside.txt", Pattern(10, i));
    }
    return ok;
}

const ScriptCase kScripts[] = {{"mixed", MixedWork}, {"many_folders", ManyFolders}};

// Zeros what lies past the end of each file in its last cluster: a batch
// may write zeros there where the same calls one by one leave what the
// cluster held before; no file holds those bytes.
void ZeroSlack(fat::Volume& volume, MemoryDevice& device, const std::string& folder) {
    FatEntryInfoList entries;
    ASSERT_EQ(volume.List(folder, &entries), fat::Result::Ok);
    FatVolume& record = volume.Record();
    const std::uint32_t cluster_bytes = record.sectors_per_cluster * kSectorSize;
    for (const FatEntryInfo& entry : entries) {
        const std::string name = entry.name;
        if (name == "." || name == "..") continue;
        const std::string path = (folder == "/" ? "" : folder) + "/" + name;
        if (entry.is_directory) {
            ZeroSlack(volume, device, path);
            continue;
        }
        if (entry.size % cluster_bytes == 0) continue;
        std::uint32_t cluster = entry.first_cluster;
        for (std::uint32_t i = 0; i < (entry.size - 1) / cluster_bytes; ++i) cluster = FatNextCluster(record, cluster);
        std::vector<std::uint8_t> bytes(cluster_bytes);
        const std::uint32_t sector = FatClusterToSector(record, cluster);
        ASSERT_TRUE(device.Read(sector, bytes.data(), record.sectors_per_cluster));
        std::fill(bytes.begin() + entry.size % cluster_bytes, bytes.end(), 0);
        ASSERT_TRUE(device.Write(sector, bytes.data(), record.sectors_per_cluster));
    }
}

struct ScriptRun {
    std::vector<std::uint8_t> bytes;
    std::uint32_t writes;
};

ScriptRun RunScript(const Script& script, bool fat32, bool batched) {
    FailingDevice device(kVolumeBytes);
    EXPECT_EQ(device.Format(fat32), "");
    fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
    EXPECT_EQ(mounted.error, fat::MountError::None);
    device.writes = 0;
    if (batched) mounted.volume->BeginBatch();
    EXPECT_TRUE(script(*mounted.volume));
    if (batched) {
        EXPECT_EQ(mounted.volume->EndBatch(), fat::Result::Ok);
    }
    ZeroSlack(*mounted.volume, device, "/");
    mounted.volume.reset();
    return ScriptRun{device.Bytes(), device.writes};
}

class WriteBatch : public ::testing::TestWithParam<std::tuple<ScriptCase, bool>> {};

TEST_P(WriteBatch, LeavesTheSameBytesAsTheSameCallsOneByOne) {
    const auto& [script, fat32] = GetParam();
    const ScriptRun alone = RunScript(script.run, fat32, false);
    const ScriptRun batched = RunScript(script.run, fat32, true);
    EXPECT_TRUE(alone.bytes == batched.bytes) << "the batch left other bytes on the medium";
    EXPECT_LT(batched.writes, alone.writes);
    const std::string image = ScratchDir() + "/batched.img";
    WriteFileBytes(image, batched.bytes);
    const RunResult fsck = Fsck(image);
    EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
}

INSTANTIATE_TEST_SUITE_P(Scripts, WriteBatch, ::testing::Combine(::testing::ValuesIn(kScripts), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Fat32" : "_Fat16");
                         });

TEST(WriteBatchHolds, CallsSeeWhatTheBatchHoldsBeforeTheMediumDoes) {
    FailingDevice device(kVolumeBytes);
    ASSERT_EQ(device.Format(true), "");
    fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
    fat::Volume& volume = *mounted.volume;
    volume.BeginBatch();
    ASSERT_EQ(volume.MakeDirectory("/New folder of the batch"), fat::Result::Ok);
    ASSERT_TRUE(Put(volume, "/New folder of the batch/A file in it.bin", Pattern(70000, 5)));

    FatEntryInfoList listed;
    ASSERT_EQ(volume.List("/New folder of the batch", &listed), fat::Result::Ok);
    ASSERT_EQ(listed.size(), 3u);  // ".", ".." and the file
    EXPECT_STREQ(listed[2].name, "A file in it.bin");
    EXPECT_EQ(Get(volume, "/New folder of the batch/A file in it.bin"), Pattern(70000, 5));

    // Another session reading the medium now finds none of it.
    MemoryDevice copy(kVolumeBytes);
    ASSERT_TRUE(copy.Write(0, device.Bytes().data(), static_cast<std::uint32_t>(kVolumeBytes / kSectorSize)));
    fat::Mounted other = fat::Mount(copy, fat::SilentDiagnostics());
    FatEntryInfo info{};
    EXPECT_EQ(other.volume->Lookup("/New folder of the batch", &info), fat::Result::NotFound);

    ASSERT_EQ(volume.EndBatch(), fat::Result::Ok);
    fat::Mounted after = fat::Mount(device, fat::SilentDiagnostics());
    EXPECT_EQ(Get(*after.volume, "/New folder of the batch/A file in it.bin"), Pattern(70000, 5));
}

TEST(WriteBatchHolds, AWriteBackThatFailsIsReportedAndNamesNothingMissing) {
    FailingDevice device(kVolumeBytes);
    ASSERT_EQ(device.Format(false), "");
    fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
    fat::Volume& volume = *mounted.volume;
    volume.BeginBatch();
    ASSERT_TRUE(Put(volume, "/never written.txt", Pattern(3000, 9)));
    device.failing = true;
    EXPECT_EQ(volume.EndBatch(), fat::Result::Io);
    // What the batch held is gone from memory as well: nothing claims a
    // file the medium does not hold.
    FatEntryInfo info{};
    EXPECT_EQ(volume.Lookup("/never written.txt", &info), fat::Result::NotFound);
    device.failing = false;
    fat::Mounted again = fat::Mount(device, fat::SilentDiagnostics());
    EXPECT_EQ(again.volume->Lookup("/never written.txt", &info), fat::Result::NotFound);
}

TEST(WriteBatchHolds, AVolumeLetGoWithABatchOpenWritesItBack) {
    for (const bool unmount : {true, false}) {
        SCOPED_TRACE(unmount ? "unmounted" : "destroyed");
        MemoryDevice device(kVolumeBytes);
        ASSERT_EQ(device.Format(true), "");
        {
            fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
            mounted.volume->BeginBatch();
            ASSERT_TRUE(Put(*mounted.volume, "/kept without an end.txt", Pattern(5000, 3)));
            if (unmount) mounted.volume->Unmount();
        }
        fat::Mounted after = fat::Mount(device, fat::SilentDiagnostics());
        EXPECT_EQ(Get(*after.volume, "/kept without an end.txt"), Pattern(5000, 3));
    }
}

}  // namespace
