#include "update/update_window.h"

#include <cstdio>

#include "device/eject.h"

namespace {

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

const char* ProgressPhaseName(ProgressPhase phase) {
    switch (phase) {
        case ProgressPhase::Copy: return "copy";
        case ProgressPhase::Verify: return "verify";
        case ProgressPhase::Marker: return "marker";
        case ProgressPhase::Eject: return "eject";
    }
    return "";
}

std::string ProgressDetailText(const UpdateProgress& progress) {
    if (progress.total == 0) return {};
    std::string text = std::string(progress.phase == ProgressPhase::Verify ? "checking " : "copying ") +
                       Mebibytes(progress.bytes) + " of " + Mebibytes(progress.total) + " MiB";
    if (progress.seconds_left != kUnknownSecondsLeft) text += ", " + std::to_string(progress.seconds_left) + " s left";
    return text;
}

void UpdateWindow::ShowDiagnostic(const std::string& line) { PrintDiagnosticLine(line); }
