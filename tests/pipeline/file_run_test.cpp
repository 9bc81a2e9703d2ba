// The pipeline's threaded run: the same result for every thread count
// and part split, and a failure anywhere ends the run with its own message.
#include "pipeline/transform.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

namespace codecs = qova::codecs;
namespace pipeline = qova::pipeline;

namespace {

using pipeline::Operation;
using pipeline::OperatorKind;

// Serves rows of an image held in memory; fails at a given row if asked.
class MemoryReader final : public codecs::RasterReader {
public:
    MemoryReader(const codecs::RasterInfo &info, const std::vector<uint16_t> &samples, int32_t fail_at = -1)
        : samples_(samples), fail_at_(fail_at) {
        info_ = info;
    }
    bool read_rows(int rows, uint16_t *out) override {
        if (fail_at_ >= 0 && next_ + rows > fail_at_) {
            error_ = "damaged at row " + std::to_string(fail_at_);
            return false;
        }
        const std::size_t row = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(row * static_cast<std::size_t>(next_)),
                    row * static_cast<std::size_t>(rows), out);
        next_ += rows;
        return true;
    }

private:
    const std::vector<uint16_t> &samples_;
    int32_t next_ = 0, fail_at_;
};

// Keeps rows in image order; fails at a given row if asked.
class MemoryWriter final : public codecs::RasterWriter {
public:
    explicit MemoryWriter(const codecs::RasterInfo &info, int32_t fail_at = -1) : fail_at_(fail_at) {
        row_samples_ = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels);
    }
    bool write_rows(int rows, const uint16_t *in) override {
        if (fail_at_ >= 0 && written_ + rows > fail_at_) {
            error_ = "disk full at row " + std::to_string(fail_at_);
            return false;
        }
        samples.insert(samples.end(), in, in + static_cast<std::size_t>(rows) * row_samples_);
        written_ += rows;
        return true;
    }
    bool finish() override { return true; }
    std::vector<uint16_t> samples;

private:
    int32_t written_ = 0, fail_at_;
};

codecs::RasterInfo layout(int32_t width, int32_t height, int channels, int depth) {
    codecs::RasterInfo info;
    info.width = width;
    info.height = height;
    info.channels = channels;
    info.bit_depth = depth;
    return info;
}

std::vector<uint16_t> noise(const codecs::RasterInfo &info, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> pick(0, info.max_value());
    std::vector<uint16_t> v(static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.height) *
                            static_cast<std::size_t>(info.channels));
    for (uint16_t &s : v) s = static_cast<uint16_t>(pick(rng));
    return v;
}

Operation operation(OperatorKind kind, int strength, std::vector<int> poles = {}) {
    Operation op;
    op.kind = kind;
    op.strength = strength;
    op.poles = std::move(poles);
    op.centre = 520;
    op.bandwidth = 60;
    return op;
}

std::optional<std::string> run(const codecs::RasterInfo &info, const std::vector<uint16_t> &in, const Operation &op,
                               pipeline::RunShape shape, std::vector<uint16_t> *out, int32_t read_fail = -1,
                               int32_t write_fail = -1) {
    MemoryReader reader(info, in, read_fail);
    MemoryWriter writer(info, write_fail);
    auto problem = pipeline::transform(reader, writer, info, "out", op, {}, shape, {}, nullptr);
    *out = writer.samples;
    return problem;
}

TEST(FileRun, SameResultForEveryThreadCountAndPartSplit) {
    ScopedChdir data(QOVA_DATA_DIR);  // the band filter reads its table from here
    const Operation operations[] = {operation(OperatorKind::Saturation, 45), operation(OperatorKind::Hue, -60),
                                    operation(OperatorKind::Hue, 80, {300, 1900}),
                                    operation(OperatorKind::Bandpass, 0)};
    for (const codecs::RasterInfo &info : {layout(61, 37, 3, 8), layout(23, 19, 4, 16), layout(17, 11, 1, 8)}) {
        const std::vector<uint16_t> in = noise(info, static_cast<unsigned>(info.width));
        for (const Operation &op : operations) {
            std::vector<uint16_t> expected, got;
            ASSERT_FALSE(run(info, in, op, {64, 1}, &expected));
            ASSERT_EQ(expected.size(), in.size());
            for (const unsigned threads : {1u, 2u, 3u, 5u})
                for (const int part_rows : {1, 3, 7, 64}) {
                    ASSERT_FALSE(run(info, in, op, {part_rows, threads}, &got));
                    EXPECT_EQ(got, expected) << "operator " << static_cast<int>(op.kind) << ", " << threads
                                             << " threads, parts of " << part_rows << " rows";
                }
        }
    }
}

