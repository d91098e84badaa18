// An update window that records every call the run makes, as text lines
// ("screen 2", "progress 58", "message OT2.1", "message: <fixed text>",
// "warning: <fixed text>", "question OT2.2", "end"), and can hold the worker
// on the copying screen. Progress is kept whole too.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "update/update_window.h"

namespace testsupport {

class RecordingWindow : public UpdateWindow {
public:
    bool answer_yes = true;

    void ShowScreen(int screen) override {
        Record("screen " + std::to_string(screen));
        if (screen != kScreenCopying) return;
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait(lock, [this] { return !holding_; });
    }
    void SetProgress(const UpdateProgress& progress) override {
        Record("progress " + std::to_string(progress.position));
        std::lock_guard<std::mutex> lock(mutex_);
        progress_.push_back(progress);
    }
    void ShowMessage(const WindowText& message) override {
        Record(message.FromTextTable() ? "message " + message.key : "message: " + message.text);
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(message.text);
        details_.push_back(message.detail);
    }
    void ShowWarning(const WindowText& warning) override {
        Record("warning: " + warning.text);
    }
    void ShowDiagnostic(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        diagnostics_.push_back(line);
    }
    bool AskYesNo(const WindowText& question) override {
        Record("question " + question.key);
        return answer_yes;
    }
    void EndDialog() override { Record("end"); }

    // The worker waits on the copying screen until Release.
    void HoldCopyingScreen() {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            holding_ = false;
        }
        released_.notify_all();
    }

    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> MessageTexts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    std::vector<std::string> MessageDetails() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return details_;
    }
    std::vector<UpdateProgress> Progress() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return progress_;
    }
    std::vector<std::string> Diagnostics() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return diagnostics_;
    }
    // The events of one kind ("progress", "message"...), in order.
    std::vector<std::string> EventsOf(const std::string& kind) const {
        std::vector<std::string> found;
        for (const auto& event : Events())
            if (event.rfind(kind, 0) == 0) found.push_back(event);
        return found;
    }
    std::vector<int> ProgressPositions() const {
        std::vector<int> positions;
        for (const auto& event : EventsOf("progress ")) positions.push_back(std::stoi(event.substr(9)));
        return positions;
    }

private:
    void Record(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }

    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool holding_ = false;
    std::vector<std::string> events_;
    std::vector<std::string> texts_;
    std::vector<std::string> details_;
    std::vector<UpdateProgress> progress_;
    std::vector<std::string> diagnostics_;
};

}  // namespace testsupport
