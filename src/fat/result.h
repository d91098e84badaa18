// Why an engine operation failed, for callers that tell the user.
#pragma once

namespace fat {

enum class Result {
    Ok,
    NotMounted,     // no volume is mounted, or the last mount failed
    NotFound,       // a path, or a folder on the way to it, does not exist
    Exists,         // the name is taken (a hidden or system entry counts)
    NoSpace,        // the volume, or the folder's entry limit, is full
    BadName,        // a name the volume cannot store or other systems refuse
    Busy,           // the file is open, or no file record is free
    NotADirectory,  // a folder was expected
    IsADirectory,   // a file was expected
    NotEmpty,       // a folder that still holds entries
    ReadOnly,       // the device takes no writes
    TooLarge,       // a file would pass the 4 GiB - 1 a FAT volume can hold
    Damaged,        // the volume's structures are damaged where the operation went
    Io,             // the device failed a read or a write
    Invalid,        // a call the engine cannot take (null, a closed file, a bad mode)
};

// A short English phrase for messages ("no such file or folder").
const char* ResultText(Result result);

}  // namespace fat
