#include "arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <regex>

namespace qova::tool {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

int64_t whole_number(const std::string &option, const std::string &text, int64_t lo, int64_t hi, const char *what) {
    const std::string range = " between " + std::to_string(lo) + " and " + std::to_string(hi);
    const char *first = text.data(), *last = text.data() + text.size();
    if (last - first > 1 && *first == '+' && first[1] >= '0' && first[1] <= '9') ++first;
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (text.empty() || end != last || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        static const std::regex kDecimal(R"([+-]?(\d+\.\d*|\.\d+)([eE][+-]?\d+)?)");
        const bool decimal = std::regex_match(text, kDecimal);
        const std::string needs = what ? " " + std::string(what) : decimal ? "" : range;
        throw UsageError(option + " needs a whole number" + needs + ", not '" + text + "'");
    }
    if (ec == std::errc::result_out_of_range || value < lo || value > hi)
        throw UsageError(option + " must be" + range + ", not " + text);
    return value;
}

uint64_t parse_size(const std::string &option, const std::string &text) {
    static const std::regex kSize(R"(\s*(\d{1,19})\s*([kmg]?)(i?b)?\s*)", std::regex::icase);
    std::smatch m;
    const uint64_t max = uint64_t{1} << 50;
    const std::string problem = option + " needs a size in bytes, or with K, M or G (such as 512M), from 1M to 1P";
    if (!std::regex_match(text, m, kSize)) throw UsageError(problem + ", not '" + text + "'");
    const std::string digits = m[1].str();
    uint64_t value = std::stoull(digits);
    const char unit = m[2].matched && m[2].length() ? static_cast<char>(std::tolower(m[2].str()[0])) : 'b';
    const int shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : 0;
    if (value > (max >> shift) || (value << shift) < (uint64_t{1} << 20)) throw UsageError(problem + ", not " + text);
    value <<= shift;
    return value;
}

std::vector<int> parse_poles(const std::string &text) {
    static const std::regex kDegrees(R"(\s*([+-]?)(\d{1,9})(?:\.(\d))?\s*)");
    if (text.find_first_not_of(" \t") == std::string::npos)
        throw UsageError("--poles needs at least one pole in degrees, e.g. 30,210.5");
    std::vector<int> poles;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::smatch m;
        if (!std::regex_match(item, m, kDegrees))
            throw UsageError("--poles: '" + item + "' is not a number of degrees with at most one decimal");
        const int64_t tenths = std::stoll(m[2].str()) * 10 + (m[3].matched ? m[3].str()[0] - '0' : 0);
        if (tenths > 3600 || (m[1].str() == "-" && tenths > 0))
            throw UsageError("--poles: '" + item + "' is not between 0 and 360 degrees");
        poles.push_back(static_cast<int>(tenths));
        if (comma == std::string::npos) return poles;
        start = comma + 1;
    }
}

pipeline::Background parse_colour(const std::string &option, const std::string &text) {
    static const struct {
        const char *name;
        uint8_t r, g, b;
    } kNames[] = {
        {"white", 255, 255, 255}, {"black", 0, 0, 0},       {"grey", 128, 128, 128}, {"gray", 128, 128, 128},
        {"red", 255, 0, 0},       {"green", 0, 128, 0},     {"blue", 0, 0, 255},     {"yellow", 255, 255, 0},
        {"cyan", 0, 255, 255},    {"magenta", 255, 0, 255},
    };
    const auto wide = [](unsigned v) { return static_cast<uint16_t>(v * 257); };
    const std::string name = lower(text);
    for (const auto &n : kNames)
        if (name == n.name) return pipeline::Background{wide(n.r), wide(n.g), wide(n.b)};
    static const std::regex kHex("#([0-9a-f]{3}|[0-9a-f]{6})");
    if (std::regex_match(name, kHex)) {
        const std::string digits = name.substr(1);
        const std::size_t width = digits.size() / 3;
        unsigned rgb[3];
        for (std::size_t k = 0; k < 3; ++k) {
            rgb[k] = static_cast<unsigned>(std::stoul(digits.substr(k * width, width), nullptr, 16));
            if (width == 1) rgb[k] *= 17;
        }
        return pipeline::Background{wide(rgb[0]), wide(rgb[1]), wide(rgb[2])};
    }
    throw UsageError(option + " needs a colour such as white, black or #rrggbb, not '" + text + "'");
}

codecs::ChromaSampling parse_subsampling(const std::string &text) {
    if (text == "444") return codecs::ChromaSampling{1, 1};
    if (text == "422") return codecs::ChromaSampling{2, 1};
    if (text == "420") return codecs::ChromaSampling{2, 2};
    throw UsageError("--subsampling needs 444, 422 or 420, not '" + text + "'");
}

}  // namespace qova::tool
