// The codecs' own guards, where the tool cannot reach them.
#include "codecs/raster.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace codecs = qova::codecs;

namespace {

TEST(Codecs, WritersRefuseTheWrongNumberOfRows) {
    codecs::RasterInfo info;
    info.width = 3;
    info.height = 2;
    const std::vector<uint16_t> rows(3 * 3 * 3, 100);
    for (const bool png : {true, false}) {
        for (const int given : {1, 3}) {
            std::FILE *sink = std::tmpfile();
            ASSERT_NE(sink, nullptr);
            std::string error;
            auto writer = png ? codecs::open_png_writer(sink, info, &error)
                              : codecs::open_jpeg_writer(sink, info, codecs::JpegOptions{}, &error);
            ASSERT_TRUE(writer) << error;
            const bool written = writer->write_rows(given, rows.data());
            EXPECT_FALSE(written && writer->finish()) << (png ? "PNG" : "JPEG") << " with " << given << " of 2 rows";
            EXPECT_FALSE(writer->error().empty());
            writer.reset();
            std::fclose(sink);
        }
    }
}

}  // namespace
