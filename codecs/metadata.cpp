#include "metadata.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace qova::codecs {

namespace {

constexpr uint32_t kJfifMax = 65535;

uint32_t read_u16(const uint8_t *p, bool big) {
    return big ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}
uint32_t read_u32(const uint8_t *p, bool big) {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}
void put_u16(std::vector<uint8_t> &v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void put_u32(std::vector<uint8_t> &v, uint32_t x) {
    put_u16(v, x >> 16);
    put_u16(v, x & 0xFFFF);
}

uint64_t rounded_div(uint64_t a, uint64_t b) { return (a + b / 2) / b; }

}  // namespace

Resolution png_resolution(const Resolution &r) {
    if (!r.known()) return {};
    const auto per_metre = [&](uint32_t v) -> uint64_t {
        switch (r.unit) {
        case Resolution::Unit::PerInch: return rounded_div(uint64_t{v} * 10000, 254);
        case Resolution::Unit::PerCentimetre: return uint64_t{v} * 100;
        default: return v;
        }
    };
    const uint64_t x = per_metre(r.x), y = per_metre(r.y);
    if (x > 0x7fffffff || y > 0x7fffffff) return {};  // PNG's limit for the field
    const auto unit = r.unit == Resolution::Unit::Aspect ? Resolution::Unit::Aspect : Resolution::Unit::PerMetre;
    return Resolution{unit, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
}

Resolution jfif_resolution(const Resolution &r) {
    if (!r.known()) return {};
    Resolution out = r;
    if (r.unit == Resolution::Unit::Aspect) {
        const uint32_t g = std::gcd(r.x, r.y);
        out.x /= g;
        out.y /= g;
    } else if (r.unit == Resolution::Unit::PerMetre) {
        // Per inch if that is a whole number which converts back exactly.
        const uint64_t dpi_x = rounded_div(uint64_t{r.x} * 254, 10000), dpi_y = rounded_div(uint64_t{r.y} * 254, 10000);
        const bool whole =
            dpi_x > 0 && dpi_y > 0 && rounded_div(dpi_x * 10000, 254) == r.x && rounded_div(dpi_y * 10000, 254) == r.y;
        out.unit = whole ? Resolution::Unit::PerInch : Resolution::Unit::PerCentimetre;
        const uint64_t x = whole ? dpi_x : rounded_div(r.x, 100), y = whole ? dpi_y : rounded_div(r.y, 100);
        if (x == 0 || y == 0 || x > kJfifMax || y > kJfifMax) return {};
        out.x = static_cast<uint32_t>(x);
        out.y = static_cast<uint32_t>(y);
    }
    if (out.x > kJfifMax || out.y > kJfifMax) return {};
    return out;
}

void Metadata::strip() {
    const int orientation = exif_orientation(exif);
    Metadata kept;
    kept.icc_profile = std::move(icc_profile);
    kept.png_gamma = png_gamma;
    kept.srgb_intent = srgb_intent;
    kept.png_chromaticities = std::move(png_chromaticities);
    kept.nclx = nclx;
    if (orientation > 1) kept.exif = orientation_only_exif(orientation);
    *this = std::move(kept);
}

namespace {

// Where IFD0's orientation value (one SHORT) sits in an EXIF block, 0 if it
// has none or the block is not sound up to it.
std::size_t orientation_value_at(const std::vector<uint8_t> &exif, bool *big) {
    const std::size_t n = exif.size();
    if (n < 8) return 0;
    const uint8_t *p = exif.data();
    *big = p[0] == 'M' && p[1] == 'M';
    if (!*big && !(p[0] == 'I' && p[1] == 'I')) return 0;
    if (read_u16(p + 2, *big) != 42) return 0;
    const uint32_t ifd = read_u32(p + 4, *big);
    if (ifd > n || n - ifd < 2) return 0;
    const uint32_t entries = read_u16(p + ifd, *big);
    for (uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + std::size_t{12} * i;
        if (at + 12 > n) return 0;
        if (read_u16(p + at, *big) != 0x0112) continue;
        if (read_u16(p + at + 2, *big) != 3 || read_u32(p + at + 4, *big) != 1) return 0;  // one SHORT
        return at + 8;
    }
    return 0;
}

}  // namespace

int exif_orientation(const std::vector<uint8_t> &exif) {
    bool big = false;
    const std::size_t at = orientation_value_at(exif, &big);
    if (at == 0) return 0;
    const uint32_t value = read_u16(exif.data() + at, big);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
}

void set_exif_orientation_normal(std::vector<uint8_t> &exif) {
    bool big = false;
    const std::size_t at = orientation_value_at(exif, &big);
    if (at == 0) return;
    const uint32_t value = read_u16(exif.data() + at, big);
    if (value < 2 || value > 8) return;  // no turn, or a value no reader honours
    exif[at] = big ? 0 : 1;
    exif[at + 1] = big ? 1 : 0;
}

std::vector<uint8_t> orientation_only_exif(int orientation) {
    std::vector<uint8_t> v = {'M', 'M', 0, 42};
    put_u32(v, 8);       // IFD0 right after the header
    put_u16(v, 1);       // one entry:
    put_u16(v, 0x0112);  //   Orientation
    put_u16(v, 3);       //   SHORT
    put_u32(v, 1);       //   one value,
    put_u16(v, static_cast<uint32_t>(orientation));
    put_u16(v, 0);  //   left-justified in the 4-byte field
    put_u32(v, 0);  // no next IFD
    return v;
}

std::vector<uint8_t> iptc_from_photoshop(const std::vector<uint8_t> &resources) {
    const std::size_t n = resources.size();
    const uint8_t *p = resources.data();
    std::size_t at = 0;
    // Each resource: "8BIM", id, a Pascal name padded to even length, size, data padded to even length.
    while (at + 7 <= n && std::memcmp(p + at, "8BIM", 4) == 0) {
        const uint32_t id = read_u16(p + at + 4, true);
        std::size_t name = 1 + std::size_t{p[at + 6]};
        name += name & 1;
        const std::size_t size_at = at + 6 + name;
        if (size_at + 4 > n) break;
        const uint32_t size = read_u32(p + size_at, true);
        const std::size_t data = size_at + 4;
        if (size > n - data) break;
        if (id == 0x0404) return std::vector<uint8_t>(p + data, p + data + size);
        at = data + size + (size & 1);
    }
    return {};
}

std::vector<uint8_t> photoshop_from_iptc(const std::vector<uint8_t> &iptc) {
    std::vector<uint8_t> v = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0};  // IPTC-NAA, empty name (padded)
    put_u32(v, static_cast<uint32_t>(iptc.size()));
    v.insert(v.end(), iptc.begin(), iptc.end());
    if (iptc.size() & 1) v.push_back(0);
    return v;
}

std::string raw_profile_text(const std::string &name, const std::vector<uint8_t> &bytes) {
    static const char kHex[] = "0123456789abcdef";
    char length[16];
    std::snprintf(length, sizeof length, "%8zu", bytes.size());
    std::string text = "\n" + name + "\n" + length + "\n";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
        if (i % 36 == 35 || i + 1 == bytes.size()) text += '\n';
    }
    return text;
}

std::optional<std::vector<uint8_t>> raw_profile_bytes(const std::string &text) {
    std::size_t at = text.find_first_not_of(" \t\r\n");
    if (at == std::string::npos) return std::nullopt;
    at = text.find('\n', at);  // past the profile's name
    if (at == std::string::npos) return std::nullopt;
    at = text.find_first_not_of(" \t\r\n", at);
    uint64_t length = 0;
    bool digits = false;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, digits = true) {
        length = length * 10 + static_cast<uint64_t>(text[at] - '0');
        if (length > text.size()) return std::nullopt;  // two hex digits a byte cannot fit
    }
    if (!digits) return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    int high = -1;
    for (; at < text.size() && bytes.size() < length; ++at) {
        const int v = nibble(text[at]);
        if (v < 0) {
            if (std::isspace(static_cast<unsigned char>(text[at]))) continue;
            return std::nullopt;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (bytes.size() != length) return std::nullopt;
    return bytes;
}

}  // namespace qova::codecs
