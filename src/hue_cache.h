// The trigonometry of pixels' hues, remembered for the colour differences
// seen last. A pixel's hue depends only on R - G and R - B, which repeat far
// more often than whole colours (every brightness of a tint shares them), and
// the arc cosine and two cosines behind it cost more than everything else the
// band filter does for a pixel.
//
// Requests come a batch of pixels at a time: hits are answered at once, and
// the misses are computed together when the batch is resolved, each step for
// all of them in turn, so that the processor overlaps the library calls of
// different pixels instead of waiting on one pixel's chain of them.
#ifndef QOVA_HUE_CACHE_H
#define QOVA_HUE_CACHE_H

#include "qova_conversions.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

namespace qova {

class HueCache {
public:
    static constexpr int kBatch = 128;  // requests between two resolves, at most

    // Where a batch's answers go: sector (1, 2 or 3) and the cosines of each
    // pixel, indexed by the pixel's place in the batch.
    struct Columns {
        int32_t *sector;
        double *cos_h, *cos_60_minus_h;
    };

    // Pixel i has some saturation, with R - G = rg and R - B = rb: its hue's
    // sector and cosines, as hue_sector(hue_of_differences(rg, rb)) gives
    // them, are written to column entry i now or by the next resolve().
    void request(int i, int64_t rg, int64_t rb, const Columns &out) {
        if (rg <= -kLimit || rg >= kLimit || rb <= -kLimit || rb >= kLimit) {
            add_miss(i, -1, 0, rg, rb);  // too large to keep
            return;
        }
        const uint64_t key = (static_cast<uint64_t>(rg) & kMask) << 38 | (static_cast<uint64_t>(rb) & kMask)
                                                                             << kTagBits;
        const int set = static_cast<int>((key * 0x9E3779B97F4A7C15u) >> (64 - kSetBits));
        Entry *ways = sets_[set];
        // The most recently used of a set's two entries comes first. A known
        // entry answers now, or, if a miss of this batch is computing it, the
        // pixel follows that miss. Otherwise the pixel is a new miss, which
        // claims the first entry until resolve(), pushing the other out.
        if ((ways[1].key & ~kTagMask) == key) std::swap(ways[0], ways[1]);
        if ((ways[0].key & ~kTagMask) == key) {
            const auto tag = static_cast<unsigned>(ways[0].key & kTagMask);
            if (tag & kPending) {
                followers_[followers_count_++] = Follower{i, static_cast<int>(tag & ~kPending)};
            } else {
                out.sector[i] = static_cast<int32_t>(tag);
                out.cos_h[i] = ways[0].cos_h;
                out.cos_60_minus_h[i] = ways[0].cos_60_minus_h;
            }
            return;
        }
        ways[1] = ways[0];
        ways[0].key = key | kPending | static_cast<uint64_t>(misses_);  // misses_ < kBatch fits the tag
        add_miss(i, set, key, rg, rb);
    }

    void resolve(const Columns &out) {
        const int n = misses_;
        for (int k = 0; k < n; ++k) angle_[k] = std::acos(hue_cosine(rg_[k], rb_[k]));
        for (int k = 0; k < n; ++k) {
            const SectorAngles a = sector_angles(hue_degrees(angle_[k], rg_[k] > rb_[k]));
            sector_[k] = a.sector;
            angle_[k] = a.h;
            other_angle_[k] = a.sixty_minus_h;
        }
        for (int k = 0; k < n; ++k) cos_h_[k] = std::cos(angle_[k]);
        for (int k = 0; k < n; ++k) cos_60_minus_h_[k] = std::cos(other_angle_[k]);

        const auto answer = [&](int pixel, int k) {
            out.sector[pixel] = sector_[k];
            out.cos_h[pixel] = cos_h_[k];
            out.cos_60_minus_h[pixel] = cos_60_minus_h_[k];
        };
        for (int k = 0; k < n; ++k) {
            const Miss &m = miss_[k];
            answer(m.pixel, k);
            if (m.set < 0) continue;
            for (Entry &e : sets_[m.set]) {  // the entry it claimed, unless later misses pushed it out
                if (e.key == (m.key | kPending | static_cast<uint64_t>(k)))
                    e = Entry{m.key | static_cast<uint64_t>(sector_[k]), cos_h_[k], cos_60_minus_h_[k]};
            }
        }
        for (int k = 0; k < followers_count_; ++k) answer(followers_[k].pixel, followers_[k].miss);
        misses_ = followers_count_ = 0;
    }

private:
    void add_miss(int i, int set, uint64_t key, int64_t rg, int64_t rb) {
        miss_[misses_] = Miss{i, set, key};
        rg_[misses_] = static_cast<double>(rg);
        rb_[misses_] = static_cast<double>(rb);
        ++misses_;
    }

    static constexpr int kSetBits = 11;  // 2048 sets of two entries, 96 KiB
    // Keys: both differences in 26 bits, then a 12-bit tag: the sector of a
    // filled entry, or kPending and the index of the miss that will fill it.
    // A key of 0 (R = G = B) never occurs, so it marks an empty entry.
    static constexpr int kTagBits = 12;
    static constexpr uint64_t kTagMask = (uint64_t{1} << kTagBits) - 1;
    static constexpr unsigned kPending = 1u << 11;
    static constexpr int64_t kLimit = int64_t{1} << 25;
    static constexpr uint64_t kMask = (uint64_t{1} << 26) - 1;

    struct Entry {
        uint64_t key;
        double cos_h, cos_60_minus_h;
    };
    struct Miss {
        int pixel, set;  // set -1: differences too large to keep
        uint64_t key;
    };
    struct Follower {
        int pixel, miss;  // a pixel whose differences an earlier miss of the batch shares
    };

    Entry sets_[1u << kSetBits][2] = {};
    int misses_ = 0, followers_count_ = 0;
    Miss miss_[kBatch];
    Follower followers_[kBatch];
    double rg_[kBatch], rb_[kBatch];  // exact
    int sector_[kBatch];
    double angle_[kBatch], other_angle_[kBatch], cos_h_[kBatch], cos_60_minus_h_[kBatch];
};

}  // namespace qova

#endif
