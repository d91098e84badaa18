#include "transfer/local_stamp.h"

#include <ctime>

#include "device/platform/file_device.h"

std::string StampFromSeconds(std::int64_t modified) {
    const auto seconds = static_cast<std::time_t>(modified);
    // The reentrant form reads the time zone once; localtime looks at it
    // again for each of a folder's thousands of files.
    std::tm parts{};
#ifdef _WIN32
    if (localtime_s(&parts, &seconds) != 0) return {};
#else
    if (!localtime_r(&seconds, &parts)) return {};
#endif
    // Four-digit years and seconds: the engine keeps what FAT can hold of them.
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    return stamp;
}

std::string LocalStamp(const std::filesystem::path& local) {
    platform::LocalFileFacts facts{};
    return platform::ReadLocalFileFacts(local.string(), &facts) ? StampFromSeconds(facts.modified) : std::string();
}
