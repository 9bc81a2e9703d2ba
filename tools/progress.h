// A progress bar on standard error for work that takes over a second; silent
// when standard error is not a terminal.
#ifndef QOVA_TOOLS_PROGRESS_H
#define QOVA_TOOLS_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace qova_tool {

class Progress {
public:
    Progress(int64_t total, std::string unit);
    ~Progress() { finish(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void add(int64_t n) { update(done_ += n); }
    void set_total_and_done(int64_t total, int64_t done) {
        total_ = total > 0 ? total : 1;
        update(done_ = done);
    }
    void finish();

private:
    void update(int64_t done);

    std::atomic<int64_t> total_;
    const std::string unit_;
    const bool enabled_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<int64_t> done_{0};
    std::atomic<int64_t> next_draw_ms_{1000};
    std::mutex draw_;
    bool drawn_ = false;
};

}  // namespace qova_tool

#endif
