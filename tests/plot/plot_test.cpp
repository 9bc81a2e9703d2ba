// The plots checked against values worked out here: chromaticities read from
// the table file, positions from the documented axes, weights and sRGB
// encoding from their formulas; PNGs decoded by stb_image, SVG by xmllint,
// PDF by poppler.
#include "pipeline/few_colours.h"
#include "plot/statistics.h"
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

namespace fs = std::filesystem;

// The table file's chromaticity for a wavelength, read here with sscanf.
std::pair<double, double> table_xy(int nm) {
    std::FILE *f = std::fopen(QOVA_DATA_DIR "/cie_table.txt", "r");
    EXPECT_NE(f, nullptr);
    int w = 0;
    double x = 0, y = 0;
    while (f && std::fscanf(f, "%d, %lf, %lf", &w, &x, &y) == 3)
        if (w == nm) break;
    if (f) std::fclose(f);
    EXPECT_EQ(w, nm);
    return {x, y};
}

double srgb(double linear) { return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055; }

bytes::Decoded plot_png(const TempDir &dir, const std::string &args) {
    const fs::path out = dir.path() / "plot.png";
    const ToolRun run = run_qova("plot " + args + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const bytes::Decoded d = bytes::decode(read_text(out));
    EXPECT_EQ(d.width, 1280);
    EXPECT_EQ(d.height, 760);
    return d;
}

int brightest(const bytes::Decoded &d, double x, double y) {
    const int px = static_cast<int>(std::floor(x)), py = static_cast<int>(std::floor(y));
    return std::max({d.at(px, py, 0), d.at(px, py, 1), d.at(px, py, 2)});
}

// The locus point of a wavelength at (80 + 700 x, 700 - 700 y), in its colour
// (the largest component full in linear light) dimmed by the weight
// 1 / (1 + q^4), q = whole half-bandwidths (30 nm) from 520 nm.
TEST(Plot, LocusDrawnWhereTheTablePutsItDimmedByItsWeight) {
    const TempDir dir;
    const bytes::Decoded d = plot_png(dir, "bandpass --centre 520 --bandwidth 60 --order 2");
    struct Case {
        int nm;
        double weight;
    } cases[] = {{520, 1}, {505, 1}, {540, 1}, {565, 0.5}, {470, 0.5}, {600, 1.0 / 17}, {650, 1.0 / 257}};
    for (const Case &c : cases) {
        const auto [x, y] = table_xy(c.nm);
        const int expected = static_cast<int>(std::lround(255 * srgb(c.weight)));
        EXPECT_NEAR(brightest(d, 80 + 700 * x, 700 - 700 * y), expected, 2) << c.nm << " nm";
    }
    // 520 nm is green at full brightness.
    const auto [x, y] = table_xy(520);
    const int px = static_cast<int>(80 + 700 * x), py = static_cast<int>(700 - 700 * y);
    EXPECT_EQ(d.at(px, py, 1), 255);
    EXPECT_LT(d.at(px, py, 0), 128);
}

// At strength 0 the transfer curve is the diagonal; elsewhere it passes where
// the operator sends a hue: (90 + 600 v / 360, 670 - 600 w / 360).
TEST(Plot, HueCurvePassesThroughWhatTheOperatorGives) {
    const TempDir dir;
    struct Case {
        const char *args;
        double in, out;
    } cases[] = {
        {"--strength 0", 30, 30},
        {"--strength 0", 100, 100},
        {"--strength 0", 200, 200},
        {"--strength 0", 330, 330},
        {"--strength 100", 100, 120},
        {"--strength 50", 20, 10},
        {"--strength 50", 200, 220},
        {"--strength -100 --poles 0,180", 100, 20},
        {"--strength 50 --poles 90", 300, 15},
    };
    std::map<std::string, bytes::Decoded> plots;
    for (const Case &c : cases) {
        if (!plots.count(c.args)) plots[c.args] = plot_png(dir, std::string("hue ") + c.args);
        const bytes::Decoded &d = plots[c.args];
        const double x = 90 + 600 * c.in / 360, y = 670 - 600 * c.out / 360;
        EXPECT_GE(brightest(d, x, y), 240) << c.args << ": " << c.in << " to " << c.out;
        if (c.in != c.out) {  // and not on the identity (dashed grey there)
            EXPECT_LT(brightest(d, x, 670 - 600 * c.in / 360), 240) << c.args << ": " << c.in;
        }
    }
}

// One flat colour: one occupied cell, at floor(200 x), floor(200 y) of the
// colour's chromaticity in linear light, and one dominant wavelength, the one
// the plain scan (mindist) finds.
TEST(Plot, FlatColourFillsOneDensityCellAtItsChromaticity) {
    const uint16_t rgb[3] = {200, 120, 40};
    double lin[3], rgb16[3];
    for (int k = 0; k < 3; ++k) {
        const double v = rgb[k] / 255.0;
        lin[k] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        rgb16[k] = std::round(lin[k] * 65535);
    }
    const double X = 0.412453 * rgb16[0] + 0.357580 * rgb16[1] + 0.180423 * rgb16[2];
    const double Y = 0.212671 * rgb16[0] + 0.715160 * rgb16[1] + 0.072169 * rgb16[2];
    const double Z = 0.019334 * rgb16[0] + 0.119193 * rgb16[1] + 0.950227 * rgb16[2];
    const double x = X / (X + Y + Z), y = Y / (X + Y + Z);
    const int i = static_cast<int>(std::floor(200 * x)), j = static_cast<int>(std::floor(200 * y));

    codecs::RasterInfo info;
    info.width = 37;
    info.height = 5;
    info.channels = 3;
    info.bit_depth = 8;
    std::vector<uint16_t> samples;
    for (int p = 0; p < info.width * info.height; ++p) samples.insert(samples.end(), rgb, rgb + 3);
    const auto reader = qova::pipeline::colour_row_reader(info, samples);  // height rows of the one colour
    std::string error;
    qova::pipeline::Operation op;
    op.kind = qova::pipeline::OperatorKind::Bandpass;
    op.table = qova::pipeline::load_table(QOVA_DATA_DIR "/cie_table.txt", &error);
    ASSERT_TRUE(op.table) << error;
    qova::plot::Statistics stats;
    std::vector<std::string> warnings;
    ASSERT_TRUE(qova::plot::gather(*reader, op, false, 3, &stats, &error, &warnings)) << error;

    const uint64_t pixels = static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height);
    EXPECT_EQ(stats.pixels, pixels);
    int occupied = 0;
    for (std::size_t c = 0; c < stats.density.size(); ++c)
        if (stats.density[c]) {
            ++occupied;
            EXPECT_EQ(c, static_cast<std::size_t>(j * 160 + i)) << "cell " << c % 160 << ", " << c / 160;
            EXPECT_EQ(stats.density[c], pixels);
        }
    EXPECT_EQ(occupied, 1);
    const int nm = mindist(x, y, 380, 699, op.table->data());
    for (std::size_t w = 0; w < stats.wavelengths.size(); ++w)
        EXPECT_EQ(stats.wavelengths[w], static_cast<int>(w) + 380 == nm ? pixels : 0) << w + 380 << " nm";
}

