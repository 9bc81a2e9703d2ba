// The part-wise loop as every operator runs it, exercised through the
// saturation operator: call order, part splits, failures and rejections.
#include "qova.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

int saturate30(ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, 30); }

struct SplitCase {
    int height;
    std::vector<int> parts;
    const char *calls;
};
std::ostream &operator<<(std::ostream &os, const SplitCase &c) { return os << c.calls; }

class PartSplits : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PartSplits, EveryPartFetchedTransformedAndStoredThenBothRefreshed) {
    const SplitCase &c = GetParam();
    Harness h(random_image(5, c.height, 0, 999), zenk::PartPlan::exactly(c.parts));
    ASSERT_EQ(h.run(saturate30), 0);
    EXPECT_EQ(h.trace.sequence(), c.calls);
    EXPECT_EQ(h.errors(), "");
    // Refresh goes to in, then to out.
    const auto &calls = h.trace.calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].image, &h.in);
    EXPECT_EQ(calls.back().image, &h.out);
    for (int r = 0; r < c.height; ++r)
        for (int col = 0; col < 5; ++col)
            EXPECT_NE(h.output.at(2, r, col), zenk::MemorySink::kSentinel) << "pixel never written";
}

INSTANTIATE_TEST_SUITE_P(Loop, PartSplits,
                         ::testing::Values(SplitCase{4, {4}, "GPR0R0"}, SplitCase{0, {0}, "GPR0R0"},
                                           SplitCase{7, {1, 2, 0, 4}, "GPGPGPGPR0R0"},
                                           SplitCase{6, {0, 0, 6, 0}, "GPGPGPGPR0R0"},
                                           SplitCase{9, {3, 1, 5}, "GPGPGPR0R0"}));

struct FaultCase {
    bool on_fetch;
    int at;
    int status;
    const char *calls;
};
std::ostream &operator<<(std::ostream &os, const FaultCase &c) {
    return os << (c.on_fetch ? "fetch" : "store") << c.at << "=" << c.status;
}

class HostFailures : public ::testing::TestWithParam<FaultCase> {};

TEST_P(HostFailures, StatusReturnedUnchangedAfterReportAndNoRefresh) {
    const FaultCase &c = GetParam();
    Harness h(random_image(4, 9, 0, 999), zenk::PartPlan::rows(3));
    h.input.attribute = 77;
    if (c.on_fetch)
        h.trace.fail_getpart(c.at, c.status);
    else
        h.trace.fail_putpart(c.at, c.status);
    EXPECT_EQ(h.run(saturate30), c.status);
    EXPECT_EQ(h.trace.sequence(), c.calls);
    EXPECT_EQ(h.errors(), "Saturation Variation;");
    EXPECT_EQ(h.out.attribute, 77u) << "attribute copied before the first fetch";
}

INSTANTIATE_TEST_SUITE_P(Loop, HostFailures,
                         ::testing::Values(FaultCase{true, 1, -7, "G"}, FaultCase{true, 2, -1, "GPG"},
                                           FaultCase{true, 3, INT_MIN, "GPGPG"},
                                           // The failed store's part would continue; the loop must not look.
                                           FaultCase{false, 1, -9, "GP"}, FaultCase{false, 2, -1, "GPGP"}));

TEST(Loop, RejectedArgumentsMakeNoHostCall) {
    for (int strength : {-101, 101, INT_MIN, INT_MAX}) {
        Harness h(random_image(3, 3, 0, 999));
        h.input.attribute = 5;
        EXPECT_EQ(
            h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, strength); }), -1)
            << strength;
        EXPECT_EQ(ZENK_ERRNO, -20);
        EXPECT_TRUE(h.trace.calls.empty());
        EXPECT_EQ(h.out.attribute, 0u) << "nothing copied on rejection";
    }
    Harness h(random_image(3, 3, 0, 999));
    EXPECT_EQ(h.run([](ImageDescriptor *in, ImageDescriptor *) { return QOVA_SatuVariation(in, nullptr, 0); }), -1);
    EXPECT_EQ(h.run([](ImageDescriptor *, ImageDescriptor *out) { return QOVA_SatuVariation(nullptr, out, 0); }), -1);
    EXPECT_EQ(ZENK_ERRNO, -20);
    EXPECT_TRUE(h.trace.calls.empty());
}

TEST(Loop, StrengthLimitsAccepted) {
    for (int strength : {-100, 100}) {
        Harness h(random_image(3, 3, 0, 999));
        EXPECT_EQ(
            h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, strength); }), 0);
        EXPECT_EQ(ZENK_ERRNO, 0);
    }
}

}  // namespace
