// JPEG files written by libjpeg itself, the tests' independent encoder.
#ifndef QOVA_TESTS_LIBJPEG_FILE_H
#define QOVA_TESTS_LIBJPEG_FILE_H

#include <jpeglib.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// A width x height JPEG of `components` 8-bit samples a pixel in
// `space`: `fill(y, row)` gives each row's samples; `setup(c)` sets what is
// not libjpeg's default (quality, progression, stored colour space), after
// the defaults are in place.
inline std::string libjpeg_file(int width, int height, int components, J_COLOR_SPACE space,
                                const std::function<void(jpeg_compress_struct &)> &setup,
                                const std::function<void(int, std::vector<JSAMPLE> &)> &fill) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    setup(c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * static_cast<std::size_t>(components));
    for (int y = 0; y < height; ++y) {
        fill(y, row);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string file(reinterpret_cast<char *>(out), size);
    std::free(out);
    return file;
}

inline std::string libjpeg_rgb(int width, int height, const std::function<void(jpeg_compress_struct &)> &setup,
                               const std::function<void(int, std::vector<JSAMPLE> &)> &fill) {
    return libjpeg_file(width, height, 3, JCS_RGB, setup, fill);
}

#endif
