#include "temporary_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qova::codecs {

std::filesystem::path temporary_folder() {
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? std::filesystem::path(dir) : std::filesystem::path("/tmp");
}

int open_unnamed_file(const std::filesystem::path &folder) {
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    // The file system has no unnamed files: a named one, gone from its folder
    // before anything is written to it.
    std::string pattern = (folder / ".qova-XXXXXX").string();
    const int named = mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0) unlink(pattern.c_str());
    return named;
}

std::FILE *anonymous_temporary_file(std::string *error) {
    const std::filesystem::path folder = temporary_folder();
    const int fd = open_unnamed_file(folder);
    std::FILE *file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!file) {
        if (error) *error = "cannot make a temporary file in " + folder.string() + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
    }
    return file;
}

}  // namespace qova::codecs
