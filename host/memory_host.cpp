#include "memory_host.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace zenk {

Image::Image(int32_t w, int32_t h, int32_t fill) : width(w), height(h) {
    if (w < 0 || h < 0) throw std::invalid_argument("image size must not be negative");
    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    for (auto &p : planes) p.assign(n, fill);
}

MemorySource::MemorySource(const Image &image, PartPlan plan) : image_(image) {
    if (!plan.heights.empty() || plan.uniform <= 0) {
        const long long sum = std::accumulate(plan.heights.begin(), plan.heights.end(), 0LL);
        const bool negative = std::any_of(plan.heights.begin(), plan.heights.end(), [](int h) { return h < 0; });
        if (plan.heights.empty() || negative || sum != image.height)
            throw std::invalid_argument("part heights must be non-negative and sum to the image height");
        heights_ = std::move(plan.heights);
    } else {
        for (int32_t done = 0; done < image.height; done += plan.uniform)
            heights_.push_back(std::min(plan.uniform, image.height - done));
        if (heights_.empty()) heights_.push_back(0);
    }
    for (int p = 0; p < 3; ++p) {
        rows_[p].resize(static_cast<std::size_t>(image.height) + 1, nullptr);
        for (int32_t r = 0; r < image.height; ++r)
            rows_[p][static_cast<std::size_t>(r)] = const_cast<Image &>(image).row(p, r);
    }
}

int MemorySource::getpart(ImageDescriptor &d) {
    if (next_ >= heights_.size()) return kNoMoreParts;
    const int rows = heights_[next_++];
    int32_t ***tables[3] = {&d.plane0, &d.plane1, &d.plane2};
    for (int p = 0; p < 3; ++p) *tables[p] = rows_[p].data() + next_row_;
    d.width = image_.width;
    announce(PartWindow{next_row_, rows, image_.width, next_ < heights_.size()});
    next_row_ += rows;
    return rows;
}

MemorySink::MemorySink(Image &target, MemorySource &source, Guard guard)
    : Sink(source), target_(target), guard_(guard) {
    const Image &in = source.image();
    // A target of the right size is reused (benchmarks store into it again and
    // again); a guarded one starts from sentinels, so unwritten samples show.
    if (target_.width != in.width || target_.height != in.height) {
        target_ = Image(in.width, in.height, guard == Guard::On ? kSentinel : 0);
    } else if (guard == Guard::On) {
        for (auto &plane : target_.planes) std::fill(plane.begin(), plane.end(), kSentinel);
    }
    stride_ = static_cast<std::size_t>(in.width) + 2 * static_cast<std::size_t>(kGuardColumns);
}

void MemorySink::prepare(const PartWindow &window) {
    const std::size_t n = static_cast<std::size_t>(window.rows);
    int32_t ***tables[3] = {&descriptor()->plane0, &descriptor()->plane1, &descriptor()->plane2};
    for (int p = 0; p < 3; ++p) {
        auto &rows = rows_[p];
        if (guard_ == Guard::Off) {
            rows.resize(n + 1);
            for (std::size_t r = 0; r < n; ++r) rows[r] = target_.row(p, window.first_row + static_cast<int>(r));
            *tables[p] = rows.data();
            continue;
        }
        // Rows -1 and n, and kGuardColumns on each side of every row, hold sentinels.
        staging_[p].assign((n + 2) * stride_, kSentinel);
        rows.resize(n + 2);
        for (std::size_t r = 0; r < n + 2; ++r) rows[r] = staging_[p].data() + r * stride_ + kGuardColumns;
        *tables[p] = rows.data() + 1;
    }
}

bool MemorySink::guards_intact(const PartWindow &window) const {
    const std::size_t n = static_cast<std::size_t>(window.rows);
    const std::size_t width = static_cast<std::size_t>(window.width);
    for (int p = 0; p < 3; ++p) {
        const std::vector<int32_t> &s = staging_[p];
        for (std::size_t r = 0; r < n + 2; ++r) {
            const int32_t *row = s.data() + r * stride_;
            const bool guard_row = r == 0 || r == n + 1;
            for (std::size_t c = 0; c < stride_; ++c) {
                const bool inside = !guard_row && c >= kGuardColumns && c < kGuardColumns + width;
                if (!inside && row[c] != kSentinel) return false;
            }
        }
    }
    return true;
}

int MemorySink::store(ImageDescriptor &d, const PartWindow &window) {
    target_.attribute = d.attribute;
    if (guard_ == Guard::Off) return 0;
    if (!guards_intact(window)) return kGuardViolated;
    for (int p = 0; p < 3; ++p)
        for (int r = 0; r < window.rows; ++r)
            std::copy_n(rows_[p][static_cast<std::size_t>(r) + 1], window.width, target_.row(p, window.first_row + r));
    return 0;
}

}  // namespace zenk
