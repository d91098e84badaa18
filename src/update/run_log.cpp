#include "update/run_log.h"

#include <chrono>
#include <ctime>
#include <fstream>

#include "device/platform/local_path.h"
#include "device/platform/user_folders.h"

namespace {

std::string TimeStamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char text[32] = {};
    // Called under the log's lock; nothing else in the programs uses gmtime.
    const std::tm* parts = std::gmtime(&now);
    if (parts) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", parts);
    return text;
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

std::string RunLog::DefaultPath() {
    const std::string folder = platform::UserStateDirectory();
    return folder.empty() ? std::string{} : folder + "/" + kRunLogFileName;
}

RunLog::RunLog(std::string path) : path_(std::move(path)) {}

void RunLog::Line(const std::string& text) {
    if (path_.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::ofstream out(platform::LocalPath(path_), std::ios::app);
    out << TimeStamp() << " " << WithoutLineEnd(text) << "\n";
}

void RunLog::Diagnostic(const std::string& line) { Line("  | " + line); }
