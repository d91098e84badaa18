#include "transfer/local_stamp.h"

#include <ctime>

#include "device/platform/file_device.h"

std::string StampFromSeconds(std::int64_t modified) {
    const auto seconds = static_cast<std::time_t>(modified);
    const std::tm* parts = std::localtime(&seconds);
    if (!parts) return {};
    // Four-digit years and seconds: the engine keeps what FAT can hold of them.
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", parts);
    return stamp;
}

std::string LocalStamp(const std::filesystem::path& local) {
    platform::LocalFileFacts facts{};
    return platform::ReadLocalFileFacts(local.string(), &facts) ? StampFromSeconds(facts.modified) : std::string();
}
