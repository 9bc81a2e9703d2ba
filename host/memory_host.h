// In-memory images for the reference host: what tests and benchmarks run on.
#ifndef ZENK_MEMORY_HOST_H
#define ZENK_MEMORY_HOST_H

#include "zenk_host.h"

#include <cstdint>
#include <vector>

namespace zenk {

// A planar image of signed 32-bit samples, rows stored one after another.
struct Image {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t attribute = 0;
    std::vector<int32_t> planes[3];

    Image() = default;
    Image(int32_t width, int32_t height, int32_t fill = 0);
    int32_t &at(int plane, int row, int col) { return planes[plane][index(row, col)]; }
    int32_t at(int plane, int row, int col) const { return planes[plane][index(row, col)]; }
    int32_t *row(int plane, int r) { return planes[plane].data() + index(r, 0); }

private:
    std::size_t index(int row, int col) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(col);
    }
};

// How an image is cut into parts: either every part `uniform` rows (the last
// one shorter; an empty image is one part of 0 rows), or exactly the listed
// heights, whose sum must be the image's height (0-row parts allowed).
struct PartPlan {
    int uniform = 64;
    std::vector<int> heights;

    static PartPlan rows(int n) { return PartPlan{n, {}}; }
    static PartPlan exactly(std::vector<int> h) { return PartPlan{0, std::move(h)}; }
};

// Serves an image's rows in place: the input row tables point into the image.
class MemorySource : public Source {
public:
    MemorySource(const Image &image, PartPlan plan);
    int getpart(ImageDescriptor &image) override;
    const Image &image() const { return image_; }

private:
    const Image &image_;
    std::vector<int> heights_;
    std::size_t next_ = 0;
    int32_t next_row_ = 0;
    std::vector<int32_t *> rows_[3];
};

// Whether a sink hands out the target's rows directly (fast), or stages each
// part in a buffer surrounded by sentinel samples and refuses the store with
// kGuardViolated if any was overwritten (for tests).
enum class Guard { Off, On };

// Stores each part into a target image of the source's size (resized on
// construction if it is not). The target's attribute follows the descriptor's
// on every store.
class MemorySink : public Sink {
public:
    static constexpr int32_t kSentinel = INT32_MIN + 12345;
    static constexpr int kGuardColumns = 4;

    MemorySink(Image &target, MemorySource &source, Guard guard = Guard::Off);
    void prepare(const PartWindow &window) override;

protected:
    int store(ImageDescriptor &image, const PartWindow &window) override;

private:
    bool guards_intact(const PartWindow &window) const;

    Image &target_;
    Guard guard_;
    std::vector<int32_t *> rows_[3];  // row tables handed out (with one guard row each side when staged)
    std::vector<int32_t> staging_[3];
    std::size_t stride_ = 0;
};

}  // namespace zenk

#endif
