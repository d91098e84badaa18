#include "fat/self_test.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fat/file.h"

namespace fat {

namespace {

constexpr char kFirstTestFile[] = "/testfile1.bin";
constexpr char kSecondTestFile[] = "/testfile2.bin";
constexpr char kWriteMode[] = "wb";
constexpr char kReadBackMode[] = "rb";

// The first file is seven equal blocks, written and read a block per call.
constexpr std::uint32_t kBlockBytes = 512000;
constexpr int kFirstFileBlocks = 7;
constexpr std::uint32_t kFirstFileBytes = kBlockBytes * kFirstFileBlocks;
// The second file goes in one call.
constexpr std::uint32_t kSecondFileBytes = 307200;

// Byte J of a block holds J mod 256, and so does byte I of the second
// file: the second file's pattern is the start of a block, and one block
// and one read-back buffer serve both files.
static_assert(kSecondFileBytes <= kBlockBytes);

std::vector<std::uint8_t> PatternBlock() {
    std::vector<std::uint8_t> block(kBlockBytes);
    for (std::uint32_t j = 0; j < kBlockBytes; ++j) block[j] = static_cast<std::uint8_t>(j % 256);
    return block;
}

bool AllMoved(int result, std::uint32_t length) { return result >= 0 && static_cast<std::uint32_t>(result) == length; }

std::string StopText(int iteration, int iterations, bool first_deleted, bool second_deleted) {
    std::string files;
    if (!first_deleted) files = kFirstTestFile;
    if (!second_deleted) files += std::string(files.empty() ? "" : " and ") + kSecondTestFile;
    return "the self-test stopped after iteration " + std::to_string(iteration) + " of " +
           std::to_string(iterations) + ": " + files + " could not be deleted";
}

class WriteDeleteTest {
public:
    WriteDeleteTest(FatVolume& volume, const SelfTestHooks& hooks)
        : volume_(volume), hooks_(hooks), pattern_(PatternBlock()), read_back_(kBlockBytes) {}

    SelfTestResult Run(int iterations) {
        SelfTestResult result;
        while (result.iterations_run < iterations) {
            if (WriteAndCheckFirstFile()) ++result.first_file_count;
            if (WriteAndCheckSecondFile()) ++result.second_file_count;
            // Both deletes are tried, so that as little as possible stays behind.
            const bool first_deleted = DeleteTestFile(kFirstTestFile, kSelfTestDeleteFirstFailed);
            const bool second_deleted = DeleteTestFile(kSecondTestFile, kSelfTestDeleteSecondFailed);
            ++result.iterations_run;
            // A test file left behind would be opened again by the next "wb"
            // and every later check would test it rather than the engine:
            // the test ends here instead of running on against stale files.
            if (!first_deleted || !second_deleted) {
                result.stopped_because = StopText(result.iterations_run, iterations, first_deleted, second_deleted);
                Print((result.stopped_because + "\n").c_str());
            }
            const bool go_on = !hooks_.progress || hooks_.progress(result.iterations_run, iterations);
            if (!result.stopped_because.empty()) break;
            if (!go_on && result.iterations_run < iterations) {
                result.cancelled = true;
                break;
            }
        }
        return result;
    }

private:
    void Print(const char* line) const {
        if (hooks_.print) {
            hooks_.print(line);
            return;
        }
        std::fputs(line, stdout);
        std::fflush(stdout);
    }

    bool SameAsPattern(std::uint32_t length) const {
        return std::memcmp(read_back_.data(), pattern_.data(), length) == 0;
    }

    // Whether this iteration counts for the first file.
    bool WriteAndCheckFirstFile() {
        const bool written = WriteFirstFile();
        return ReadBackFirstFile() && written;
    }

    bool WriteFirstFile() {
        FatFile* file = FatOpenFile(volume_, kWriteMode, kFirstTestFile);
        if (!file) {
            Print(kSelfTestCreateFailed);
            return false;
        }
        bool written = true;
        for (int block = 0; block < kFirstFileBlocks; ++block) {
            if (!AllMoved(FatWriteFile(volume_, file, pattern_.data(), kBlockBytes), kBlockBytes)) {
                Print(kSelfTestWriteFailed);
                written = false;
            }
        }
        FatCloseFile(volume_, file);
        return written;
    }

