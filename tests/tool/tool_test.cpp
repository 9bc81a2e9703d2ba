// The qova tool end to end, on small generated files.
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace codecs = qova::codecs;

namespace fs = std::filesystem;

namespace {

struct Format {
    int channels, depth;
    const char *name;
};
std::ostream &operator<<(std::ostream &os, const Format &f) { return os << f.name; }

const Format kPngFormats[] = {{1, 8, "grey8"}, {1, 16, "grey16"}, {2, 8, "greyalpha8"}, {2, 16, "greyalpha16"},
                              {3, 8, "rgb8"},  {3, 16, "rgb16"},  {4, 8, "rgba8"},      {4, 16, "rgba16"}};

class EveryPngFormat : public ::testing::TestWithParam<Format> {
protected:
    TempDir dir;
    fs::path in = dir.path() / "in.png";
    Picture original;

    void SetUp() override {
        original = random_picture(37, 23, GetParam().channels, GetParam().depth);
        ASSERT_TRUE(write_picture(in, original, codecs::FileFormat::Png));
    }

    // The input through `command`, read back in the input's layout.
    Picture through(const std::string &command) {
        const fs::path out = dir.path() / "out.png";
        const ToolRun run = run_qova(command + " " + quoted(in) + " -o " + quoted(out), dir.path());
        EXPECT_EQ(run.exit_code, 0) << command << ": " << run.err;
        Picture result;
        EXPECT_TRUE(read_picture(out, &result)) << command;
        EXPECT_EQ(result.info.channels, original.info.channels) << command;
        EXPECT_EQ(result.info.bit_depth, original.info.bit_depth) << command;
        return result;
    }
};

TEST_P(EveryPngFormat, StrengthZeroReproducesEverySample) {
    const char *commands[] = {"saturation --strength 0", "hue --strength 0", "hue --strength 0 --poles 10,200.5"};
    for (const char *command : commands) EXPECT_EQ(through(command).samples, original.samples) << command;
}

TEST_P(EveryPngFormat, AlphaAndGreyPassThroughRealChanges) {
    const char *commands[] = {"saturation --strength 60", "hue --strength -70", "bandpass --centre 520 --bandwidth 60"};
    for (const char *command : commands) {
        const Picture result = through(command);
        ASSERT_EQ(result.samples.size(), original.samples.size());
        const int alpha = original.info.has_alpha() ? original.info.channels - 1 : -1;
        bool changed = false;
        for (int y = 0; y < original.info.height; ++y)
            for (int x = 0; x < original.info.width; ++x) {
                if (alpha >= 0) {
                    ASSERT_EQ(result.at(x, y, alpha), original.at(x, y, alpha)) << command;
                }
                changed |= result.at(x, y, 0) != original.at(x, y, 0);
            }
        // Grey has no hue and no saturation to change; the band filter dims it.
        const bool grey = original.info.is_grey();
        EXPECT_EQ(changed, !grey || std::string(command).rfind("bandpass", 0) == 0) << command;
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, EveryPngFormat, ::testing::ValuesIn(kPngFormats));

// One pixel in, one pixel out.
Picture one_pixel(uint16_t r, uint16_t g, uint16_t b) {
    Picture p;
    p.info.width = p.info.height = 1;
    p.samples = {r, g, b};
    return p;
}

TEST(Tool, EachOperatorDoesWhatItSays) {
    TempDir dir;
    const struct {
        const char *command;
        Picture in;
        std::array<int, 3> expected;
    } cases[] = {
        // HSI keeps the mean: S = 0 leaves it, and doubling S doubles each channel's distance from it.
        {"saturation --strength -100", one_pixel(200, 100, 50), {117, 117, 117}},
        {"saturation --strength 100", one_pixel(140, 100, 90), {170, 90, 70}},
        // A hue of 100 deg goes to the pole at 120 (green), keeping mean and minimum.
        {"hue --strength 100", one_pixel(100, 200, 50), {50, 250, 50}},
        {"hue --strength 100 --poles 60", one_pixel(200, 100, 50), {150, 150, 50}},  // 20 deg to yellow
        // Pure red lies at 607 nm.
        {"bandpass --centre 610 --bandwidth 40 --no-linear", one_pixel(255, 0, 0), {255, 0, 0}},
        {"bandpass --centre 450 --bandwidth 40 --order 2 --no-linear", one_pixel(255, 0, 0), {0, 0, 0}},
    };
    for (const auto &c : cases) {
        const fs::path in = dir.path() / "in.png", out = dir.path() / "out.png";
        ASSERT_TRUE(write_picture(in, c.in, codecs::FileFormat::Png));
        const ToolRun run = run_qova(std::string(c.command) + " " + quoted(in) + " -o " + quoted(out), dir.path());
        ASSERT_EQ(run.exit_code, 0) << c.command << ": " << run.err;
        Picture result;
        ASSERT_TRUE(read_picture(out, &result));
        for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(result.samples[k], c.expected[k], 1) << c.command;
    }
}

TEST(Tool, JpegInAndOut) {
    TempDir dir;
    const fs::path in = dir.path() / "in.jpg", out = dir.path() / "out.JPEG", rgba = dir.path() / "rgba.png";
    ASSERT_TRUE(write_picture(in, random_picture(16, 16, 3, 8), codecs::FileFormat::Jpeg));
    ASSERT_TRUE(write_picture(rgba, random_picture(16, 16, 4, 16), codecs::FileFormat::Png));
    Picture decoded;
    ASSERT_TRUE(read_picture(in, &decoded));

    ToolRun run =
        run_qova("saturation --strength 0 " + quoted(in) + " -o " + quoted(dir.path() / "id.png"), dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Picture identity;
    ASSERT_TRUE(read_picture(dir.path() / "id.png", &identity));
    EXPECT_EQ(identity.samples, decoded.samples) << "the decoded JPEG samples, unchanged";

    run = run_qova("hue --strength 30 --quality 70 " + quoted(rgba) + " -o " + quoted(out), dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Picture result;
    ASSERT_TRUE(read_picture(out, &result));
    EXPECT_EQ(result.info.channels, 3) << "alpha dropped";
    EXPECT_EQ(result.info.bit_depth, 8);
}

TEST(Tool, ColourMetadataCarriedOver) {
    TempDir dir;
    Picture p = random_picture(6, 5, 3, 8);
    p.info.metadata.png_gamma = 45455;
    p.info.metadata.srgb_intent = 0;
    ASSERT_TRUE(write_picture(dir.path() / "in.png", p, codecs::FileFormat::Png));
    const ToolRun run =
        run_qova("saturation --strength 40 " + quoted(dir.path() / "in.png") + " -o " + quoted(dir.path() / "out.png"),
                 dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Picture result;
    ASSERT_TRUE(read_picture(dir.path() / "out.png", &result));
    EXPECT_EQ(result.info.metadata.png_gamma, 45455u);
    EXPECT_EQ(result.info.metadata.srgb_intent, 0);
}

TEST(Tool, BatchGoesOnPastABadFile) {
    TempDir dir;
    const fs::path outdir = dir.path() / "out dir";
    fs::create_directory(outdir);
    ASSERT_TRUE(write_picture(dir.path() / "a.png", random_picture(8, 8, 3, 8, 1), codecs::FileFormat::Png));
    ASSERT_TRUE(write_picture(dir.path() / "c.jpg", random_picture(8, 8, 3, 8, 2), codecs::FileFormat::Jpeg));
    dir.write("b.png", "\x89PNG\r\n\x1a\nnot really");
    const ToolRun run =
        run_qova("saturation --strength 20 -j 2 --format png " + quoted(dir.path() / "a.png") + " " +
                     quoted(dir.path() / "b.png") + " " + quoted(dir.path() / "c.jpg") + " -o " + quoted(outdir),
                 dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("b.png: "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    std::vector<std::string> written;
    for (const auto &e : fs::directory_iterator(outdir)) written.push_back(e.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"a.png", "c.png"})) << "nothing of b, no temporary files";
}

TEST(Tool, ClearErrorsAndNothingLeftBehind) {
    TempDir dir;
    const fs::path good = dir.path() / "good.png";
    const Picture picture = random_picture(64, 64, 3, 8);
    ASSERT_TRUE(write_picture(good, picture, codecs::FileFormat::Png));
    const std::string bytes = read_text(good);
    dir.write("truncated.png", bytes.substr(0, bytes.size() / 2));
    dir.write("text.png", "hello, world\n");
    dir.write("empty.png", "");
    const fs::path out = dir.path() / "out.png";

    const struct {
        std::string args;
        int exit_code;
        std::string message;
    } cases[] = {
        {"saturation --strength 10 " + quoted(dir.path() / "missing.png") + " -o " + quoted(out), 1,
         "missing.png: cannot open: No such file or directory"},
        {"saturation --strength 10 " + quoted(dir.path() / "text.png") + " -o " + quoted(out), 1,
         "text.png: not an image the tool reads"},
        {"saturation --strength 10 " + quoted(dir.path() / "empty.png") + " -o " + quoted(out), 1,
         "empty.png: empty file"},
        {"saturation --strength 10 " + quoted(dir.path() / "truncated.png") + " -o " + quoted(out), 1,
         "truncated.png: file ends early (truncated PNG)"},
        {"saturation --strength 10 --max-pixels 4095 " + quoted(good) + " -o " + quoted(out), 1,
         "good.png: image of 64 x 64 pixels is above the limit of 4095 pixels"},
        {"saturation --strength 10 " + quoted(good) + " -o " + quoted(dir.path() / "out.gif"), 2,
         "out.gif: unknown output format"},
        {"saturation --strength 10 " + quoted(good) + " " + quoted(good) + " -o " + quoted(dir.path() / "nowhere"), 2,
         "nowhere: output folder does not exist"},
        {"saturation --strength 10 " + quoted(good) + " -o " + quoted(dir.path() / "no" / "dir.png"), 2,
         "dir.png: its folder " + (dir.path() / "no").string() + " does not exist"},
        {"bandpass --centre 500 --bandwidth 50 --table " + quoted(dir.path() / "none.txt") + " " + quoted(good) +
             " -o " + quoted(out),
         2, "none.txt: table file not found"},
        {"bandpass --centre 500 --bandwidth 50 --table " + quoted(dir.path() / "text.png") + " " + quoted(good) +
             " -o " + quoted(out),
         2, "text.png: not a usable table (0 records read, 339 needed)"},
        {"saturation --strength 101 " + quoted(good) + " -o " + quoted(out), 2, "--strength"},
        {"hue --strength 10 --poles 10,abc " + quoted(good) + " -o " + quoted(out), 2, "'abc' is not a number"},
        {"hue --strength 10 --poles 400 " + quoted(good) + " -o " + quoted(out), 2, "between 0 and 360"},
        {"bandpass --centre 500 --bandwidth 1 " + quoted(good) + " -o " + quoted(out), 2, "--bandwidth"},
        {"saturation --strength 10 " + quoted(good) + " -o " + quoted(good), 1, "refusing to overwrite the input"},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_qova(c.args, dir.path());
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
    for (const auto &e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".qova-"), std::string::npos) << "temporary file left";
}

TEST(Tool, SubcommandsHaveHelp) {
    TempDir dir;
    for (const char *sub : {"saturation", "hue", "bandpass", "demo"}) {
        const std::string out = (dir.path() / "help.txt").string();
        const int status = std::system((std::string("'") + QOVA_TOOL + "' " + sub + " --help > '" + out + "'").c_str());
        EXPECT_EQ(status, 0) << sub;
        EXPECT_NE(read_text(out).find("Usage"), std::string::npos) << sub;
    }
}

}  // namespace
