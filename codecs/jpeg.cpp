// JPEG rows through libjpeg-turbo. Its errors end in error_exit, which jumps
// back to the function that made the call; as with PNG, those functions keep
// no automatic objects with destructors alive across the library calls.
#include "raster.h"

#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace zenk {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo) {
    auto *errors = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->text);
    std::longjmp(errors->jump, 1);
}

// Corrupt-data warnings would otherwise only print; a damaged file is an error.
void on_jpeg_message(j_common_ptr cinfo, int level) {
    if (level < 0) on_jpeg_error(cinfo);
}

void install(ErrorManager &errors) {
    jpeg_std_error(&errors.base);
    errors.base.error_exit = on_jpeg_error;
    errors.base.emit_message = on_jpeg_message;
    errors.text[0] = '\0';
}

constexpr unsigned kIccMarker = JPEG_APP0 + 2;

class JpegReader final : public RasterReader {
public:
    ~JpegReader() override {
        if (created_) jpeg_destroy_decompress(&cinfo_);
    }

    bool open(std::FILE *file, const ReadLimits &limits) {
        install(errors_);
        cinfo_.err = &errors_.base;
        if (setjmp(errors_.jump)) return fail();
        jpeg_create_decompress(&cinfo_);
        created_ = true;
        jpeg_stdio_src(&cinfo_, file);
        jpeg_save_markers(&cinfo_, kIccMarker, 0xFFFF);
        jpeg_read_header(&cinfo_, TRUE);

        if (static_cast<uint64_t>(cinfo_.image_width) * cinfo_.image_height > limits.max_pixels) {
            error_ = "image of " + std::to_string(cinfo_.image_width) + " x " + std::to_string(cinfo_.image_height) +
                     " pixels is above the limit of " + std::to_string(limits.max_pixels) + " pixels";
            return false;
        }
        if (cinfo_.num_components == 1) {
            cinfo_.out_color_space = JCS_GRAYSCALE;
        } else if (cinfo_.num_components == 3 && cinfo_.jpeg_color_space != JCS_CMYK &&
                   cinfo_.jpeg_color_space != JCS_YCCK) {
            cinfo_.out_color_space = JCS_RGB;
        } else {
            error_ = "unsupported JPEG colour space (only grey and RGB)";
            return false;
        }
        read_icc_profile();
        jpeg_start_decompress(&cinfo_);

        info_.width = static_cast<int32_t>(cinfo_.output_width);
        info_.height = static_cast<int32_t>(cinfo_.output_height);
        info_.channels = cinfo_.output_components;
        info_.bit_depth = 8;
        row_.resize(static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels));
        return true;
    }

    bool read_rows(int rows, uint16_t *out) override {
        const std::size_t samples = row_.size();
        for (int r = 0; r < rows; ++r) {
            if (!read_one_row()) return false;
            uint16_t *dst = out + static_cast<std::size_t>(r) * samples;
            for (std::size_t i = 0; i < samples; ++i) dst[i] = row_[i];
        }
        return true;
    }

private:
    bool fail() {
        error_ = errors_.text[0] ? errors_.text : "unreadable JPEG";
        return false;
    }

    void read_icc_profile() {
        JOCTET *profile = nullptr;
        unsigned length = 0;
        if (jpeg_read_icc_profile(&cinfo_, &profile, &length) && profile) {
            info_.icc_profile.assign(profile, profile + length);
            std::free(profile);
        }
    }

    bool read_one_row() {
        if (setjmp(errors_.jump)) return fail();
        JSAMPROW row = row_.data();
        if (jpeg_read_scanlines(&cinfo_, &row, 1) != 1) {
            error_ = "JPEG data ends early";
            return false;
        }
        return true;
    }

    jpeg_decompress_struct cinfo_{};
    ErrorManager errors_{};
    bool created_ = false;
    std::vector<JSAMPLE> row_;
};

class JpegWriter final : public RasterWriter {
public:
    ~JpegWriter() override {
        if (created_) jpeg_destroy_compress(&cinfo_);
    }

    bool open(std::FILE *file, const RasterInfo &info, int quality) {
        if ((info.channels != 1 && info.channels != 3) || info.bit_depth != 8) {
            error_ = "JPEG takes 8-bit grey or RGB";
            return false;
        }
        channels_ = info.channels;
        file_ = file;
        install(errors_);
        cinfo_.err = &errors_.base;
        if (setjmp(errors_.jump)) return fail();
        jpeg_create_compress(&cinfo_);
        created_ = true;
        jpeg_stdio_dest(&cinfo_, file);
        cinfo_.image_width = static_cast<JDIMENSION>(info.width);
        cinfo_.image_height = static_cast<JDIMENSION>(info.height);
        cinfo_.input_components = info.channels;
        cinfo_.in_color_space = info.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&cinfo_);
        jpeg_set_quality(&cinfo_, quality, TRUE);
        jpeg_start_compress(&cinfo_, TRUE);
        if (!info.icc_profile.empty())
            jpeg_write_icc_profile(&cinfo_, info.icc_profile.data(), static_cast<unsigned>(info.icc_profile.size()));
        row_.resize(static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels));
        return true;
    }

    bool write_rows(int rows, const uint16_t *in) override {
        const std::size_t samples = row_.size();
        for (int r = 0; r < rows; ++r) {
            const uint16_t *src = in + static_cast<std::size_t>(r) * samples;
            for (std::size_t i = 0; i < samples; ++i) row_[i] = static_cast<JSAMPLE>(src[i]);
            if (!write_one_row()) return false;
        }
        return true;
    }

    bool finish() override {
        if (setjmp(errors_.jump)) return fail();
        jpeg_finish_compress(&cinfo_);
        return true;
    }

private:
    bool fail() {
        error_ = encoder_failure(file_, errno, errors_.text[0] ? errors_.text : "JPEG encoding failed");
        return false;
    }

    bool write_one_row() {
        if (setjmp(errors_.jump)) return fail();
        JSAMPROW row = row_.data();
        jpeg_write_scanlines(&cinfo_, &row, 1);
        return true;
    }

    jpeg_compress_struct cinfo_{};
    ErrorManager errors_{};
    bool created_ = false;
    int channels_ = 3;
    std::FILE *file_ = nullptr;
    std::vector<JSAMPLE> row_;
};

}  // namespace

std::unique_ptr<RasterReader> open_jpeg_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    auto reader = std::make_unique<JpegReader>();
    if (reader->open(file, limits)) return reader;
    if (error) *error = reader->error();
    return nullptr;
}

std::unique_ptr<RasterWriter> open_jpeg_writer(std::FILE *file, const RasterInfo &info, int quality,
                                               std::string *error) {
    auto writer = std::make_unique<JpegWriter>();
    if (writer->open(file, info, quality)) return writer;
    if (error) *error = writer->error();
    return nullptr;
}

}  // namespace zenk