    bool ReadBackFirstFile() {
        // A file that cannot be opened again has nothing to check: the
        // iteration fails for it as a failed read would.
        FatFile* file = FatOpenFile(volume_, kReadBackMode, kFirstTestFile);
        if (!file) {
            Print(kSelfTestReadFailed);
            return false;
        }
        bool right = file->size == kFirstFileBytes;
        if (!right) {
            Print(kSelfTestSizeFailed);
        } else {
            for (int block = 0; block < kFirstFileBlocks; ++block) {
                if (!AllMoved(FatReadFile(volume_, file, kBlockBytes, read_back_.data()), kBlockBytes)) {
                    Print(kSelfTestReadFailed);
                    right = false;
                } else if (!SameAsPattern(kBlockBytes)) {
                    Print(kSelfTestCompareFailed);
                    right = false;
                }
            }
        }
        FatCloseFile(volume_, file);
        return right;
    }

    // Whether this iteration counts for the second file.
    bool WriteAndCheckSecondFile() {
        WriteSecondFile();
        return ReadBackSecondFile();
    }

    void WriteSecondFile() {
        FatFile* file = FatOpenFile(volume_, kWriteMode, kSecondTestFile);
        if (!file) {
            Print(kSelfTestCreateFailed);
            return;
        }
        if (!AllMoved(FatWriteFile(volume_, file, pattern_.data(), kSecondFileBytes), kSecondFileBytes))
            Print(kSelfTestWriteFailed);
        FatCloseFile(volume_, file);
    }

    // The second file counts only when it has its size and every byte of
    // it was read and is right, as the first file does: counting a file
    // that came back empty or short would report a full volume as healthy.
    bool ReadBackSecondFile() {
        FatFile* file = FatOpenFile(volume_, kReadBackMode, kSecondTestFile);
        if (!file) {
            Print(kSelfTestReadFailed);
            return false;
        }
        const bool size_right = file->size == kSecondFileBytes;
        // The size comes from the disk: never read more than the pattern holds.
        const std::uint32_t length = std::min(file->size, kSecondFileBytes);
        const int read = FatReadFile(volume_, file, length, read_back_.data());
        const bool read_whole = AllMoved(read, length);
        if (!read_whole) Print(kSelfTestReadFailed);
        FatCloseFile(volume_, file);
        if (!size_right) Print(kSelfTestSizeFailed);
        // Only the bytes that came back are compared; the rest of the
        // buffer holds an earlier read.
        const bool same = SameAsPattern(read > 0 ? static_cast<std::uint32_t>(read) : 0);
        if (!same) Print(kSelfTestCompareFailed);
        return size_right && read_whole && same;
    }

    // The engine's own delete takes the entry set, long-name parts too,
    // away before it frees the chain: a power cut in between leaves lost
    // clusters at worst, never an entry pointing at free clusters or
    // long-name parts without their entry.
    bool DeleteTestFile(const char* path, const char* failed_line) {
        if (FatDeleteFile(volume_, path) == 0) return true;
        Print(failed_line);
        return false;
    }

    FatVolume& volume_;
    const SelfTestHooks& hooks_;
    // Allocated once per run: memory does not grow with the iterations.
    const std::vector<std::uint8_t> pattern_;
    std::vector<std::uint8_t> read_back_;
};

}  // namespace

SelfTestResult RunWriteDeleteTest(FatVolume& volume, int iterations, const SelfTestHooks& hooks) {
    if (iterations < 1) return {};
    return WriteDeleteTest(volume, hooks).Run(iterations);
}

std::string FirstCountText(int count) { return "Right Cnt1: " + std::to_string(count); }

std::string SecondCountText(int count) { return "Right Cnt2: " + std::to_string(count); }

}  // namespace fat
