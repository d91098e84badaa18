// The update file's way onto the camera's user volume. The camera installs
// whatever "APP_DATA.BIN" it finds beside a marker, so that name never
// carries half a file: the copy goes to a temporary name, is read back from
// the volume and compared with the source, and only then takes the name in
// one rename.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "update/update_window.h"

constexpr char kUpdateFileName[] = "APP_DATA.BIN";
constexpr char kUpdateTempFileName[] = "APP_DATA.TMP";

constexpr std::size_t kCopyChunkBytes = 0x10000;

enum class CopyWay {
    // Room for both: an earlier update file stays as it was until the new
    // one has been verified.
    BesideEarlierFile,
    // Room only once the earlier file is gone: it is removed first, so a
    // failure leaves no update file at all rather than a broken one.
    RemoveEarlierFirst,
    NoRoom,
};

// free_bytes: free space of the volume; earlier_size: the size of the
// update file already on it (0 when there is none). The new file needs
// more free bytes than it has, as the run has always demanded.
CopyWay ChooseCopyWay(std::uint64_t free_bytes, std::uint64_t update_size, std::uint64_t earlier_size);

struct CopyOutcome {
    bool ok = false;
    std::string failure;  // what went wrong, for the log and the detail line
};

// Called after every chunk: the phase (Copy or Verify) and the bytes done.
using CopyProgressFn = std::function<void(ProgressPhase phase, std::uint64_t bytes, std::uint64_t total)>;

// Copies `source` to volume_root + kUpdateFileName the way `way` says,
// checking every transfer, flushing, reading the copy back past the cache
// and comparing it with the source. On failure the temporary copy is
// removed and the update file is either the earlier one, untouched, or
// absent.
CopyOutcome CopyVerifiedUpdateFile(const std::string& source, const std::string& volume_root, CopyWay way,
                                   const CopyProgressFn& progress);
