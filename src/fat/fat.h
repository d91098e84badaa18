// The FAT engine: every public header in one.
#pragma once

#include "fat/boot_sector.h"
#include "fat/dir_entry.h"
#include "fat/directory.h"
#include "fat/fat_table.h"
#include "fat/file.h"
#include "fat/listing.h"
#include "fat/long_name.h"
#include "fat/path.h"
#include "fat/volume.h"
#if __has_include("fat/format.h")
#include "fat/format.h"
#endif
