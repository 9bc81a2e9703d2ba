#include "detail/exif_ifd.h"

#include <algorithm>
#include <cstring>

namespace qova::codecs {

namespace {

constexpr uint16_t kExifIfd = 34665, kGpsIfd = 34853, kInteropIfd = 40965, kOrientation = 274;
// First-directory tags that describe the picture rather than the pixels.
constexpr uint16_t kTextTags[] = {270, 271, 272, 305, 306, 315, 33432};

constexpr std::size_t kMaxEntries = 1000;   // a directory longer than this is not EXIF
constexpr std::size_t kMaxBytes = 1 << 20;  // all the directories of a block together
constexpr int kMaxDepth = 3;                // first directory, EXIF, interoperability

uint32_t get(const uint8_t *p, int bytes, bool big) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t{p[big ? i : bytes - 1 - i]} << (8 * (bytes - 1 - i));
    return v;
}

void put(uint8_t *p, uint32_t v, int bytes, bool big) {
    for (int i = 0; i < bytes; ++i) p[big ? i : bytes - 1 - i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

// Bytes of one value of a TIFF field type, and the width its parts swap in
// (a rational is two LONGs); 0 for types unknown here.
std::pair<int, int> type_size(uint16_t type) {
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return {1, 1};  // BYTE, ASCII, SBYTE, UNDEFINED
    case 3:
    case 8: return {2, 2};  // SHORT, SSHORT
    case 4:
    case 9:
    case 11:
    case 13: return {4, 4};  // LONG, SLONG, FLOAT, IFD
    case 5:
    case 10: return {8, 4};  // RATIONAL, SRATIONAL
    case 12: return {8, 8};  // DOUBLE
    default: return {0, 0};
    }
}

// Copies `n` bytes of values from one byte order to another, part by part.
void convert(const uint8_t *in, uint8_t *out, std::size_t n, int part, bool big_in, bool big_out) {
    if (big_in == big_out || part == 1) {
        std::memcpy(out, in, n);
        return;
    }
    for (std::size_t i = 0; i + static_cast<std::size_t>(part) <= n; i += static_cast<std::size_t>(part))
        std::reverse_copy(in + i, in + i + part, out + i);
}

// Builds directories in a destination that starts at file offset `base`.
class IfdCopier {
public:
    IfdCopier(const ReadAt &read, bool big_in, bool big_out, uint64_t base)
        : read_(read), big_in_(big_in), big_out_(big_out), base_(base) {}

    // Appends the source directory at `offset` with its values and the
    // directories it leads to, keeping only the tags `keep` accepts (all if
    // none). Returns its offset in the file, 0 if nothing was kept.
    uint64_t copy(uint64_t offset, int depth, const std::function<bool(uint16_t)> &keep = {}) {
        uint8_t count_bytes[2];
        if (depth >= kMaxDepth || !read_(offset, 2, count_bytes)) return 0;
        const std::size_t count = get(count_bytes, 2, big_in_);
        if (count == 0 || count > kMaxEntries) return 0;
        std::vector<uint8_t> entries(count * 12);
        if (!read_(offset + 2, entries.size(), entries.data())) return 0;

        align();
        const std::size_t at = out_.size();
        if (!grow(2 + count * 12 + 4)) return 0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const uint8_t *e = entries.data() + i * 12;
            const uint16_t tag = static_cast<uint16_t>(get(e, 2, big_in_)),
                           type = static_cast<uint16_t>(get(e + 2, 2, big_in_));
            const uint32_t n = get(e + 4, 4, big_in_);
            if (keep && !keep(tag)) continue;
            uint8_t value[4] = {0, 0, 0, 0};
            if (!copy_value(tag, type, n, e + 8, depth, value)) continue;
            uint8_t *d = out_.data() + at + 2 + kept * 12;  // out_ may have moved
            put(d, tag, 2, big_out_);
            put(d + 2, type, 2, big_out_);
            put(d + 4, n, 4, big_out_);
            std::memcpy(d + 8, value, 4);
            ++kept;
        }
        if (kept == 0) {
            out_.resize(at);
            return 0;
        }
        put(out_.data() + at, static_cast<uint32_t>(kept), 2, big_out_);
        put(out_.data() + at + 2 + kept * 12, 0, 4, big_out_);  // no next directory
        return base_ + at;
    }

    std::vector<uint8_t> &bytes() { return out_; }

private:
    // The 4-byte value field of an entry: the value itself, or where it now lies.
    bool copy_value(uint16_t tag, uint16_t type, uint32_t n, const uint8_t *field, int depth, uint8_t *value) {
        const auto [size, part] = type_size(type);
        if (size == 0) return false;
        const uint64_t bytes = uint64_t{n} * static_cast<uint64_t>(size);
        if (tag == kExifIfd || tag == kGpsIfd || tag == kInteropIfd) {
            if ((type != 4 && type != 13) || n != 1) return false;
            const uint64_t child = copy(get(field, 4, big_in_), depth + 1);
            if (child == 0 || child > UINT32_MAX) return false;
            put(value, static_cast<uint32_t>(child), 4, big_out_);
            return true;
        }
        if (bytes <= 4) {
            convert(field, value, static_cast<std::size_t>(bytes), part, big_in_, big_out_);
            return true;
        }
        if (bytes > kMaxBytes) return false;
        std::vector<uint8_t> data(static_cast<std::size_t>(bytes));
        if (!read_(get(field, 4, big_in_), data.size(), data.data())) return false;
        align();
        const std::size_t at = out_.size();
        if (!grow(data.size())) return false;
        convert(data.data(), out_.data() + at, data.size(), part, big_in_, big_out_);
        if (base_ + at > UINT32_MAX) return false;
        put(value, static_cast<uint32_t>(base_ + at), 4, big_out_);
        return true;
    }

    void align() {
        if ((base_ + out_.size()) % 2) out_.push_back(0);
    }

    bool grow(std::size_t n) {
        if (out_.size() + n > kMaxBytes) return false;
        out_.resize(out_.size() + n, 0);
        return true;
    }

    const ReadAt &read_;
    bool big_in_, big_out_;
    uint64_t base_;
    std::vector<uint8_t> out_;
};

ReadAt reader_of(const std::vector<uint8_t> &bytes) {
    return [&bytes](uint64_t offset, std::size_t n, uint8_t *out) {
        if (offset > bytes.size() || n > bytes.size() - offset) return false;
        std::memcpy(out, bytes.data() + offset, n);
        return true;
    };
}

}  // namespace

