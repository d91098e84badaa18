#include "transfer/local_stamp.h"

#include <ctime>

#include "device/platform/file_device.h"

std::string StampFromSeconds(std::int64_t modified) {
    // The time zone is read once: localtime would look at it again for
    // each of a folder's thousands of files.
    static const bool zone_read = (tzset(), true);
    (void)zone_read;
    const auto seconds = static_cast<std::time_t>(modified);
    std::tm parts{};
    if (!localtime_r(&seconds, &parts)) return {};
    // Four-digit years and seconds: the engine keeps what FAT can hold of them.
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    return stamp;
}

std::string LocalStamp(const std::filesystem::path& local) {
    platform::LocalFileFacts facts{};
    return platform::ReadLocalFileFacts(local.string(), &facts) ? StampFromSeconds(facts.modified) : std::string();
}
