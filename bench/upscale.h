// The sample photo scaled bilinearly to benchmark sizes, a row at a time.
#ifndef QOVA_BENCH_UPSCALE_H
#define QOVA_BENCH_UPSCALE_H

#include "codecs/raster.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace codecs = qova::codecs;

struct SourcePhoto {
    codecs::RasterInfo info;
    std::vector<uint16_t> samples;  // interleaved, as decoded

    bool load(const std::string &path, std::string *error) {
        return codecs::read_image_file(path, &info, &samples, error);
    }

    double at(int32_t x, int32_t y, int k) const {
        return samples[(static_cast<std::size_t>(y) * info.width + x) * info.channels + (info.channels >= 3 ? k : 0)];
    }

    // Row y of the photo scaled to width x height, as RGB at the source's depth times `scale`.
    void scaled_row(int32_t y, int32_t width, int32_t height, double scale, uint16_t *rgb) const {
        const double sy = (y + 0.5) * info.height / height - 0.5;
        const int32_t y0 = std::clamp(static_cast<int32_t>(sy), 0, info.height - 1),
                      y1 = std::min(info.height - 1, y0 + 1);
        const double fy = std::clamp(sy - y0, 0.0, 1.0);
        for (int32_t x = 0; x < width; ++x) {
            const double sx = (x + 0.5) * info.width / width - 0.5;
            const int32_t x0 = std::clamp(static_cast<int32_t>(sx), 0, info.width - 1),
                          x1 = std::min(info.width - 1, x0 + 1);
            const double fx = std::clamp(sx - x0, 0.0, 1.0);
            for (int k = 0; k < 3; ++k) {
                const double top = at(x0, y0, k) * (1 - fx) + at(x1, y0, k) * fx;
                const double bottom = at(x0, y1, k) * (1 - fx) + at(x1, y1, k) * fx;
                rgb[static_cast<std::size_t>(x) * 3 + k] =
                    static_cast<uint16_t>((top * (1 - fy) + bottom * fy) * scale + 0.5);
            }
        }
    }
};

#endif
