// Damage a decoder conceals: the picture is written, marred where the damage
// lies, with a warning that names the file and what the decoder reported;
// --fail turns any warning into a failure of that file, which then leaves
// nothing (and an existing output as it was).
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"
#include "support/tool_process.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace codecs = qova::codecs;

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> gradient(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k) rgb.push_back(static_cast<uint8_t>((x * 4 + y * 2 + k * 60) & 0xFF));
    return rgb;
}

int lines(const std::string &text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

struct Damaged {
    const char *what;
    std::string file;
    std::string warning;  // what the tool says of it
};

TEST(DamagedData, WrittenWithAWarningOrRefusedUnderFail) {
    const std::string jpeg = bytes::stb_jpeg(64, 64, gradient(64, 64), 90);
    const std::size_t scan = jpeg.find("\xFF\xDA");
    ASSERT_NE(scan, std::string::npos);
    std::string marker_inside = jpeg;  // a marker where entropy-coded data should be
    marker_inside.replace(scan + 200, 40, std::string(40, '\xFF'));
    const Damaged cases[] = {
        {"JPEG with a marker in its data", marker_inside,
         "warning: damaged image data, concealed by the decoder (Corrupt JPEG data: premature end of data segment)"},
        {"JPEG without its end marker", jpeg.substr(0, jpeg.size() - 2),
         "warning: the file lacks its end marker; the image data is whole"},
    };
    TempDir dir;
    const std::string old = bytes::png_file(1, 1, 8, 2, {"abc"});
    for (const Damaged &c : cases) {
        const fs::path in = dir.write("in.jpg", c.file), out = dir.path() / "out.png";
        ToolExit run = run_tool({"saturation", "--strength", "20", in.string(), "-o", out.string()}, dir.path());
        EXPECT_EQ(run.exit_code, 0) << c.what << "\n" << run.err;
        EXPECT_EQ(run.err, "qova: " + in.string() + ": " + c.warning + "\n") << c.what;
        EXPECT_EQ(bytes::decode(read_text(out)).width, 64) << c.what;

        dir.write("out.png", old);
        run = run_tool({"saturation", "--strength", "20", "--fail", in.string(), "-o", out.string()}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << c.what << "\n" << run.err;
        const std::string reason = c.warning.substr(std::string("warning: ").size());
        EXPECT_EQ(run.err, "qova: " + in.string() + ": " + reason + "; not written (--fail)\n") << c.what;
        EXPECT_TRUE(read_text(out) == old) << c.what << ": the old output stays";
        fs::remove(out);
    }
    // A whole file passes --fail unchanged.
    const fs::path in = dir.write("in.jpg", jpeg), out = dir.path() / "out.png";
    const ToolExit run =
        run_tool({"saturation", "--strength", "20", "--fail", in.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fs::exists(out));
}

// HEVC damage libde265 finds (libheif's own decoder passes none of it on).
TEST(DamagedData, HeicDamageIsReported) {
    TempDir dir;
    const fs::path png = dir.path() / "in.png", heic = dir.path() / "in.heic";
    ASSERT_TRUE(write_picture(png, random_picture(256, 192, 3, 8), codecs::FileFormat::Png));
    ASSERT_EQ(run_tool({"saturation", "--strength", "0", "--quality", "90", png.string(), "-o", heic.string()},
                       dir.path(), ToolSetup{{}, RLIM_INFINITY, false, QOVA_TOOL, "/dev/null", false})
                  .exit_code,
              0);
    std::string file = read_text(heic);
    const std::size_t data = file.find("mdat") + 4;
    ASSERT_LT(data + 2000, file.size());
    for (std::size_t i = data + 1000; i < data + 1008; ++i) file[i] = static_cast<char>(file[i] ^ 0x55);
    const fs::path bad = dir.write("bad.heic", file), out = dir.path() / "out.png";
    ToolExit run = run_tool({"hue", "--strength", "20", bad.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::string said = "qova: " + bad.string() + ": warning: damaged image data, concealed by the decoder (";
    EXPECT_EQ(run.err.substr(0, said.size()), said) << run.err;
    EXPECT_EQ(lines(run.err), 1) << run.err;
    EXPECT_EQ(bytes::decode(read_text(out)).width, 256);
    fs::remove(out);
    run = run_tool({"hue", "--strength", "20", "--fail", bad.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find("; not written (--fail)"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out));
    // The intact file draws no warning.
    run = run_tool({"hue", "--strength", "20", "--fail", heic.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

// In a batch, --fail fails only the damaged file.
TEST(DamagedData, FailStopsOnlyThatFile) {
    TempDir dir;
    const std::string jpeg = bytes::stb_jpeg(16, 16, gradient(16, 16), 90);
    const fs::path good = dir.write("good.jpg", jpeg), bad = dir.write("bad.jpg", jpeg.substr(0, jpeg.size() - 2));
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    const ToolExit run =
        run_tool({"hue", "--strength", "20", "--fail", good.string(), bad.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lines(run.err), 1) << run.err;
    EXPECT_TRUE(fs::exists(out / "good.jpg"));
    EXPECT_FALSE(fs::exists(out / "bad.jpg"));
}

}  // namespace
