// The band filter operator through the reference host.
#include "qova.h"

#include "harness.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>

namespace {

using Rgb = std::array<int32_t, 3>;

zenk::Image pixels(const std::vector<Rgb> &list) {
    zenk::Image image(static_cast<int32_t>(list.size()), 1);
    for (std::size_t i = 0; i < list.size(); ++i)
        for (int p = 0; p < 3; ++p) image.planes[p][i] = list[i][static_cast<std::size_t>(p)];
    return image;
}

Rgb pixel(const zenk::Image &image, int i) { return {image.at(0, 0, i), image.at(1, 0, i), image.at(2, 0, i)}; }

auto filter(int centre, int bandwidth, int order) {
    return [=](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_XYZfilter(in, out, centre, bandwidth, order); };
}

struct FilterCase {
    const char *what;
    Rgb in;
    int centre, bandwidth, order;
    Rgb expected;
};
std::ostream &operator<<(std::ostream &os, const FilterCase &c) { return os << c.what; }

class FilterPixels : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterPixels, Weighted) {
    const FilterCase &c = GetParam();
    Harness h(pixels({c.in}));
    ASSERT_EQ(h.run(filter(c.centre, c.bandwidth, c.order)), 0);
    EXPECT_EQ(pixel(h.output, 0), c.expected);
}

// (1000, 50, 0) lies at 600 nm, (1000, 60, 0) at 599 nm, (255, 140, 0) at 578 nm,
// grey (255, 255, 255) at 577 nm.
INSTANTIATE_TEST_SUITE_P(
    Filter, FilterPixels,
    ::testing::Values(
        FilterCase{"one half-bandwidth away: half intensity", {1000, 50, 0}, 550, 100, 2, {500, 24, 0}},
        FilterCase{"inside half the bandwidth: kept, truncated", {1000, 60, 0}, 550, 100, 2, {1000, 59, 0}},
        FilterCase{"grey in the pass band keeps its value", {255, 255, 255}, 577, 100, 2, {255, 255, 255}},
        FilterCase{"at the centre", {255, 140, 0}, 578, 10, 3, {255, 140, 0}},
        FilterCase{"order 0 halves", {255, 140, 0}, 578, 10, 0, {127, 70, 0}},
        FilterCase{"negative order: the centre is black", {255, 140, 0}, 578, 100, -1, {0, 0, 0}},
        FilterCase{"negative order: one half-bandwidth away is half", {255, 140, 0}, 628, 100, -1, {127, 70, 0}},
        FilterCase{"far outside: q = 13, weight 1/170", {1000, 50, 0}, 400, 30, 1, {5, 0, 0}},
        FilterCase{"black stays black", {0, 0, 0}, 380, 10, -3, {0, 0, 0}},
        FilterCase{"T = 0 goes to 380 nm", {1, 0, 0}, 380, 10, 1, {0, 0, 0}},
        FilterCase{"negative samples go through HSI as they are", {-300, 40, 10}, 550, 100, 1, {69, -60, -59}},
        FilterCase{"huge order: weight 0", {1000, 50, 0}, 380, 2, INT_MAX, {0, 0, 0}},
        FilterCase{"centre far away", {1000, 50, 0}, INT_MIN, 2, 1, {0, 0, 0}},
        FilterCase{"samples at the int32 extremes",
                   {INT_MAX, INT_MAX, INT_MIN},
                   550,
                   INT_MAX,
                   1,
                   {INT_MAX - 1, INT_MAX, INT_MIN}}));

TEST(Filter, NegativeBandwidthActsLikeItsAbsoluteValue) {
    const zenk::Image image = random_image(40, 9, 0, 65535, 3);
    for (const int order : {0, 1, 3, -2}) {
        Harness plus(image), minus(image, zenk::PartPlan::exactly({2, 0, 7}));
        ASSERT_EQ(plus.run(filter(520, 200, order)), 0);
        ASSERT_EQ(minus.run(filter(520, -200, order)), 0);
        for (int p = 0; p < 3; ++p) EXPECT_EQ(plus.output.planes[p], minus.output.planes[p]) << order;
    }
}

TEST(Filter, CallsAndAttribute) {
    Harness h(random_image(5, 7, 0, 255, 4), zenk::PartPlan::exactly({3, 0, 4}));
    h.input.attribute = 0x1234;
    ASSERT_EQ(h.run(filter(550, 100, 2)), 0);
    EXPECT_EQ(h.trace.sequence(), "GPGPGPR0R0");
    EXPECT_EQ(h.output.attribute, 0x1234u);
}

