// The command line's values read the same way everywhere: each problem becomes
// a UsageError holding one line that names the option and what it needs.
#ifndef QOVA_TOOLS_ARGUMENTS_H
#define QOVA_TOOLS_ARGUMENTS_H

#include "codecs/raster.h"
#include "pipeline/file_run.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qova::tool {

// A bad command line: reported before any work, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A whole number in [lo, hi]. Text that is no number is told what the
// option takes: `what` (such as "of nanometres (380..698)") if given, else
// the range.
int64_t whole_number(const std::string &option, const std::string &text, int64_t lo, int64_t hi,
                     const char *what = nullptr);

// A size in bytes, or with K, M or G (powers of 1024), at least 1 MiB.
uint64_t parse_size(const std::string &option, const std::string &text);

// Degrees with at most one decimal, 0..360, to tenths of a degree.
std::vector<int> parse_poles(const std::string &text);

// A colour by name (white, black, grey, red, green, blue, yellow, cyan,
// magenta) or as #rgb or #rrggbb.
pipeline::Background parse_colour(const std::string &option, const std::string &text);

// 444, 422 or 420.
codecs::ChromaSampling parse_subsampling(const std::string &text);

}  // namespace qova::tool

#endif
