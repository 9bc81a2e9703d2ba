// The chromaticity table loader and the nearest-wavelength search.
#include "qova.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct Loaded {
    int records;
    ChromaEntry table[QOVA_TABLE_SIZE];
};

Loaded load(const std::string &content) {
    TempDir dir;
    Loaded l;
    l.records = QOVA_readtable(dir.write("t.txt", content).c_str(), l.table);
    return l;
}

// n records "360+i, 0.i, 0.5" with the given line end.
std::string records(int n, const char *eol = "\n", int first = 360) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::to_string(first + i) + ", " + std::to_string(i / 1000.0) + ", 0.5" + eol;
    return s;
}

TEST(Table, ShippedFileHoldsThePublishedLocus) {
    ChromaEntry table[QOVA_TABLE_SIZE];
    ASSERT_EQ(QOVA_readtable("cie_table.txt", table), 340);  // tests run beside a copy
    const struct {
        int nm;
        double x, y;
    } published[] = {
        {360, 0.175560, 0.005294}, {380, 0.174112, 0.004964}, {520, 0.074302, 0.833803},
        {600, 0.627037, 0.372491}, {699, 0.734690, 0.265310},
    };
    for (const auto &p : published) {
        EXPECT_EQ(table[p.nm - 360].x, p.x) << p.nm;
        EXPECT_EQ(table[p.nm - 360].y, p.y) << p.nm;
    }
}

TEST(Table, RecordsFillByPositionWhateverTheirNumbersAndLineEnds) {
    const Loaded lf = load(records(340));
    const Loaded crlf = load(records(340, "\r\n"));
    const Loaded renumbered = load(records(340, "\n", 9000));
    const Loaded tight = load("7,0.25,0.75\n" + records(339));      // no blanks needed
    const Loaded no_comma = load("7 0.25, 0.75\n" + records(339));  // the number still converts
    ASSERT_EQ(lf.records, 340);
    for (const Loaded *l : {&crlf, &renumbered, &tight, &no_comma}) {
        ASSERT_EQ(l->records, 340);
        for (int i = 1; i < 340; ++i) EXPECT_EQ(l->table[i].x, lf.table[i - (l == &tight || l == &no_comma)].x);
    }
    EXPECT_EQ(crlf.table[339].x, 0.339);
    EXPECT_EQ(tight.table[0].x, 0.25);
    EXPECT_EQ(no_comma.table[0].y, 0.75);
}

TEST(Table, TextAfterTheLastRecordIsIgnored) {
    const Loaded l = load(records(340) + "garbage, 9, 9\n" + records(5));
    EXPECT_EQ(l.records, 340);
    EXPECT_EQ(l.table[339].x, 0.339);
}

TEST(Table, LoadingStopsAtTheFirstMalformedRecordAndLeavesNaN) {
    const struct {
        std::string content;
        int records;
    } cases[] = {
        {records(10) + "370, x, 0.5\n" + records(329), 10},
        {records(10) + "370, 0.1\n", 10},  // y missing at the end of the file
        {records(10) + "oops\n" + records(329), 10},
        {records(338), 338},
        {"", 0},
    };
    for (const auto &c : cases) {
        const Loaded l = load(c.content);
        EXPECT_EQ(l.records, c.records);
        for (int i = c.records; i < QOVA_TABLE_SIZE; ++i) {
            EXPECT_TRUE(std::isnan(l.table[i].x) && std::isnan(l.table[i].y)) << i;
        }
    }
}

TEST(Table, MissingFileIsReportedOnStandardOutput) {
    ChromaEntry table[QOVA_TABLE_SIZE];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QOVA_readtable("no/such/table.txt", table), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "File:no/such/table.txt can't read\n");

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QOVA_readtable(nullptr, table), -1);
    EXPECT_EQ(QOVA_readtable("cie_table.txt", nullptr), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

class Search : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QOVA_readtable("cie_table.txt", table), 340); }
    ChromaEntry table[QOVA_TABLE_SIZE];
};

TEST_F(Search, NearestWavelength) {
    const ChromaEntry &e380 = table[20];
    EXPECT_EQ(mindist(e380.x, e380.y, 380, 699, table), 380);
    EXPECT_EQ(dist(e380.x, e380.y, 380, table), 0.0);

    // Midway between 500 and 501 nm, far from the rest of the locus: equal
    // distances, and the shorter wavelength wins.
    ChromaEntry tie[QOVA_TABLE_SIZE];
    std::copy(table, table + QOVA_TABLE_SIZE, tie);
    tie[140] = {0.25, 1.5};
    tie[141] = {0.75, 1.5};
    EXPECT_EQ(dist(0.5, 1.5, 500, tie), 0.25);
    EXPECT_EQ(dist(0.5, 1.5, 501, tie), 0.25);
    EXPECT_EQ(mindist(0.5, 1.5, 380, 699, tie), 500);
    EXPECT_EQ(mindist(0.5, 1.5, 501, 699, tie), 501);
}

TEST_F(Search, DegeneratePointsAndRanges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(mindist(nan, 0.3, 380, 699, table), 380);
    EXPECT_EQ(mindist(0.3, nan, 380, 699, table), 380);
    EXPECT_EQ(mindist(inf, 0.3, 380, 699, table), 380);
    EXPECT_EQ(mindist(-inf, inf, 380, 699, table), 380);
    EXPECT_EQ(mindist(0.3, 0.3, 600, 600, table), 600);  // empty range
    EXPECT_EQ(mindist(0.3, 0.3, 650, 10, table), 650);
    EXPECT_TRUE(std::isnan(dist(0.3, 0.3, 359, table)));
    EXPECT_TRUE(std::isnan(dist(0.3, 0.3, 700, table)));
    // Candidates outside the table are NaN and never win.
    EXPECT_EQ(mindist(0.74, 0.26, 690, 2000, table), 699);
    EXPECT_EQ(mindist(0.74, 0.26, 100, 400, table), 100);
}

}  // namespace
