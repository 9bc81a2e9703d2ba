#include "input_file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace qova_tool {

namespace {

FilePointer spool_standard_input(std::string *error) {
    FilePointer copy(std::tmpfile());
    if (!copy) {
        *error = std::string("cannot make a temporary copy of standard input: ") + std::strerror(errno);
        return nullptr;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = std::string("cannot read standard input: ") + std::strerror(errno);
            return nullptr;
        }
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), copy.get()) != static_cast<std::size_t>(n)) {
            *error = std::string("cannot make a temporary copy of standard input: ") + std::strerror(errno);
            return nullptr;
        }
    }
    if (std::fflush(copy.get()) != 0 || std::fseek(copy.get(), 0, SEEK_SET) != 0) {
        *error = std::string("cannot make a temporary copy of standard input: ") + std::strerror(errno);
        return nullptr;
    }
    return copy;
}

}  // namespace

FilePointer open_input(const std::filesystem::path &path, std::string *error) {
    if (!path.empty()) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            *error = "is a folder, not an image";
            return nullptr;
        }
        FilePointer file(std::fopen(path.c_str(), "rb"));
        if (!file) *error = std::string("cannot open: ") + std::strerror(errno);
        return file;
    }
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0) {
        const int fd = dup(STDIN_FILENO);
        FilePointer file(fd >= 0 ? fdopen(fd, "rb") : nullptr);
        if (file) return file;
        if (fd >= 0) close(fd);
    }
    return spool_standard_input(error);
}

}  // namespace qova_tool