// The same colour in a file through the tool: its cell is drawn full white
// at (80 + 700 (i + 1/2) / 200, 700 - 700 (j + 1/2) / 200).
TEST(Plot, DensityCellDrawnAtItsPlace) {
    const TempDir dir;
    Picture flat;
    flat.info.width = 20;
    flat.info.height = 10;
    flat.info.channels = 3;
    flat.info.bit_depth = 8;
    for (int p = 0; p < 200; ++p) flat.samples.insert(flat.samples.end(), {200, 120, 40});
    ASSERT_TRUE(write_picture(dir.path() / "flat.png", flat, codecs::FileFormat::Png));
    const bytes::Decoded d = plot_png(dir, "bandpass --centre 520 --bandwidth 60 " + quoted(dir.path() / "flat.png"));
    // The chromaticity of (200, 120, 40) in linear light, worked out as
    // above: (0.4974, 0.4161), cell (99, 83).
    const double cx = 80 + 700 * 99.5 / 200, cy = 700 - 700 * 83.5 / 200;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(d.at(static_cast<int>(cx), static_cast<int>(cy), k), 255);
    // Its neighbours are not drawn white.
    EXPECT_LT(brightest(d, cx + 3.5, cy), 250);
    EXPECT_LT(brightest(d, cx, cy - 3.5), 250);
}

