// Where an output goes, and how it gets there without harm.
//
// A regular file is written to an unnamed file beside it and put in place
// only when complete: a failed or killed run leaves the old content, and no
// temporary file. A replaced file keeps its owner and group (where the
// process may set them) and its permission bits; one with several hard
// links, or in a folder where nothing can be made, is staged elsewhere
// (TMPDIR) and copied into, so that all of its names see the new content. A
// symlink is followed to the file it names, and stays as it is. A FIFO,
// character device or socket is written straight into, as is standard
// output.
#ifndef QOVA_FILES_OUTPUT_FILE_H
#define QOVA_FILES_OUTPUT_FILE_H

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace qova::files {

// True if `path` is written straight into rather than replaced: a FIFO, a
// character device or a socket, or an open file named through /proc (such
// as /dev/stdout).
bool is_stream_target(const std::filesystem::path &path);

class OutputFile {
public:
    // Null with *error set if the output cannot be opened or staged.
    static std::unique_ptr<OutputFile> create(const std::filesystem::path &path, std::string *error);
    static std::unique_ptr<OutputFile> standard_output();
    ~OutputFile();  // drops what was staged unless committed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    std::FILE *stream() { return stream_; }
    // Flushes and puts the output in place; false with *error set on any
    // failure (a full disk or a closed pipe shows here at the latest), and
    // nothing is left of the new output.
    bool commit(std::string *error);

    // Removes named temporary files of unfinished outputs on SIGINT, SIGTERM
    // and SIGHUP (unnamed ones need nothing).
    static void install_signal_cleanup();

private:
    enum class Mode {
        Stream,   // straight into standard output, a FIFO, a device or a socket
        Replace,  // staged beside, then renamed over (or linked in as new)
        CopyInto  // staged anywhere, then copied into the existing file
    };
    OutputFile() = default;
    bool open_stream(const std::filesystem::path &path, std::string *error);
    bool stage_beside(std::string *error);
    bool stage_for_copy(std::string *error);
    bool put_in_place(std::string *error);
    bool copy_into_target(std::string *error);

    Mode mode_ = Mode::Stream;
    std::filesystem::path final_;  // the file to write, symlinks followed
    bool exists_ = false;          // final_ is an existing regular file
    uid_t owner_ = 0;
    gid_t group_ = 0;
    mode_t permissions_ = 0;
    int fd_ = -1;           // the staged file's (or the stream's) descriptor
    bool unnamed_ = false;  // the staged file has no name yet
    std::string temp_;      // the staged file's name, if it has one
    int target_fd_ = -1;    // CopyInto: the existing file, opened at once
    std::FILE *stream_ = nullptr;
    bool standard_output_ = false;
    int slot_ = -1;
};

}  // namespace qova::files

#endif
