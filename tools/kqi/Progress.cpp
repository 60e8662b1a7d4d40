#include "tools/kqi/Progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/kqi/Cli.h"

#ifdef _WIN32
#include <io.h>
#define KQ_ISATTY _isatty
#define KQ_FILENO _fileno
#else
#include <unistd.h>
#define KQ_ISATTY isatty
#define KQ_FILENO fileno
#endif

namespace kq::tools {

bool StderrIsTerminal() {
    return KQ_ISATTY(KQ_FILENO(stderr)) != 0;
}

ProgressLine::ProgressLine(bool enabled, int64_t total)
    : enabled_(enabled && total > 0), total_(total), start_(Clock::now()), shown_(start_) {}

ProgressLine::~ProgressLine() {
    if (visible_) std::fputs("\r\033[K", stderr);
}

namespace {

std::string Bytes(double n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (n >= 1024 && u < 3) {
        n /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
    return text;
}

}  // namespace

void ProgressLine::Update(int64_t done, std::string_view current) {
    if (!enabled_) return;
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < 1.0 || (visible_ && now - shown_ < std::chrono::milliseconds(200))) return;
    shown_ = now;
    visible_ = true;
    const double rate = static_cast<double>(done) / elapsed;
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    const auto eta = static_cast<long>(left + 0.5);
    char line[160];
    std::snprintf(line, sizeof line, "%3d%% %s of %s, %s/s, ETA %ld:%02ld  ",
                  static_cast<int>(std::min<int64_t>(100, done * 100 / total_)),
                  Bytes(static_cast<double>(done)).c_str(), Bytes(static_cast<double>(total_)).c_str(),
                  Bytes(rate).c_str(), eta / 60, eta % 60);
    std::string text = line;
    std::string name = Printable(current);
    const size_t room = text.size() < 78 ? 78 - text.size() : 0;
    if (name.size() > room) name = "..." + name.substr(name.size() - room + std::min<size_t>(room, 3));
    std::fprintf(stderr, "\r%s%s\033[K", text.c_str(), name.c_str());
    std::fflush(stderr);
}

}  // namespace kq::tools