// The hue and saturation counts: before and after, greys apart, the clamped
// share. Levels worked out by hand: saturation round(999 (1 - 3 min / sum)),
// hue from the arc cosine formula.
TEST(Plot, HueAndSaturationCountsBeforeAndAfter) {
    codecs::RasterInfo info;
    info.width = 4;
    info.height = 1;
    info.channels = 3;
    info.bit_depth = 8;
    // Red: hue 0, level 999. Grey: level 0. (200, 120, 40): hue 30 deg, level
    // 666. (150, 160, 200): hue 229.1 deg, level 118.
    const std::vector<uint16_t> samples = {255, 0, 0, 90, 90, 90, 200, 120, 40, 150, 160, 200};
    const auto count = [&](qova::pipeline::OperatorKind kind, int strength) {
        std::string error;
        std::vector<std::string> warnings;
        qova::pipeline::Operation op;
        op.kind = kind;
        op.strength = strength;
        qova::plot::Statistics stats;
        EXPECT_TRUE(qova::plot::gather(*qova::pipeline::colour_row_reader(info, samples), op, false, 1, &stats, &error,
                                       &warnings))
            << error;
        return stats;
    };
    const auto only = [](const auto &bins, std::map<std::size_t, uint64_t> expected) {
        for (std::size_t b = 0; b < bins.size(); ++b) EXPECT_EQ(bins[b], expected[b]) << "bin " << b;
    };

    // Doubled: 999 and 666 are held at 999, 118 becomes 236.
    const qova::plot::Statistics sat = count(qova::pipeline::OperatorKind::Saturation, 100);
    EXPECT_EQ(sat.pixels, 4u);
    EXPECT_EQ(sat.clamped, 2u);
    only(sat.saturation_before, {{99, 1}, {0, 1}, {66, 1}, {11, 1}});
    only(sat.saturation_after, {{99, 2}, {0, 1}, {23, 1}});

    // Halfway to the poles 0 and 240: 30 becomes 15, 229.1 becomes 234.5.
    const qova::plot::Statistics hue = count(qova::pipeline::OperatorKind::Hue, 50);
    EXPECT_EQ(hue.grey, 1u);
    EXPECT_EQ(hue.clamped, 0u);
    only(hue.hue_before, {{0, 1}, {30, 1}, {229, 1}});
    only(hue.hue_after, {{0, 1}, {15, 1}, {234, 1}});
}

// The SVG is XML with an svg root; the PDF opens in poppler, one page, its
// text real text.
TEST(Plot, SvgAndPdfOpenInOtherReaders) {
    const TempDir dir;
    const std::string image = quoted(fs::path(QOVA_DATA_DIR) / "sample.jpg");
    for (const char *kind :
         {"bandpass --centre 580 --bandwidth 40", "hue --strength 30 --poles 30,210.5", "saturation --strength -20"}) {
        const fs::path svg = dir.path() / "p.svg", pdf = dir.path() / "p.pdf";
        for (const fs::path &out : {svg, pdf}) {
            const ToolRun run = run_qova(std::string("plot ") + kind + " " + image + " -o " + quoted(out), dir.path());
            ASSERT_EQ(run.exit_code, 0) << run.err;
        }
        EXPECT_EQ(std::system(("xmllint --noout " + quoted(svg)).c_str()), 0) << kind;
        EXPECT_NE(read_text(svg).find("<svg"), std::string::npos);
        const fs::path info = dir.path() / "info.txt", text = dir.path() / "text.txt";
        ASSERT_EQ(std::system(("pdfinfo " + quoted(pdf) + " > " + quoted(info)).c_str()), 0) << kind;
        std::string pages = read_text(info);
        pages.erase(std::remove(pages.begin(), pages.end(), ' '), pages.end());
        EXPECT_NE(pages.find("Pages:1\n"), std::string::npos) << read_text(info);
        ASSERT_EQ(std::system(("pdftotext " + quoted(pdf) + " " + quoted(text)).c_str()), 0);
        EXPECT_NE(read_text(text).find("sample.jpg"), std::string::npos) << kind;
    }
}

