#include "progress.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>

namespace qova::tool {

namespace {
constexpr int kWidth = 30;
constexpr int kLine = 72;  // what finish() blanks
}  // namespace

Progress::Progress(std::size_t images, std::size_t slots)
    : images_(std::max<std::size_t>(images, 1)),
      in_flight_(std::max<std::size_t>(slots, 1), 0.0),
      enabled_(isatty(STDERR_FILENO) == 1) {}

void Progress::rows(std::size_t slot, int64_t done, int64_t total) {
    if (!enabled_ || slot >= in_flight_.size()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_[slot] = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
    rows_done_ = done;
    rows_total_ = total;
    draw();
}

void Progress::image_done(std::size_t slot) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot < in_flight_.size()) in_flight_[slot] = 0;
    ++images_done_;
    draw();
}

void Progress::draw() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_draw_) return;
    next_draw_ = now + std::chrono::milliseconds(100);
    double share = static_cast<double>(images_done_);
    std::size_t busy = 0;
    for (const double s : in_flight_) {
        share += s;
        busy += s > 0;
    }
    share = std::min(share / static_cast<double>(images_), 1.0);
    const int filled = static_cast<int>(share * kWidth);
    char tail[64];
    if (images_ == 1) {
        std::snprintf(tail, sizeof tail, "%lld/%lld rows", static_cast<long long>(rows_done_),
                      static_cast<long long>(rows_total_));
    } else {
        std::snprintf(tail, sizeof tail, "%zu/%zu images, %zu in progress", images_done_, images_, busy);
    }
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %s", filled, "##############################", kWidth - filled, "",
                 static_cast<int>(share * 100), tail);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", kLine, "");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace qova::tool
