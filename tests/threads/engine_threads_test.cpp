// Two threads on one mounted volume: one lists and reads while the other
// creates, renames and deletes. Each public call is whole, so the reader
// always sees the files it did not touch as they are, and the writer's
// result is exactly what it did. Run under ThreadSanitizer by the test
// scripts; in other builds it checks the results alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fat/engine.h"
#include "support/memory_device.h"
#include "support/pattern.h"

namespace {

using testsupport::Pattern;

constexpr int kRounds = 60;
constexpr std::size_t kWorkFileSize = 3000;

bool WriteWhole(fat::Volume& volume, const std::string& path, const std::vector<std::uint8_t>& data) {
    FatFile* file = nullptr;
    if (volume.OpenForWriting(path, nullptr, &file) != fat::Result::Ok) return false;
    std::uint32_t done = 0;
    const bool written =
        volume.Write(file, data.data(), static_cast<std::uint32_t>(data.size()), &done) == fat::Result::Ok;
    return volume.Close(file) == fat::Result::Ok && written;
}

// The whole file, or false when it could not be opened or read.
bool ReadWhole(fat::Volume& volume, const std::string& path, std::vector<std::uint8_t>* data) {
    FatFile* file = nullptr;
    if (volume.Open(path, "rb", &file) != fat::Result::Ok) return false;
    data->assign(file->size, 0);
    std::uint32_t done = 0;
    const bool read = volume.Read(file, data->data(), static_cast<std::uint32_t>(data->size()), &done) ==
                          fat::Result::Ok &&
                      done == data->size();
    volume.Close(file);
    return read;
}

std::set<std::string> Names(fat::Volume& volume, const std::string& path) {
    FatEntryInfoList entries;
    volume.List(path, &entries);
    std::set<std::string> names;
    for (const auto& entry : entries)
        if (std::string(entry.name) != "." && std::string(entry.name) != "..") names.insert(entry.name);
    return names;
}

// A file the reader has open is busy for the writer: it tries again.
template <typename Call>
fat::Result UntilNotBusy(Call call) {
    fat::Result result;
    while ((result = call()) == fat::Result::Busy) std::this_thread::yield();
    return result;
}

class EngineThreads : public ::testing::TestWithParam<bool> {};

TEST_P(EngineThreads, AReaderAndAWriterOnOneVolume) {
    MemoryDevice device(64ull << 20);
    ASSERT_EQ(device.Format(GetParam()), "");
    fat::Mounted mounted = fat::Mount(device, fat::SilentDiagnostics());
    ASSERT_NE(mounted.volume, nullptr);
    fat::Volume& volume = *mounted.volume;
    const auto stable = Pattern(70000, 99);
    ASSERT_TRUE(WriteWhole(volume, "/stable.bin", stable));
    ASSERT_EQ(volume.MakeDirectory("/work"), fat::Result::Ok);

    std::atomic<bool> writer_done{false};
    std::vector<std::string> reader_problems;
    std::thread reader([&] {
        std::vector<std::uint8_t> data;
        for (int round = 0; !writer_done.load() || round < 5; ++round) {
            const auto root = Names(volume, "/");
            if (root != std::set<std::string>{"stable.bin", "work"}) reader_problems.push_back("root changed");
            if (!ReadWhole(volume, "/stable.bin", &data) || data != stable)
                reader_problems.push_back("stable.bin read wrong");
            // Files of the writer may go between the listing and the open;
            // one that opens is always whole.
            for (const auto& name : Names(volume, "/work")) {
                if (ReadWhole(volume, "/work/" + name, &data) && data.size() != kWorkFileSize)
                    reader_problems.push_back(name + " read with a wrong size");
            }
        }
    });

    std::set<std::string> expected;
    bool writer_ok = true;
    for (int round = 0; round < kRounds && writer_ok; ++round) {
        const std::string name = "file " + std::to_string(round) + ".dat";
        writer_ok = WriteWhole(volume, "/work/" + name, Pattern(kWorkFileSize, round));
        expected.insert(name);
        const std::string old = "file " + std::to_string(round - 2) + ".dat";
        if (round % 3 == 2 && expected.count(old)) {
            const fat::Result deleted = UntilNotBusy([&] { return volume.Delete("/work/" + old); });
            EXPECT_EQ(deleted, fat::Result::Ok) << old << ": " << fat::ResultText(deleted);
            writer_ok = writer_ok && deleted == fat::Result::Ok;
            expected.erase(old);
        }
        if (round % 5 == 4) {
            const std::string from = "file " + std::to_string(round) + ".dat";
            const std::string to = "renamed " + std::to_string(round) + ".dat";
            const fat::Result renamed = UntilNotBusy([&] { return volume.Rename("/work/" + from, to); });
            EXPECT_EQ(renamed, fat::Result::Ok) << from << ": " << fat::ResultText(renamed);
            writer_ok = writer_ok && renamed == fat::Result::Ok;
            expected.erase(from);
            expected.insert(to);
        }
    }
    writer_done = true;
    reader.join();

    EXPECT_TRUE(writer_ok);
    EXPECT_TRUE(reader_problems.empty()) << reader_problems.front();
    EXPECT_EQ(Names(volume, "/work"), expected);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EngineThreads, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FAT32" : "FAT16"; });

}  // namespace
