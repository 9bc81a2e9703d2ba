// The hue cache against the direct computation, bit for bit, on request
// streams made to hit every path: hits, repeats within one batch (including
// after another key took the slot), slot collisions, and differences too
// large to keep.
#include "src/hue_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

bool same_bits(double a, double b) {
    uint64_t x = 0, y = 0;
    std::memcpy(&x, &a, sizeof a);
    std::memcpy(&y, &b, sizeof b);
    return x == y;
}

TEST(HueCache, AnswersAsTheDirectComputation) {
    std::mt19937 rng(11);
    // A small pool, so that keys repeat within and across batches and many share slots.
    std::vector<std::pair<int64_t, int64_t>> pool;
    std::uniform_int_distribution<int64_t> small(-255, 255), wide(-65535, 65535);
    for (int i = 0; i < 3000; ++i) pool.emplace_back(small(rng), i % 2 ? small(rng) : wide(rng));
    for (const int64_t big :
         {int64_t{1} << 25, (int64_t{1} << 25) - 1, -(int64_t{1} << 25), int64_t{1} << 32, -(int64_t{1} << 32) + 1})
        pool.emplace_back(big, 7);
    pool.erase(std::remove(pool.begin(), pool.end(), std::make_pair(int64_t{0}, int64_t{0})), pool.end());

    auto cache = std::make_unique<qova::HueCache>();
    int32_t sector[qova::HueCache::kBatch];
    double cos_h[qova::HueCache::kBatch], cos_60[qova::HueCache::kBatch];
    const qova::HueCache::Columns out{sector, cos_h, cos_60};
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<int> batch_size(1, qova::HueCache::kBatch);
    for (int batch = 0; batch < 2000; ++batch) {
        const int n = batch_size(rng);
        std::vector<std::pair<int64_t, int64_t>> asked(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            asked[static_cast<std::size_t>(i)] = pool[pick(rng)];
            cache->request(i, asked[static_cast<std::size_t>(i)].first, asked[static_cast<std::size_t>(i)].second, out);
        }
        cache->resolve(out);
        for (int i = 0; i < n; ++i) {
            const auto [rg, rb] = asked[static_cast<std::size_t>(i)];
            const qova::HueSector want = qova::hue_sector(qova::hue_of_differences(rg, rb));
            ASSERT_EQ(sector[i], want.sector) << rg << ", " << rb;
            ASSERT_TRUE(same_bits(cos_h[i], want.cos_h)) << rg << ", " << rb;
            ASSERT_TRUE(same_bits(cos_60[i], want.cos_60_minus_h)) << rg << ", " << rb;
        }
    }
}

}  // namespace
