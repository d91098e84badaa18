// The engine's time stamp for what is copied from local files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// A local modification time (seconds since 1970) as the engine's stamp text;
// "" when the time cannot be had.
std::string StampFromSeconds(std::int64_t modified);
// The stamp of a local file or folder; "" when it cannot be looked at.
std::string LocalStamp(const std::filesystem::path& local);
