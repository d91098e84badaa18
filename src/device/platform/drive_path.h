// Drive-root paths ("E:\DCIM\A.JPG"), which name files on a drive rather
// than local files.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The drive letter of a drive-root path ("E:\...", "E:/...", "e:"),
// upper case; 0 when the path does not start with one.
char DriveLetterOfPath(const std::string& path);
// Whether a path may name a local file. On POSIX a drive-root path never
// does (there is no drive E, only perhaps a file literally named "E:\A");
// on Windows local files have drive letters too.
bool MayNameLocalFile(const std::string& path);
// The path below the drive root as a relative local path ("DCIM/A.JPG"),
// or nothing when it would leave the root ("..") or names the root itself.
std::optional<std::string> PathBelowDriveRoot(const std::string& path);

}  // namespace platform
