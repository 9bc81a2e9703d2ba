// The reference host's own promises: part plans, guarded stores, call order.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

std::vector<int> served_heights(const zenk::Image &image, zenk::PartPlan plan) {
    zenk::MemorySource source(image, std::move(plan));
    ImageDescriptor in{};
    zenk::bind(in, source, image.width, image.attribute);
    std::vector<int> heights;
    for (;;) {
        const int n = ZENK_Getpart(&in);
        if (n < 0) {
            EXPECT_EQ(n, zenk::kNoMoreParts);
            return heights;
        }
        heights.push_back(n);
    }
}

TEST(MemoryHost, PartPlans) {
    EXPECT_EQ(served_heights(zenk::Image(2, 7), zenk::PartPlan::rows(3)), (std::vector<int>{3, 3, 1}));
    EXPECT_EQ(served_heights(zenk::Image(2, 6), zenk::PartPlan::rows(3)), (std::vector<int>{3, 3}));
    EXPECT_EQ(served_heights(zenk::Image(2, 0), zenk::PartPlan::rows(3)), (std::vector<int>{0}));
    EXPECT_EQ(served_heights(zenk::Image(2, 3), zenk::PartPlan::exactly({0, 3, 0})), (std::vector<int>{0, 3, 0}));
    EXPECT_THROW(served_heights(zenk::Image(2, 3), zenk::PartPlan::exactly({1, 1})), std::invalid_argument);
    EXPECT_THROW(served_heights(zenk::Image(2, 3), zenk::PartPlan::exactly({4, -1})), std::invalid_argument);
}

// A misbehaving operator: writes one sample at (row, col) of the part, then stores.
int write_at(ImageDescriptor *in, ImageDescriptor *out, int row, int col) {
    const int n = ZENK_Getpart(in);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < in->width; ++c) out->plane0[r][c] = out->plane1[r][c] = out->plane2[r][c] = 0;
    out->plane1[row][col] = 1;
    return ZENK_Putpart(out);
}

TEST(MemoryHost, GuardedSinkRefusesWritesOutsideThePart) {
    const struct {
        int row, col;
        int status;
    } cases[] = {
        {0, 0, 0},
        {2, 3, 0},  // inside
        {-1, 0, zenk::kGuardViolated},
        {3, 0, zenk::kGuardViolated},  // rows beyond the part
        {0, -1, zenk::kGuardViolated},
        {1, 4, zenk::kGuardViolated},  // columns beyond the width
    };
    for (const auto &c : cases) {
        Harness h(zenk::Image(4, 3), zenk::PartPlan::rows(3));
        EXPECT_EQ(h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return write_at(in, out, c.row, c.col); }),
                  c.status)
            << c.row << "," << c.col;
    }
}

TEST(MemoryHost, StoreWithoutFetchAndContinuesFlag) {
    Harness h(zenk::Image(1, 2), zenk::PartPlan::rows(1));
    h.run([](ImageDescriptor *in, ImageDescriptor *out) {
        EXPECT_EQ(ZENK_Putpart(out), zenk::kOutOfOrder);
        EXPECT_EQ(ZENK_Getpart(out), zenk::kUnbound) << "outputs are never fetched";
        EXPECT_EQ(ZENK_Getpart(in), 1);
        out->plane0[0][0] = out->plane1[0][0] = out->plane2[0][0] = 0;
        EXPECT_EQ(ZENK_Putpart(out), 0);
        EXPECT_EQ(out->continues, 1u);
        EXPECT_EQ(ZENK_Getpart(in), 1);
        out->plane0[0][0] = out->plane1[0][0] = out->plane2[0][0] = 0;
        EXPECT_EQ(ZENK_Putpart(out), 0);
        EXPECT_EQ(out->continues, 0u);
        EXPECT_EQ(ZENK_Getpart(in), zenk::kNoMoreParts);
        return 0;
    });
    EXPECT_EQ(ZENK_Getpart(nullptr), zenk::kUnbound);
}

TEST(MemoryHost, InjectedFaultLeavesTheImageAlone) {
    Harness h(zenk::Image(1, 2), zenk::PartPlan::rows(1));
    h.trace.fail_getpart(1, -42);
    h.run([](ImageDescriptor *in, ImageDescriptor *) {
        EXPECT_EQ(ZENK_Getpart(in), -42);
        EXPECT_EQ(ZENK_Getpart(in), 1) << "the failed call served nothing";
        return 0;
    });
}

TEST(MemoryHost, ErrorTextGoesToStandardErrorWithNewline) {
    ::testing::internal::CaptureStderr();
    ZENK_Error("Saturation Variation");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Saturation Variation\n");
}

}  // namespace
