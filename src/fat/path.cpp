#include "fat/path.h"

#include <cstring>
#include <string>

#include "fat/directory.h"
#include "fat/volume.h"
#include "fat/volume_state.h"

namespace {

constexpr std::size_t kDrivePrefixLength = 3;

struct PathSyntax {
    std::size_t body;  // where the first component starts
    char separator;
};

// "/..." with slashes, or a drive prefix ("X:\") with backslashes.
bool ReadSyntax(const char* path, PathSyntax* syntax) {
    if (!path) return false;
    if (path[0] == '/') {
        *syntax = {1, '/'};
        return true;
    }
    if (std::strlen(path) >= kDrivePrefixLength && (path[1] == ':' || path[2] == '\\')) {
        *syntax = {kDrivePrefixLength, '\\'};
        return true;
    }
    return false;
}

// The piece `index` between separators: false when the path has fewer.
bool FindPiece(const char* path, const PathSyntax& syntax, int index, const char** begin, std::size_t* length) {
    const char* p = path + syntax.body;
    for (int i = 0; i < index; ++i) {
        p = std::strchr(p, syntax.separator);
        if (!p) return false;
        ++p;
    }
    const char* end = std::strchr(p, syntax.separator);
    *begin = p;
    *length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    return true;
}

}  // namespace

int FatPathDepth(const char* path) {
    PathSyntax syntax;
    if (!ReadSyntax(path, &syntax)) return -1;
    int runs = 0;
    bool in_run = false;
    for (const char* p = path + syntax.body; *p; ++p) {
        if (*p == syntax.separator) {
            in_run = false;
        } else if (!in_run) {
            in_run = true;
            ++runs;
        }
    }
    return runs - 1;
}

int FatPathComponent(const char* path, int index, char* out, std::size_t out_size) {
    PathSyntax syntax;
    if (!ReadSyntax(path, &syntax) || index < 0) return -1;
    const char* begin;
    std::size_t length;
    if (!FindPiece(path, syntax, index, &begin, &length)) return -1;
    if (length == 0 || length >= out_size) return -1;
    std::memcpy(out, begin, length);
    out[length] = '\0';
    return 0;
}

int FatSplitPath(const char* path, char* name, char* directory, std::size_t name_size,
                 std::size_t directory_size) {
    PathSyntax syntax;
    if (!ReadSyntax(path, &syntax)) return -1;
    const char* last = std::strrchr(path + syntax.body, syntax.separator);
    const char* name_begin = last ? last + 1 : path + syntax.body;
    const std::size_t name_length = std::strlen(name_begin);
    if (name_length == 0 || name_length >= name_size) return -1;
    std::memcpy(name, name_begin, name_length + 1);
    directory[0] = '\0';
    if (FatPathDepth(path) > 0) {
        // Everything before the name's separator.
        const std::size_t length = static_cast<std::size_t>(name_begin - path) - 1;
        if (length >= directory_size) return -1;
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }
    return 0;
}

bool FatPathIsRoot(const char* path) {
    PathSyntax syntax;
    if (!ReadSyntax(path, &syntax)) return false;
    return path[syntax.body] == '\0';
}

int FatResolveDirectory(const char* path, std::uint32_t* start_cluster) {
    return FatResolveDirectory(FatTheVolume(), path, start_cluster);
}

// The last directory path resolved and its cluster. A file's import looks
// up and opens paths in the same folder several times before it writes
// anything; each resolution of a deep path is a pass per component. Any
// write through the engine (FAT, directory or data) and every mount change
// change_count, so the answer holds while it stays the same, as the
// directory plans do.
struct FatPathMemo {
    bool valid = false;
    std::uint64_t change_count = 0;
    std::string path;
    std::uint32_t cluster = 0;
};

void FatDestroyPart(FatPathMemo* part) { delete part; }

namespace {

FatPathMemo& MemoOf(FatVolume& volume) {
    if (!volume.state->path_memo) volume.state->path_memo.reset(new FatPathMemo());
    return *volume.state->path_memo;
}

bool MemoAnswers(const FatVolume& volume, const FatPathMemo& memo, const char* path) {
    return memo.valid && memo.change_count == volume.change_count && memo.path == path;
}

int ResolveByPasses(FatVolume& volume, const char* path, std::uint32_t* start_cluster);

}  // namespace

// Only a resolution that saw no damage and no failed read is remembered:
// one that did reports it again each time, as before.
int FatResolveDirectory(FatVolume& volume, const char* path, std::uint32_t* start_cluster) {
    if (!path || path[0] == '\0' || FatPathIsRoot(path) || !volume.state)
        return ResolveByPasses(volume, path, start_cluster);
    FatPathMemo& memo = MemoOf(volume);
    if (MemoAnswers(volume, memo, path)) {
        *start_cluster = memo.cluster;
        return 1;
    }
    const std::uint32_t damage_before = volume.damage_count;
    const bool io_failed_before = volume.state->outcome.io_failed;
    const int resolved = ResolveByPasses(volume, path, start_cluster);
    memo.valid = false;
    if (resolved && volume.damage_count == damage_before && !io_failed_before && !volume.state->outcome.io_failed) {
        memo.path = path;
        memo.change_count = volume.change_count;
        memo.cluster = *start_cluster;
        memo.valid = true;
    }
    return resolved;
}

namespace {

int ResolveByPasses(FatVolume& volume, const char* path, std::uint32_t* start_cluster) {
    std::uint32_t current = volume.root_cluster;
    if (path && path[0] != '\0' && !FatPathIsRoot(path)) {
        PathSyntax syntax;
        const int depth = FatPathDepth(path);
        FatFoundEntry found;
        char component[kFatNameBufferSize];
        for (int i = 0; i <= depth; ++i) {
            if (!ReadSyntax(path, &syntax) || FatPathComponent(path, i, component) != 0) {
                FatNoteFailure(volume, fat::Result::BadName);
                return 0;
            }
            if (!FatLocateEntry(volume, current, component, &found)) {
                FatNoteFailure(volume, fat::Result::NotFound);
                return 0;
            }
            if (!FatIsDirectoryEntry(found.entry)) {
                FatNoteFailure(volume, fat::Result::NotADirectory);
                return 0;
            }
            const std::uint32_t next = FatEntryFirstCluster(found.entry);
            if (!FatIsDataCluster(volume, next)) {
                FatReportDamage(volume, "directory entry points outside the volume", next);
                return 0;
            }
            current = next;
        }
    }
    *start_cluster = current;
    return 1;
}

}  // namespace
