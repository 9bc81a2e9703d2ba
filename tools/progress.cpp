#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace qova_tool {

Progress::Progress(int64_t total, std::string unit)
    : total_(total > 0 ? total : 1), unit_(std::move(unit)), enabled_(isatty(STDERR_FILENO) == 1) {}

void Progress::update(int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
    int64_t due = next_draw_ms_.load();
    if (ms < due || !next_draw_ms_.compare_exchange_strong(due, ms + 100)) return;
    std::lock_guard<std::mutex> lock(draw_);
    constexpr int kWidth = 30;
    const int64_t total = total_;
    const int64_t shown = done < total ? done : total;
    const int filled = static_cast<int>(shown * kWidth / total);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %lld/%lld %s", filled, "##############################", kWidth - filled, "",
                 static_cast<int>(shown * 100 / total), static_cast<long long>(shown), static_cast<long long>(total),
                 unit_.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(draw_);
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", 60 + static_cast<int>(unit_.size()), "");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace qova_tool
