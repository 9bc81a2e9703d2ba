// Finding the files shipped with the tool (the band filter's table, the
// sample image) wherever the project was built or installed.
#ifndef QOVA_TOOLS_RESOURCES_H
#define QOVA_TOOLS_RESOURCES_H

#include <filesystem>
#include <optional>
#include <string>

namespace qova::tool {

// Looks in <executable dir>/../share/qova (build and install trees alike), then
// in the source tree the tool was built from.
std::optional<std::filesystem::path> find_shipped_file(const std::string &name);

}  // namespace qova::tool

#endif
