// A progress bar on standard error for work that takes over a second; silent
// when standard error is not a terminal. One image shows its rows; a batch
// shows the images done, advanced by the rows of those in flight.
#ifndef QOVA_TOOLS_PROGRESS_H
#define QOVA_TOOLS_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qova::tool {

class Progress {
public:
    // `images` to make, by at most `slots` workers at once.
    Progress(std::size_t images, std::size_t slots);
    ~Progress() { finish(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // The image in worker `slot` has read `done` of its `total` rows.
    void rows(std::size_t slot, int64_t done, int64_t total);
    void image_done(std::size_t slot);
    void finish();

private:
    void draw();

    std::mutex mutex_;
    const std::size_t images_;
    std::size_t images_done_ = 0;
    std::vector<double> in_flight_;           // by slot: the share of its image read
    int64_t rows_done_ = 0, rows_total_ = 0;  // the last report, for one image
    const bool enabled_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point next_draw_ = start_ + std::chrono::seconds(1);
    bool drawn_ = false;
};

}  // namespace qova::tool

#endif
