// An input opened for reading: a file, or standard input. Readers need to
// seek (the PNG reader looks ahead at its chunks, a few-colour image is read
// twice), so what cannot seek (a pipe, a FIFO, a process substitution) is
// first copied to an anonymous temporary file.
#ifndef QOVA_FILES_INPUT_FILE_H
#define QOVA_FILES_INPUT_FILE_H

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace qova::files {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// An empty path means standard input. Null with *error set on failure.
FilePointer open_input(const std::filesystem::path &path, std::string *error);

}  // namespace qova::files

#endif