std::vector<uint8_t> exif_from_tiff(const ReadAt &read, bool big_endian, uint64_t ifd0) {
    const auto keep = [](uint16_t tag) {
        return tag == kOrientation || tag == kExifIfd || tag == kGpsIfd ||
               std::find(std::begin(kTextTags), std::end(kTextTags), tag) != std::end(kTextTags);
    };
    // The block is a TIFF of its own: a header, then the first directory.
    IfdCopier copier(read, big_endian, big_endian, 0);
    copier.bytes() = big_endian ? std::vector<uint8_t>{'M', 'M', 0, 42, 0, 0, 0, 8}
                                : std::vector<uint8_t>{'I', 'I', 42, 0, 8, 0, 0, 0};
    if (copier.copy(ifd0, 0, keep) != 8) return {};
    return std::move(copier.bytes());
}

ExifForTiff exif_for_tiff(const std::vector<uint8_t> &exif, bool big_endian, uint64_t base) {
    ExifForTiff result;
    if (exif.size() < 8) return result;
    const bool big_in = exif[0] == 'M' && exif[1] == 'M';
    if ((!big_in && !(exif[0] == 'I' && exif[1] == 'I')) || get(exif.data() + 2, 2, big_in) != 42) return result;
    const uint32_t ifd0 = get(exif.data() + 4, 4, big_in);
    if (ifd0 > exif.size() || exif.size() - ifd0 < 2) return result;
    const std::size_t count = get(exif.data() + ifd0, 2, big_in);
    const ReadAt read = reader_of(exif);
    IfdCopier copier(read, big_in, big_endian, base);
    for (std::size_t i = 0; i < count && ifd0 + 2 + 12 * (i + 1) <= exif.size(); ++i) {
        const uint8_t *e = exif.data() + ifd0 + 2 + 12 * i;
        const uint16_t tag = static_cast<uint16_t>(get(e, 2, big_in)),
                       type = static_cast<uint16_t>(get(e + 2, 2, big_in));
        const uint32_t n = get(e + 4, 4, big_in), field = get(e + 8, 4, big_in);
        if (tag == kExifIfd || tag == kGpsIfd) {
            if ((type != 4 && type != 13) || n != 1) continue;
            (tag == kExifIfd ? result.exif_offset : result.gps_offset) = copier.copy(field, 1);
        } else if (type == 2 && n > 0 &&
                   std::find(std::begin(kTextTags), std::end(kTextTags), tag) != std::end(kTextTags)) {
            std::string text(n, '\0');
            if (n <= 4) {
                std::memcpy(&text[0], e + 8, n);
            } else if (!read(field, n, reinterpret_cast<uint8_t *>(&text[0]))) {
                continue;
            }
            text.resize(std::strlen(text.c_str()));  // up to the terminating NUL
            if (!text.empty()) result.text.emplace_back(tag, text);
        }
    }
    result.directories = std::move(copier.bytes());
    return result;
}

}  // namespace qova::codecs
