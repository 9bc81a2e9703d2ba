#include "detail/kept_buffers.h"

#include <new>

namespace qova::pipeline::kept {

namespace {

constexpr std::size_t kSmallest = std::size_t{64} << 10;
constexpr std::size_t kMost = std::size_t{16} << 20;
constexpr std::size_t kBlocks = 32;

struct Block {
    void *data;
    std::size_t bytes;
};

// One thread's blocks, oldest first.
struct Kept {
    std::vector<Block> blocks;
    std::size_t bytes = 0;
    Kept() { blocks.reserve(kBlocks); }
    ~Kept() {
        for (const Block &b : blocks) ::operator delete(b.data);
    }
    Kept(const Kept &) = delete;
    Kept &operator=(const Kept &) = delete;
};

Kept &mine() {
    thread_local Kept kept;
    return kept;
}

}  // namespace

void *take(std::size_t bytes) {
    if (bytes >= kSmallest) {
        Kept &k = mine();
        for (std::size_t i = k.blocks.size(); i-- > 0;) {  // the newest first
            if (k.blocks[i].bytes != bytes) continue;
            void *data = k.blocks[i].data;
            k.blocks.erase(k.blocks.begin() + static_cast<std::ptrdiff_t>(i));
            k.bytes -= bytes;
            return data;
        }
    }
    return ::operator new(bytes);
}

void give(void *block, std::size_t bytes) noexcept {
    if (!block) return;
    if (bytes < kSmallest || bytes > kMost) {
        ::operator delete(block);
        return;
    }
    try {
        Kept &k = mine();
        while (!k.blocks.empty() && (k.bytes + bytes > kMost || k.blocks.size() >= kBlocks)) {  // the oldest go
            ::operator delete(k.blocks.front().data);
            k.bytes -= k.blocks.front().bytes;
            k.blocks.erase(k.blocks.begin());
        }
        k.blocks.push_back(Block{block, bytes});  // within the reserved room: no allocation
        k.bytes += bytes;
    } catch (...) {  // no room for this thread's list: freed instead
        ::operator delete(block);
    }
}

}  // namespace qova::pipeline::kept
