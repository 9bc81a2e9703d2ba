// Damage a decoder conceals: the picture is written, marred where the damage
// lies, with a warning that names the file and what the decoder reported;
// --fail turns any warning into a failure of that file, which then leaves
// nothing (and an existing output as it was).
#include "file_bytes.h"
#include "image_files.h"
#include "temp_dir.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <algorithm>

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
    const ToolExit run = run_tool({"saturation", "--strength", "20", "--fail", in.string(), "-o", out.string()}, dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fs::exists(out));
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
