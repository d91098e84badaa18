// The explorer's file commands on a mounted volume, apart from any widget:
// importing local files and folders, saving volume entries to local
// folders, deleting and renaming entries. The dialog asks its questions and
// shows progress through the callbacks; every command ends with one result
// to show.
//
// Volume paths are the engine's ("/DCIM/a.jpg"); names are UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fat {
class Volume;
}

// What a command ended with. entry names what the message is about: on
// success the entry made or changed (its volume path, or the local path a
// save wrote), on failure the file or folder that failed.
struct ExplorerResult {
    bool ok = true;
    std::string message;
    std::string entry;
};

// Where a copy stands: bytes of the whole command, and of the file in hand.
struct TransferProgress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    std::uint64_t file_done = 0;
    std::uint64_t file_total = 0;
    std::string entry;  // the file being copied, as the source names it

    // The file's progress as the console copy shows it in the caption.
    std::string Caption() const;
};

// "Written %d of %d (%d%%)": the percentage is whole, never past 100.
std::string WrittenCaption(std::uint64_t done, std::uint64_t total);

struct TransferControl {
    // Called after every chunk; false cancels the command at once. The file
    // in hand is left out (removed, or the old one kept), files copied
    // before it stay.
    std::function<bool(const TransferProgress&)> progress;
    // Whether an existing file may be replaced (true) or kept and skipped
    // (false); the path is the volume path on import, the local path on
    // save. Without it nothing existing is ever replaced.
    std::function<bool(const std::string& existing)> replace;
    // Local files never written and never imported: the disk images the
    // volume is read from.
    std::vector<std::string> volume_files;
};

// A local file or folder (with everything below it) into volume folder
// `volume_folder`, under its own whole name. Nothing is written when a
// file of 4 GiB or more is among them.
ExplorerResult ImportLocalFile(fat::Volume& volume, const std::filesystem::path& local,
                               const std::string& volume_folder, const TransferControl& control);
ExplorerResult ImportLocalFolder(fat::Volume& volume, const std::filesystem::path& local,
                                 const std::string& volume_folder, const TransferControl& control);
// Either of the two, by what `local` is.
ExplorerResult ImportLocalPath(fat::Volume& volume, const std::filesystem::path& local,
                               const std::string& volume_folder, const TransferControl& control);

// A volume file or folder (with everything below it) into local folder
// `local_folder`, under its name made safe for the local file system.
ExplorerResult SaveVolumeEntry(fat::Volume& volume, const std::string& volume_path,
                               const std::filesystem::path& local_folder, const TransferControl& control);
// The same to a local path the user chose (a Save As dialog); the names
// below it come from the volume and are made safe.
ExplorerResult SaveVolumeEntryAs(fat::Volume& volume, const std::string& volume_path,
                                 const std::filesystem::path& local_path, const TransferControl& control);

// A file, or a folder with everything inside it.
ExplorerResult DeleteVolumeEntry(fat::Volume& volume, const std::string& volume_path);
// The message a new name gets when it holds a character no name may hold,
// on the volume or in a local folder; "" when it holds none.
std::string NewNameCharacterProblem(const std::string& new_name);

// Gives the entry `new_name` in its own folder; the same name, or an empty
// one, changes nothing and says nothing.
ExplorerResult RenameVolumeEntry(fat::Volume& volume, const std::string& volume_path,
                                 const std::string& new_name);