TEST(FileRun, PngBytesTheSameOnAnyNumberOfThreads) {
    const codecs::RasterInfo info = layout(300, 170, 3, 8);  // several bands of the writer's
    const std::vector<uint16_t> in = noise(info, 3);
    std::string first;
    for (const unsigned threads : {1u, 2u, 4u}) {
        std::FILE *file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::string error;
        const auto writer = codecs::open_png_writer(file, info, &error);
        MemoryReader reader(info, in);
        ASSERT_FALSE(pipeline::transform(reader, *writer, info, "out", operation(OperatorKind::Hue, 30), {},
                                         {64, threads}, {}, nullptr));
        ASSERT_TRUE(writer->finish());
        std::string bytes(static_cast<std::size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        ASSERT_EQ(std::fread(&bytes[0], 1, bytes.size(), file), bytes.size());
        std::fclose(file);
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first) << threads << " threads";
    }
}

TEST(FileRun, AFailureAnywhereEndsTheRunWithItsMessage) {
    const codecs::RasterInfo info = layout(40, 90, 3, 8);
    const std::vector<uint16_t> in = noise(info, 9);
    for (const unsigned threads : {1u, 2u, 4u}) {
        std::vector<uint16_t> out;
        EXPECT_EQ(run(info, in, operation(OperatorKind::Saturation, 20), {8, threads}, &out, 45),
                  std::optional<std::string>("damaged at row 45"))
            << threads << " threads";
        EXPECT_LE(out.size(), static_cast<std::size_t>(45 * 40 * 3)) << "nothing written past the damage";
        EXPECT_EQ(run(info, in, operation(OperatorKind::Saturation, 20), {8, threads}, &out, -1, 30),
                  std::optional<std::string>("out: disk full at row 30"))
            << threads << " threads";
        EXPECT_EQ(run(info, in, operation(OperatorKind::Saturation, 500), {8, threads}, &out),
                  std::optional<std::string>("operator failed"))
            << threads << " threads: the strength is refused";
        EXPECT_TRUE(out.empty());
    }
}

// A thread's large working buffers come back to it for the next run of the
// same size, zeroed like any new buffer; a buffer of another size is not
// handed a block too small or too large.
TEST(KeptBuffers, AThreadGetsItsOwnLargeBlockBackZeroed) {
    const auto address = [](const pipeline::KeptBuffer<int32_t> &b) { return reinterpret_cast<uintptr_t>(b.data()); };
    const auto freed_block = [&](std::size_t n) {
        pipeline::KeptBuffer<int32_t> a(n);
        std::fill(a.begin(), a.end(), 7);
        return address(a);
    };
    const uintptr_t large = freed_block(100000);
    pipeline::KeptBuffer<int32_t> again(100000);
    EXPECT_EQ(address(again), large);
    EXPECT_TRUE(std::all_of(again.begin(), again.end(), [](int32_t v) { return v == 0; }));

    const uintptr_t kept = freed_block(200000);
    pipeline::KeptBuffer<int32_t> other_size(150000);
    EXPECT_NE(address(other_size), kept);
    pipeline::KeptBuffer<int32_t> from_a_thread(200000);
    std::thread([&] { from_a_thread = pipeline::KeptBuffer<int32_t>(200000, 3); }).join();
    EXPECT_TRUE(std::all_of(from_a_thread.begin(), from_a_thread.end(), [](int32_t v) { return v == 3; }));
}

}  // namespace
