// The engine's write/delete self-test: two test files in the root directory
// are written, read back, compared and deleted, over and over, on a mounted
// volume. Failures are printed as they happen; two counts of good
// iterations are the result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fat/volume.h"

namespace fat {

constexpr int kSelfTestDefaultIterations = 1000;
// Each iteration moves about 7.8 MB; a million of them is days of work, so
// a larger count is a typing mistake rather than a wish.
constexpr int kSelfTestMostIterations = 1000000;

// The texts the test prints, exactly.
constexpr char kSelfTestCreateFailed[] = "ERROR: Create file failed\n";
constexpr char kSelfTestWriteFailed[] = "ERROR: Write file failed\n";
constexpr char kSelfTestSizeFailed[] = "ERROR: size file failed\n";
constexpr char kSelfTestReadFailed[] = "ERROR: Read file failed\n";
constexpr char kSelfTestCompareFailed[] = "ERROR: compare file failed\n";
constexpr char kSelfTestDeleteFirstFailed[] = "ERROR: Delete file1 failed\n";
constexpr char kSelfTestDeleteSecondFailed[] = "ERROR: Delete file2 failed\n";

struct SelfTestHooks {
    // Receives each "ERROR: ..." line (with its line end) as it happens;
    // unset: the line goes to standard output.
    std::function<void(const char* line)> print;
    // Called after each iteration with the iterations done and the total;
    // returning false stops the test there (Cancel). Unset: runs to the end.
    std::function<bool(int done, int total)> progress;
};

struct SelfTestResult {
    int first_file_count = 0;   // "Right Cnt1"
    int second_file_count = 0;  // "Right Cnt2"
    int iterations_run = 0;
    bool cancelled = false;
    // A test file that could not be deleted ends the test early (the next
    // iterations would only test stale files); this says why, else empty.
    std::string stopped_because;
};

// Runs the test on a mounted volume. iterations must be at least 1 (fewer:
// nothing runs). Memory stays the same whatever the count.
SelfTestResult RunWriteDeleteTest(FatVolume& volume, int iterations, const SelfTestHooks& hooks = {});

// "Right Cnt1: %d" and "Right Cnt2: %d".
std::string FirstCountText(int count);
std::string SecondCountText(int count);

}  // namespace fat
