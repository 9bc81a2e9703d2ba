#include "resources.h"

#include <system_error>
#include <vector>

#ifndef QOVA_SOURCE_DATA_DIR
#define QOVA_SOURCE_DATA_DIR ""
#endif

namespace qova::tool {

std::optional<std::filesystem::path> find_shipped_file(const std::string &name) {
    std::error_code ec;
    std::vector<std::filesystem::path> places;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) places.push_back(exe.parent_path().parent_path() / "share" / "qova");
    if (*QOVA_SOURCE_DATA_DIR) places.emplace_back(QOVA_SOURCE_DATA_DIR);
    for (const auto &dir : places) {
        const auto candidate = dir / name;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

}  // namespace qova::tool
