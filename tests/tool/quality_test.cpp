// Default qualities: a JPEG written again keeps the input's quantisation
// (so a quality-60 photo stays about its size), other JPEG output is
// libjpeg's quality 90, HEIC and AVIF default to 50. Tables are read and
// written here with libjpeg directly, not through the tool's codecs.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"
#include "support/tool_process.h"

#include <gtest/gtest.h>

#include "support/libjpeg_file.h"

#include <array>
#include <cstdlib>

namespace codecs = qova::codecs;

namespace fs = std::filesystem;

namespace {

using Tables = std::vector<std::array<uint16_t, DCTSIZE2>>;

// A 48 x 32 photo-like RGB JPEG written by libjpeg at `quality`.
std::string libjpeg_file(int quality) {
    return libjpeg_rgb(
        48, 32, [quality](jpeg_compress_struct &c) { jpeg_set_quality(&c, quality, TRUE); },
        [](int y, std::vector<JSAMPLE> &row) {
            for (std::size_t i = 0; i < row.size(); ++i)
                row[i] = static_cast<JSAMPLE>((i * 7 + static_cast<std::size_t>(y) * 13) % 256);
        });
}

// The quantisation tables a JPEG file holds, as libjpeg reads them.
Tables tables_of(const std::string &file) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr errors{};
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char *>(file.data()), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d, TRUE);
    Tables tables;
    for (const JQUANT_TBL *t : d.quant_tbl_ptrs) {
        if (!t) continue;
        std::array<uint16_t, DCTSIZE2> values{};
        std::copy(t->quantval, t->quantval + DCTSIZE2, values.begin());
        tables.push_back(values);
    }
    jpeg_destroy_decompress(&d);
    return tables;
}

TEST(Quality, JpegWrittenAgainKeepsItsTables) {
    TempDir dir;
    for (const int quality : {12, 40, 60, 75, 90, 97, 100}) {
        const std::string input = libjpeg_file(quality);
        const fs::path in = dir.write("in.jpg", input), out = dir.path() / "out.jpg";
        const ToolExit run = run_tool({"saturation", "--strength", "15", in.string(), "-o", out.string()}, dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(tables_of(read_text(out)), tables_of(input)) << "quality " << quality;
    }
}

TEST(Quality, DefaultsAndTheOptionPerFormat) {
    TempDir dir;
    const fs::path jpeg = dir.write("in.jpg", libjpeg_file(60)), png = dir.path() / "in.png";
    ASSERT_TRUE(write_picture(png, random_picture(48, 32, 3, 8), codecs::FileFormat::Png));
    const auto run = [&](const fs::path &in, const std::string &out, std::vector<std::string> options) {
        std::vector<std::string> args{"saturation", "--strength", "15"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {in.string(), "-o", (dir.path() / out).string()});
        ToolSetup setup;
        setup.wrapped = out.find(".heic") == std::string::npos;  // x265's vector code upsets valgrind
        const ToolExit result = run_tool(args, dir.path(), setup);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return read_text(dir.path() / out);
    };
    // JPEG: libjpeg's quality 90 unless the input is a JPEG; --quality wins.
    EXPECT_EQ(tables_of(run(png, "a.jpg", {})), tables_of(libjpeg_file(90)));
    EXPECT_EQ(tables_of(run(jpeg, "b.jpg", {"--quality", "80"})), tables_of(libjpeg_file(80)));
    EXPECT_EQ(tables_of(run(png, "c.jpg", {"--quality", "33"})), tables_of(libjpeg_file(33)));
    // HEIC and AVIF: 50 unless told (the encoders are deterministic).
    for (const char *ext : {".heic", ".avif"}) {
        const std::string plain = run(png, std::string("d") + ext, {});
        EXPECT_TRUE(plain == run(png, std::string("e") + ext, {"--quality", "50"})) << ext;
        EXPECT_FALSE(plain == run(png, std::string("f") + ext, {"--quality", "90"})) << ext;
    }
    // WebP: 90 unless told.
    const std::string webp = run(png, "g.webp", {});
    EXPECT_TRUE(webp == run(png, "h.webp", {"--quality", "90"}));
    EXPECT_FALSE(webp == run(png, "i.webp", {"--quality", "50"}));
}

}  // namespace
