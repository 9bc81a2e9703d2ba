#include "detail/hevc_decoder.h"

#include <libde265/de265.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qova::codecs {

namespace {

constexpr heif_error kOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};

// Where the decoders of one plugin slot report damage: the first report
// since the slot was leased.
struct Slot {
    std::atomic<bool> leased{false};
    std::mutex lock;
    std::string damage;
};
constexpr int kSlots = 64;
Slot g_slots[kSlots];

struct Decoder {
    Slot *slot = nullptr;
    bool strict = false;
    std::vector<std::vector<uint8_t>> units;  // the NAL units pushed, kept for a second decoding
};

const char *name() { return "qova HEVC (libde265, damage reported)"; }

// Above libheif's own libde265 plugin (100).
int supports(heif_compression_format format) { return format == heif_compression_HEVC ? 110 : 0; }

// Pictures in zeroed memory: where damage stops the decoder, what it never
// reaches reads as zeros rather than as whatever the memory held. Each plane
// is rows of the requested alignment, as libde265's own allocator makes them.
int zeroed_buffer(de265_decoder_context *, de265_image_spec *layout, de265_image *image, void *) {
    const bool mono = layout->format == de265_image_format_mono8;
    const int across =
        layout->format == de265_image_format_YUV420P8 || layout->format == de265_image_format_YUV422P8 ? 2 : 1;
    const int down = layout->format == de265_image_format_YUV420P8 ? 2 : 1;
    const size_t alignment = static_cast<size_t>(std::max(layout->alignment, 16));
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int width = c == 0 ? layout->width : layout->width / across;
        const int height = c == 0 ? layout->height : layout->height / down;
        const int stride =
            (width + static_cast<int>(alignment) - 1) / static_cast<int>(alignment) * static_cast<int>(alignment);
        const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height) *
                             static_cast<size_t>((de265_get_bits_per_pixel(image, c) + 7) / 8);
        void *plane = nullptr;
        if (width <= 0 || height <= 0 || posix_memalign(&plane, alignment, bytes) != 0) return 0;  // freed on release
        std::memset(plane, 0, bytes);
        de265_set_image_plane(image, c, plane, stride, plane);
    }
    return 1;
}

void release_buffer(de265_decoder_context *, de265_image *image, void *) {
    for (int c = 0; c < 3; ++c) std::free(de265_get_image_plane_user_data(image, c));
}

heif_error new_decoder(void **out, Slot *slot) {
    auto *decoder = new Decoder;
    decoder->slot = slot;
    *out = decoder;
    return kOk;
}

void free_decoder(void *raw) { delete static_cast<Decoder *>(raw); }

void set_strict(void *raw, int flag) { static_cast<Decoder *>(raw)->strict = flag != 0; }

// libheif pushes NAL units each behind a 4-byte big-endian length.
heif_error push_data(void *raw, const void *data, size_t size) {
    auto *decoder = static_cast<Decoder *>(raw);
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t at = 0; at + 4 <= size;) {
        const size_t length =
            size_t{bytes[at]} << 24 | size_t{bytes[at + 1]} << 16 | size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        at += 4;
        if (length > size - at || length > INT32_MAX)
            return {heif_error_Decoder_plugin_error, heif_suberror_End_of_data, "HEVC data cut short"};
        decoder->units.emplace_back(bytes + at, bytes + at + length);
        at += length;
    }
    return kOk;
}

// The picture's planes as libheif takes them: Y, Cb, Cr (or Y alone).
heif_error to_heif_image(const de265_image *picture, heif_image **out) {
    const bool mono = de265_get_chroma_format(picture) == de265_chroma_mono;
    heif_image *image = nullptr;
    heif_error error = heif_image_create(de265_get_image_width(picture, 0), de265_get_image_height(picture, 0),
                                         mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                                         static_cast<heif_chroma>(de265_get_chroma_format(picture)), &image);
    if (error.code != heif_error_Ok) return error;
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int bits = de265_get_bits_per_pixel(picture, c);
        const int width = de265_get_image_width(picture, c), height = de265_get_image_height(picture, c);
        int stride = 0;
        const uint8_t *source = de265_get_image_plane(picture, c, &stride);
        if (width <= 0 || height <= 0 || !source) {
            heif_image_release(image);
            return {heif_error_Decoder_plugin_error, heif_suberror_Invalid_image_size, "HEVC picture without pixels"};
        }
        error = heif_image_add_plane(image, channels[c], width, height, bits);
        if (error.code != heif_error_Ok) {
            heif_image_release(image);
            return error;
        }
        int target_stride = 0;
        uint8_t *target = heif_image_get_plane(image, channels[c], &target_stride);
        const size_t row = static_cast<size_t>(width) * static_cast<size_t>((bits + 7) / 8);
        for (int y = 0; y < height; ++y)
            std::memcpy(target + static_cast<ptrdiff_t>(y) * target_stride, source + static_cast<ptrdiff_t>(y) * stride,
                        row);
    }
    // The colour coding the stream's VUI gives (range, matrix), which
    // libheif's conversion to RGB follows unless the file overrides it.
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
        heif_nclx_color_profile_set_color_primaries(nclx,
                                                    static_cast<uint16_t>(de265_get_image_colour_primaries(picture)));
        heif_nclx_color_profile_set_transfer_characteristics(
            nclx, static_cast<uint16_t>(de265_get_image_transfer_characteristics(picture)));
        heif_nclx_color_profile_set_matrix_coefficients(
            nclx, static_cast<uint16_t>(de265_get_image_matrix_coefficients(picture)));
        nclx->full_range_flag = static_cast<uint8_t>(de265_get_image_full_range_flag(picture) != 0);
        heif_image_set_nclx_color_profile(image, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    *out = image;
    return kOk;
}

