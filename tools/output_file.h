// An output written to a temporary file beside its final name and renamed
// over it only when complete: a failed or interrupted run leaves nothing
// half-written under the final name, and no temporary file behind. A file it
// replaces keeps its permission bits. Standard output is written directly.
#ifndef QOVA_TOOLS_OUTPUT_FILE_H
#define QOVA_TOOLS_OUTPUT_FILE_H

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace qova_tool {

class OutputFile {
public:
    // Null with *error set if the temporary file cannot be created.
    static std::unique_ptr<OutputFile> create(const std::filesystem::path &final_path, std::string *error);
    static std::unique_ptr<OutputFile> standard_output();
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    std::FILE *stream() { return stream_; }
    // Flushes, closes and renames; false with *error set on any failure (a
    // full disk or a closed pipe shows here at the latest), and the temporary
    // file is removed.
    bool commit(std::string *error);

    // Removes temporary files of unfinished outputs on SIGINT, SIGTERM and SIGHUP.
    static void install_signal_cleanup();

private:
    OutputFile() = default;
    std::filesystem::path final_;
    std::string temp_;
    std::FILE *stream_ = nullptr;
    bool standard_output_ = false;
    int slot_ = -1;
};

}  // namespace qova_tool

#endif