TEST(Filter, HostFailuresUseTheirTexts) {
    Harness fetch(random_image(2, 4, 0, 255), zenk::PartPlan::rows(2));
    fetch.trace.fail_getpart(2, -8);
    EXPECT_EQ(fetch.run(filter(550, 100, 2)), -8);
    EXPECT_EQ(fetch.errors(), "Error in Getpart - incomplete read;");
    EXPECT_EQ(fetch.trace.sequence(), "GPG");

    Harness store(random_image(2, 4, 0, 255), zenk::PartPlan::rows(2));
    store.trace.fail_putpart(1, -1);
    EXPECT_EQ(store.run(filter(550, 100, 2)), -1);
    EXPECT_EQ(store.errors(), "Error in Putpart - incomplete write;");
    EXPECT_EQ(store.trace.sequence(), "GP");
}

TEST(Filter, NarrowBandwidthIsRejectedBeforeAnything) {
    TempDir empty;  // no table here: a load would print a message
    ScopedChdir cd(empty.path());
    for (const int bandwidth : {-1, 0, 1}) {
        Harness h(random_image(2, 2, 0, 255));
        h.input.attribute = 9;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(h.run(filter(550, bandwidth, 2)), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(ZENK_ERRNO, -20);
        EXPECT_TRUE(h.trace.calls.empty());
        EXPECT_EQ(h.out.attribute, 0u);
    }
    Harness h(random_image(2, 2, 0, 255));
    EXPECT_EQ(h.run([](ImageDescriptor *, ImageDescriptor *out) { return QOVA_XYZfilter(nullptr, out, 550, 100, 2); }),
              -1);
    EXPECT_EQ(ZENK_ERRNO, -20);
}

TEST(Filter, UnreadableTableFailsWithoutFetching) {
    std::string full;
    {
        std::ifstream f("cie_table.txt");
        full.assign(std::istreambuf_iterator<char>(f), {});
    }
    const auto first_lines = [&](int n) {
        std::size_t pos = 0;
        for (int i = 0; i < n; ++i) pos = full.find('\n', pos) + 1;
        return full.substr(0, pos);
    };
    const struct {
        const char *what;
        std::optional<std::string> table;
        bool works;
    } cases[] = {
        {"missing", std::nullopt, false},
        {"338 records", first_lines(338), false},
        {"malformed record 100", first_lines(99) + "459, 0.1; 0.2\n" + full.substr(first_lines(100).size()), false},
        {"339 records", first_lines(339), true},
    };
    for (const auto &c : cases) {
        TempDir dir;
        if (c.table) dir.write("cie_table.txt", *c.table);
        ScopedChdir cd(dir.path());
        Harness h(random_image(3, 2, 0, 255));
        h.input.attribute = 3;
        ZENK_ERRNO = 0;
        ::testing::internal::CaptureStdout();
        const int status = h.run(filter(550, 100, 2));
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(h.out.attribute, 3u) << c.what;
        if (c.works) {
            EXPECT_EQ(status, 0) << c.what;
            continue;
        }
        EXPECT_EQ(status, -1) << c.what;
        EXPECT_EQ(h.errors(), "Error in readtable - cie_table.txt can't be read;") << c.what;
        EXPECT_EQ(h.trace.sequence(), "") << c.what;
        EXPECT_EQ(ZENK_ERRNO, 0) << c.what;
        EXPECT_EQ(printed, c.table ? "" : "File:cie_table.txt can't read\n") << c.what;
    }
}

// The table-taking entry point: the same pixels and host calls as the
// filter that loads cie_table.txt itself, with nothing read from the working
// directory; a NULL table is rejected before any host call.
TEST(Filter, LoadedTableGivesTheSameResult) {
    ChromaEntry table[QOVA_TABLE_SIZE];
    ASSERT_EQ(QOVA_readtable("cie_table.txt", table), QOVA_TABLE_SIZE);  // tests run beside a copy
    const zenk::Image image = random_image(37, 23, 0, 70000, 11);
    Harness exact(image);
    exact.input.attribute = 5;
    ASSERT_EQ(exact.run(filter(520, 60, 3)), 0);

    TempDir empty;
    ScopedChdir cd(empty.path());
    Harness loaded(image);
    loaded.input.attribute = 5;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(loaded.run([&](ImageDescriptor *in, ImageDescriptor *out) {
        return QOVA_XYZfilterTable(in, out, 520, 60, 3, table);
    }),
              0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "nothing looked for in the working directory";
    for (int p = 0; p < 3; ++p) EXPECT_EQ(loaded.output.planes[p], exact.output.planes[p]) << "plane " << p;
    EXPECT_EQ(loaded.trace.sequence(), exact.trace.sequence());
    EXPECT_EQ(loaded.out.attribute, 5u);

    Harness rejected(image);
    EXPECT_EQ(rejected.run([](ImageDescriptor *in, ImageDescriptor *out) {
        return QOVA_XYZfilterTable(in, out, 520, 60, 3, nullptr);
    }),
              QOVA_REJECTED);
    EXPECT_EQ(ZENK_ERRNO, -20);
    EXPECT_TRUE(rejected.trace.calls.empty());
}

}  // namespace