// Decodes the units into *out; *damage is the first damage libde265
// reported. With `filters` off, the in-loop filters (deblocking, SAO) are
// skipped: they work on memory of their own, which damage leaves partly
// unwritten.
heif_error decode_units(const Decoder &decoder, bool filters, heif_image **out, de265_error *damage) {
    *out = nullptr;
    *damage = DE265_OK;
    de265_decoder_context *context = de265_new_decoder();
    if (!context) return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
    static de265_image_allocation zeroed = {zeroed_buffer, release_buffer};
    de265_set_image_allocation_functions(context, &zeroed, nullptr);
    de265_set_parameter_bool(context, DE265_DECODER_PARAM_DISABLE_DEBLOCKING, !filters);
    de265_set_parameter_bool(context, DE265_DECODER_PARAM_DISABLE_SAO, !filters);
    for (const std::vector<uint8_t> &unit : decoder.units)
        de265_push_NAL(context, unit.data(), static_cast<int>(unit.size()), 0, nullptr);
    de265_flush_data(context);
    const auto note = [damage](de265_error code) {
        if (*damage == DE265_OK) *damage = code;
    };
    heif_error result = {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, "no HEVC picture decoded"};
    for (int more = 1; more;) {
        more = 0;
        const de265_error status = de265_decode(context, &more);
        for (de265_error w; (w = de265_get_warning(context)) != DE265_OK;) note(w);
        if (status != DE265_OK && status != DE265_ERROR_WAITING_FOR_INPUT_DATA) {
            note(status);
            break;
        }
        if (const de265_image *picture = de265_get_next_picture(context)) {
            if (*out) heif_image_release(*out);
            *out = nullptr;
            result = to_heif_image(picture, out);
            de265_release_next_picture(context);
        }
    }
    de265_free_decoder(context);
    return *out ? kOk : result;
}

heif_error decode_image(void *raw, heif_image **out) {
    auto *decoder = static_cast<Decoder *>(raw);
    de265_error damage = DE265_OK;
    const heif_error result = decode_units(*decoder, true, out, &damage);
    if (damage == DE265_OK || !*out) return result;
    const char *text = de265_get_error_text(damage);  // static, as libheif keeps the pointer
    heif_image_release(*out);
    *out = nullptr;
    if (decoder->strict) return {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, text};
    // Damaged: decoded again without the in-loop filters, so that every
    // sample comes from the decoder or from zeroed memory, the same on every
    // run. The picture is marred anyway.
    de265_error again = DE265_OK;
    const heif_error second = decode_units(*decoder, false, out, &again);
    if (!*out) return second;
    std::lock_guard<std::mutex> guard(decoder->slot->lock);
    if (decoder->slot->damage.empty()) decoder->slot->damage = text;
    return kOk;
}

template <int N>
heif_error new_decoder_in(void **out) {
    return new_decoder(out, &g_slots[N]);
}

heif_decoder_plugin plugin_with(heif_error (*make)(void **)) {
    heif_decoder_plugin p{};
    p.plugin_api_version = 2;
    p.get_plugin_name = name;
    p.does_support_format = supports;
    p.new_decoder = make;
    p.free_decoder = free_decoder;
    p.push_data = push_data;
    p.decode_image = decode_image;
    p.set_strict_decoding = set_strict;
    return p;
}

// One plugin a slot: the functions differ only in the slot they report to.
template <std::size_t... N>
std::array<heif_decoder_plugin, kSlots> make_plugins(std::index_sequence<N...>) {
    return {plugin_with(new_decoder_in<static_cast<int>(N)>)...};
}

const std::array<heif_decoder_plugin, kSlots> &plugins() {
    static const std::array<heif_decoder_plugin, kSlots> all = make_plugins(std::make_index_sequence<kSlots>{});
    return all;
}

}  // namespace

std::unique_ptr<HevcDecoderLease> HevcDecoderLease::acquire() {
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].leased.compare_exchange_strong(expected, true)) continue;
        std::lock_guard<std::mutex> guard(g_slots[i].lock);
        g_slots[i].damage.clear();
        return std::unique_ptr<HevcDecoderLease>(new HevcDecoderLease(i));
    }
    return nullptr;
}

HevcDecoderLease::~HevcDecoderLease() { g_slots[slot_].leased = false; }

const heif_decoder_plugin *HevcDecoderLease::plugin() const { return &plugins()[static_cast<std::size_t>(slot_)]; }

std::string HevcDecoderLease::damage() const {
    std::lock_guard<std::mutex> guard(g_slots[slot_].lock);
    return g_slots[slot_].damage;
}

}  // namespace qova::codecs
