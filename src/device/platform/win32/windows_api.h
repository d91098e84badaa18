// The system's headers, the way every file of this backend takes them.
// They name some calls by macros that would rename the interface's own
// members of the same name (GetDriveType, ReplaceFile) in whatever file
// sees both; the wide calls are always named in full here instead.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetDriveType
#undef ReplaceFile
