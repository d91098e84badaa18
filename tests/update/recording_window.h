// An update window that records every call the run makes, as text lines
// ("screen 2", "progress 58", "message OT2.1", "message: <fixed text>",
// "question OT2.2", "end"), and can hold the worker on the copying screen.
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
    void SetProgress(int position) override { Record("progress " + std::to_string(position)); }
    void ShowMessage(const WindowText& message) override {
        Record(message.FromTextTable() ? "message " + message.key : "message: " + message.text);
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(message.text);
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
};

}  // namespace testsupport
