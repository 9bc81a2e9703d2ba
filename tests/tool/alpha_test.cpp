// Alpha kept through every output format that holds it, from 8-bit
// grey+alpha and 16-bit RGBA inputs built byte by byte: exact where the
// output keeps the depth, rounded to the output's depth where it does not.
// Outputs are decoded by the second decoders.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/second_decoders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kW = 17, kH = 5;

// Every alpha level of interest: clear, opaque, and a spread between.
uint32_t alpha_at(uint32_t x, uint32_t y, uint32_t max) {
    if (x == 0) return 0;
    if (x == 1) return max;
    return (x * 2654435761u + y * 40503u) % (max + 1);
}

TEST(Alpha, KeptThroughEveryFormatThatHoldsIt) {
    TempDir dir;
    // Grey+alpha at 8 bits and RGBA at 16, colour under every alpha.
    std::vector<std::string> grey_alpha, rgba16;
    for (uint32_t y = 0; y < kH; ++y) {
        std::string ga;
        std::vector<uint16_t> deep;
        for (uint32_t x = 0; x < kW; ++x) {
            ga += static_cast<char>((x * 15 + y * 40) % 256);
            ga += static_cast<char>(alpha_at(x, y, 255));
            deep.insert(deep.end(), {uint16_t(x * 3000 + y), uint16_t(60000 - x * 2000), uint16_t(y * 9000),
                                     uint16_t(alpha_at(x, y, 65535))});
        }
        grey_alpha.push_back(ga);
        rgba16.push_back(bytes::be16_row(deep));
    }
    const struct {
        const char *name;
        std::string png;
        uint32_t max;
    } inputs[] = {{"grey-alpha8.png", bytes::png_file(kW, kH, 8, 4, grey_alpha), 255},
                  {"rgba16.png", bytes::png_file(kW, kH, 16, 6, rgba16), 65535}};
    const struct {
        const char *format;
        uint32_t max8, max16;  // the alpha's top value from 8-bit and 16-bit input
    } outputs[] = {
        {"png", 255, 65535}, {"tif", 255, 65535}, {"webp", 255, 255}, {"heic", 255, 4095}, {"avif", 255, 4095}};
    for (const auto &input : inputs) {
        const fs::path in = dir.write(input.name, input.png);
        for (const auto &output : outputs) {
            SCOPED_TRACE(std::string(input.name) + " to " + output.format);
            const fs::path out = dir.path() / (std::string("out.") + output.format);
            fs::remove(out);
            const ToolRun run =
                run_qova("saturation --strength 0 --lossless " + quoted(in) + " -o " + quoted(out), dir.path());
            ASSERT_EQ(run.exit_code, 0) << run.err;
            const bytes::Decoded d = second::decode_any(read_text(out));
            ASSERT_EQ(d.width, static_cast<int>(kW));
            ASSERT_TRUE(d.channels == 2 || d.channels == 4) << d.channels << " channels: alpha lost";
            const uint32_t top = input.max == 255 ? output.max8 : output.max16;
            for (uint32_t y = 0; y < kH; ++y)
                for (uint32_t x = 0; x < kW; ++x) {
                    const double a = alpha_at(x, y, input.max);
                    const long want = std::lround(a * top / input.max);
                    ASSERT_EQ(d.at(static_cast<int>(x), static_cast<int>(y), d.channels - 1), want)
                        << "alpha of " << x << "," << y;
                }
        }
    }
}

}  // namespace
