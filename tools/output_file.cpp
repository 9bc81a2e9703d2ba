#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace qova_tool {

namespace {

// Temporary paths the signal handler may remove: fixed slots, so the handler
// touches no allocator and no lock.
constexpr int kSlots = 256;
constexpr std::size_t kPathMax = 4096;
struct Slot {
    std::atomic<bool> claimed{false};  // owned by an OutputFile
    std::atomic<bool> armed{false};    // path filled in: the handler may remove it
    char path[kPathMax];
};
Slot g_slots[kSlots];

int claim_slot(const std::string &path) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].claimed.compare_exchange_strong(expected, true)) continue;
        std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
        g_slots[i].armed = true;
        return i;
    }
    return -1;
}

void release_slot(int slot) {
    if (slot < 0) return;
    g_slots[slot].armed = false;
    g_slots[slot].claimed = false;
}

extern "C" void remove_temporaries(int sig) {
    for (Slot &s : g_slots)
        if (s.armed.load()) unlink(s.path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

mode_t creation_mode() {
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

}  // namespace

void OutputFile::install_signal_cleanup() {
    creation_mode();  // read the umask once, before any thread starts
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, remove_temporaries);
}

std::unique_ptr<OutputFile> OutputFile::create(const std::filesystem::path &final_path, std::string *error) {
    std::unique_ptr<OutputFile> out(new OutputFile);
    out->final_ = final_path;
    // A short name, so that any name legal for the output is legal here too.
    const std::filesystem::path dir = final_path.has_parent_path() ? final_path.parent_path() : ".";
    std::string pattern = (dir / ".qova-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    out->temp_ = pattern;
    out->slot_ = claim_slot(pattern);
    struct stat existing {};
    const bool replaces = stat(final_path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    fchmod(fd, replaces ? existing.st_mode & 07777 : creation_mode());
    out->stream_ = fdopen(fd, "wb");
    if (!out->stream_) {
        *error = std::strerror(errno);
        close(fd);
        return nullptr;  // the destructor removes the file
    }
    return out;
}

std::unique_ptr<OutputFile> OutputFile::standard_output() {
    std::unique_ptr<OutputFile> out(new OutputFile);
    out->stream_ = stdout;
    out->standard_output_ = true;
    return out;
}

OutputFile::~OutputFile() {
    if (stream_ && !standard_output_) std::fclose(stream_);
    if (!temp_.empty()) unlink(temp_.c_str());
    release_slot(slot_);
}

bool OutputFile::commit(std::string *error) {
    const bool written = std::fflush(stream_) == 0 && !std::ferror(stream_);
    const int saved = errno;
    if (standard_output_) {
        stream_ = nullptr;
        if (!written) *error = std::string("cannot write: ") + std::strerror(saved);
        return written;
    }
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!written || !closed) {
        *error = std::string("cannot write: ") + std::strerror(written ? errno : saved);
        return false;
    }
    if (std::rename(temp_.c_str(), final_.c_str()) != 0) {
        *error = std::string("cannot rename into place: ") + std::strerror(errno);
        return false;
    }
    release_slot(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
}

}  // namespace qova_tool
