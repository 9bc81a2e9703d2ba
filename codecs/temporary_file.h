// Files without a name: staging and spooling that a killed process cannot
// leave behind. Linux's O_TMPFILE makes a file that only exists while it is
// open; where a file system refuses it, a named file is removed at once.
#ifndef QOVA_CODECS_TEMPORARY_FILE_H
#define QOVA_CODECS_TEMPORARY_FILE_H

#include <cstdio>
#include <filesystem>
#include <string>

namespace qova::codecs {

// The folder for temporary files: $TMPDIR if set, else /tmp.
std::filesystem::path temporary_folder();

// A read-write descriptor of an unnamed file in `folder` (mode 0600), or -1
// with errno set. Where the file system has no unnamed files, a named one is
// made and removed at once.
int open_unnamed_file(const std::filesystem::path &folder);

// An unnamed read-write stream in the temporary folder, or null with *error
// set.
std::FILE *anonymous_temporary_file(std::string *error);

}  // namespace qova::codecs

#endif
