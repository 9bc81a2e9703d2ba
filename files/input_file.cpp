#include "input_file.h"

#include "codecs/temporary_file.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace qova::files {

namespace {

// A copy of what `fd` delivers in an anonymous temporary file.
FilePointer spool(int fd, std::string *error) {
    std::string problem;
    FilePointer copy(codecs::anonymous_temporary_file(&problem));
    if (!copy) {
        *error = "cannot copy the input: " + problem;
        return nullptr;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = std::string("cannot read: ") + std::strerror(errno);
            return nullptr;
        }
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), copy.get()) != static_cast<std::size_t>(n)) {
            *error = std::string("cannot make a temporary copy of the input: ") + std::strerror(errno);
            return nullptr;
        }
    }
    if (std::fflush(copy.get()) != 0 || std::fseek(copy.get(), 0, SEEK_SET) != 0) {
        *error = std::string("cannot make a temporary copy of the input: ") + std::strerror(errno);
        return nullptr;
    }
    return copy;
}

}  // namespace

FilePointer open_input(const std::filesystem::path &path, std::string *error) {
    int fd = STDIN_FILENO;
    FilePointer file;
    if (!path.empty()) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            *error = "is a folder, not an image";
            return nullptr;
        }
        file.reset(std::fopen(path.c_str(), "rb"));
        if (!file) {
            *error = std::string("cannot open: ") + std::strerror(errno);
            return nullptr;
        }
        fd = fileno(file.get());
    }
    struct stat st {};
    const bool seekable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && lseek(fd, 0, SEEK_CUR) >= 0;
    if (seekable && file) return file;
    if (seekable) {
        const int copy = dup(STDIN_FILENO);
        file.reset(copy >= 0 ? fdopen(copy, "rb") : nullptr);
        if (file) return file;
        if (copy >= 0) close(copy);
    }
    return spool(fd, error);  // a pipe, a FIFO, a terminal
}

}  // namespace qova::files