// Bad arguments: status 2 and one line before any work; outputs that cannot
// be written and inputs that cannot be read: status 1 and one line.
TEST(Plot, ProblemsAreOneLine) {
    const TempDir dir;
    const fs::path in = dir.path() / "in.png";
    Picture small;
    small.info.width = 2;
    small.info.height = 2;
    small.info.channels = 3;
    small.info.bit_depth = 8;
    small.samples.assign(12, 100);
    ASSERT_TRUE(write_picture(in, small, codecs::FileFormat::Png));
    fs::create_directory(dir.path() / "folder.png");
    fs::create_symlink("/dev/full", dir.path() / "full.png");
    {
        std::FILE *f = std::fopen((dir.path() / "cut.png").c_str(), "wb");
        const std::string whole = read_text(in);
        std::fwrite(whole.data(), 1, whole.size() / 2, f);
        std::fclose(f);
    }
    const std::string d = dir.path().string() + "/";
    struct Case {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"plot bandpass --centre 520 --bandwidth 60 -o " + d + "band.gif", 2,
         "band.gif: unknown plot format (name it .svg, .pdf or .png)"},
        {"plot hue --strength 400 -o " + d + "h.svg", 2, "--strength"},
        {"plot bandpass --centre 520 --bandwidth 1 -o " + d + "b.svg", 2, "--bandwidth"},
        {"plot hue --strength 10 --poles 400 -o " + d + "h.svg", 2, "400"},
        {"plot huw --strength 10 -o " + d + "h.svg", 2, "unknown command 'plot huw'; did you mean 'plot hue'?"},
        {"plot saturation --strength 10 --quality 5 -o " + d + "s.svg", 2, "unknown option '--quality'"},
        {"plot saturation --strength 10 -o " + d + "no/such/s.svg", 2, "does not exist"},
        {"plot saturation --strength 10 -o ''", 2, "needs a file name"},
        {"saturation --strength 10 " + in.string() + " -o " + d + "o.png --plot " + d + "p.txt", 2,
         "p.txt: unknown plot format"},
        {"saturation --strength 10 - -o " + d + "o.png --plot " + d + "p.svg", 2, "standard input"},
        {"plot saturation --strength 10 -o " + d + "folder.png", 1, "folder.png: is a folder"},
        {"plot saturation --strength 10 -o " + d + "full.png", 1, "full.png: cannot write the plot"},
        {"plot saturation --strength 10 " + d + "cut.png -o " + d + "s.png", 1, "cut.png: "},
        {"plot saturation --strength 10 " + d + "none.png -o " + d + "s.png", 1, "none.png: "},
    };
    for (const Case &c : cases) {
        const ToolRun run = run_qova(c.args + " < /dev/null", dir.path());
        EXPECT_EQ(run.exit_code, c.status) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.args << "\n" << run.err;
        EXPECT_EQ(run.err.rfind("qova: ", 0), 0u) << run.err;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "s.png"));
}

// --plot on an operator's command draws the same picture as qova plot.
TEST(Plot, PlotOptionDrawsWhatPlotDraws) {
    const TempDir dir;
    const std::string image = quoted(fs::path(QOVA_DATA_DIR) / "sample.jpg");
    const fs::path a = dir.path() / "a.png", b = dir.path() / "b.png", out = dir.path() / "out.png";
    ASSERT_EQ(run_qova("plot hue --strength 30 " + image + " -o " + quoted(a), dir.path()).exit_code, 0);
    const ToolRun run =
        run_qova("hue --strength 30 " + image + " -o " + quoted(out) + " --plot " + quoted(b), dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(read_text(a), read_text(b));
}

}  // namespace
