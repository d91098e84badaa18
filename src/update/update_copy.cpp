#include "update/update_copy.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "device/platform/platform.h"

namespace {

using platform::CurrentPlatform;
using platform::FileMode;

struct Chunks {
    std::vector<std::uint8_t> first = std::vector<std::uint8_t>(kCopyChunkBytes);
    std::vector<std::uint8_t> second = std::vector<std::uint8_t>(kCopyChunkBytes);
};

CopyOutcome Failure(std::string what) { return {false, std::move(what)}; }

// A read error ends the loop early; a source that changed meanwhile differs
// in size. Either way what was written is not the update file.
CopyOutcome CopyBytes(platform::Device& source, platform::Device& copy, std::uint64_t total, Chunks& chunks,
                      const CopyProgressFn& progress) {
    std::uint64_t copied = 0;
    for (;;) {
        const std::size_t read = source.Read(chunks.first.data(), chunks.first.size());
        if (read == 0) break;
        if (copy.Write(chunks.first.data(), read) != read)
            return Failure("writing the copy failed after " + std::to_string(copied) + " bytes");
        copied += read;
        progress(ProgressPhase::Copy, std::min(copied, total), total);
    }
    if (copied != total)
        return Failure("the update file gave " + std::to_string(copied) + " bytes, not " + std::to_string(total));
    if (!copy.Flush()) return Failure("the copy could not be flushed to the camera");
    return {true, {}};
}

CopyOutcome CompareBytes(platform::Device& source, platform::Device& copy, std::uint64_t total, Chunks& chunks,
                         const CopyProgressFn& progress) {
    std::uint64_t compared = 0;
    while (compared < total) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunkBytes, total - compared));
        if (source.Read(chunks.first.data(), length) != length)
            return Failure("the update file could not be read again");
        if (copy.Read(chunks.second.data(), length) != length)
            return Failure("the copy could not be read back from the camera");
        if (!std::equal(chunks.first.begin(), chunks.first.begin() + static_cast<std::ptrdiff_t>(length),
                        chunks.second.begin()))
            return Failure("the copy on the camera differs from the update file");
        compared += length;
        progress(ProgressPhase::Verify, compared, total);
    }
    std::uint8_t past_end = 0;
    if (copy.Read(&past_end, 1) != 0) return Failure("the copy on the camera is longer than the update file");
    return {true, {}};
}

CopyOutcome CopyAndVerify(const std::string& source_path, const std::string& copy_path,
                          const CopyProgressFn& progress) {
    auto& files = CurrentPlatform();
    Chunks chunks;
    std::uint64_t total = 0;
    {
        auto source = files.OpenFile(source_path, FileMode::ReadExisting);
        const std::int64_t size = source ? source->Size() : -1;
        if (size <= 0) return Failure("the update file " + source_path + " is missing or empty");
        total = static_cast<std::uint64_t>(size);
        auto copy = files.OpenFile(copy_path, FileMode::CreateTruncate);
        if (!copy) return Failure("cannot create " + copy_path);
        const CopyOutcome copied = CopyBytes(*source, *copy, total, chunks, progress);
        if (!copied.ok) return copied;
    }
    auto source = files.OpenFile(source_path, FileMode::ReadExisting);
    auto copy = files.OpenFile(copy_path, FileMode::ReadUncached);
    if (!source || !copy) return Failure("the copy could not be opened to be checked");
    return CompareBytes(*source, *copy, total, chunks, progress);
}

}  // namespace

CopyWay ChooseCopyWay(std::uint64_t free_bytes, std::uint64_t update_size, std::uint64_t earlier_size) {
    if (free_bytes > update_size) return CopyWay::BesideEarlierFile;
    const std::uint64_t room_without_earlier =
        free_bytes + std::min(earlier_size, std::numeric_limits<std::uint64_t>::max() - free_bytes);
    return earlier_size > 0 && room_without_earlier > update_size ? CopyWay::RemoveEarlierFirst : CopyWay::NoRoom;
}

CopyOutcome CopyVerifiedUpdateFile(const std::string& source, const std::string& volume_root, CopyWay way,
                                   const CopyProgressFn& progress) {
    if (way == CopyWay::NoRoom) return Failure("not enough free space on the camera");
    auto& files = CurrentPlatform();
    const std::string destination = volume_root + kUpdateFileName;
    const std::string temporary = volume_root + kUpdateTempFileName;
    if (way == CopyWay::RemoveEarlierFirst && !files.RemoveFile(destination))
        return Failure("the earlier update file " + destination + " could not be removed to make room");

    CopyOutcome outcome = CopyAndVerify(source, temporary, progress);
    if (outcome.ok && !files.ReplaceFile(temporary, destination))
        outcome = Failure("the checked copy could not be renamed to " + destination);
    if (!outcome.ok) files.RemoveFile(temporary);
    return outcome;
}
