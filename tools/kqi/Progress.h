// The progress display of the long-running commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace kq::tools {

// Whether standard error shows on a terminal, where a progress line belongs.
bool StderrIsTerminal();

// Bytes, rate, ETA and the current file on one line of a terminal, once the
// work has taken about a second; nothing when disabled.
class ProgressLine {
public:
    ProgressLine(bool enabled, int64_t total);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    void Update(int64_t done, std::string_view current);

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    int64_t total_;
    Clock::time_point start_;
    Clock::time_point shown_;
    bool visible_ = false;
};

}  // namespace kq::tools
