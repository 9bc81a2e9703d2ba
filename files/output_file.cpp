#include "output_file.h"

#include "codecs/temporary_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace fs = std::filesystem;

namespace qova::files {

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

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

bool is_stream_node(mode_t mode) { return S_ISFIFO(mode) || S_ISCHR(mode) || S_ISSOCK(mode); }

// Names of open files that the kernel makes up: /proc/self/fd/1 and what
// leads there, such as /dev/stdout or /dev/fd/1. They name an open file, not
// a place that a new file could be renamed into.
bool is_kernel_name(fs::path path) {
    const auto in_proc = [](const fs::path &p) {
        std::error_code ec;
        const std::string folder = fs::canonical(p.has_parent_path() ? p.parent_path() : fs::path("."), ec).string();
        return !ec && (folder == "/proc" || folder.compare(0, 6, "/proc/") == 0);
    };
    for (int hops = 0; hops < 40; ++hops) {
        if (in_proc(path)) return true;
        struct stat st {};
        std::error_code ec;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) return false;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return false;
}

// `path` with its symlinks followed to the name they lead to, which need not
// exist yet. Folders along the way are left for the kernel to resolve.
bool follow_links(fs::path *path, std::string *error) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::error_code ec;
        const fs::path target = fs::read_symlink(*path, ec);
        if (ec) {
            *error = "cannot read the link: " + ec.message();
            return false;
        }
        *path = target.is_absolute() ? target : path->parent_path() / target;
    }
    *error = std::strerror(ELOOP);
    return false;
}

// Connects to a socket node; -1 with errno set on failure.
int connect_socket(const fs::path &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// Writes all of `size` bytes at `offset`; false with errno set.
bool write_all(int fd, const char *data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

bool is_stream_target(const fs::path &path) {
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    return exists && (is_stream_node(st.st_mode) || (!S_ISDIR(st.st_mode) && is_kernel_name(path)));
}

void OutputFile::install_signal_cleanup() {
    creation_mode();  // read the umask once, before any thread starts
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, remove_temporaries);
}

std::unique_ptr<OutputFile> OutputFile::create(const fs::path &path, std::string *error) {
    std::unique_ptr<OutputFile> out(new OutputFile);
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        *error = "is a folder";
        return nullptr;
    }
    if (exists && S_ISBLK(st.st_mode)) {
        *error = "is a block device: the tool writes files, FIFOs, character devices and sockets";
        return nullptr;
    }
    if ((exists && is_stream_node(st.st_mode)) || is_kernel_name(path))
        return out->open_stream(path, error) ? std::move(out) : nullptr;

    out->final_ = path;
    if (!follow_links(&out->final_, error)) return nullptr;
    out->exists_ = exists;
    out->owner_ = st.st_uid;
    out->group_ = st.st_gid;
    out->permissions_ = exists ? st.st_mode & 07777 : creation_mode();
    // Several names for one file: each must see the new content.
    const bool staged = exists && st.st_nlink > 1 ? out->stage_for_copy(error) : out->stage_beside(error);
    if (!staged) return nullptr;
    out->stream_ = fdopen(out->fd_, "w+b");
    if (!out->stream_) {
        *error = std::strerror(errno);
        return nullptr;  // the destructor drops what was staged
    }
    return out;
}

std::unique_ptr<OutputFile> OutputFile::standard_output() {
    std::unique_ptr<OutputFile> out(new OutputFile);
    out->stream_ = stdout;
    out->standard_output_ = true;
    return out;
}

bool OutputFile::open_stream(const fs::path &path, std::string *error) {
    mode_ = Mode::Stream;
    fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_TRUNC);
    if (fd_ < 0 && errno == ENXIO) fd_ = connect_socket(path);  // a socket cannot be opened, only connected to
    if (fd_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (isatty(fd_)) {
        *error = "refusing to write an image to a terminal";
        return false;
    }
    stream_ = fdopen(fd_, "wb");
    if (!stream_) *error = std::strerror(errno);
    return stream_ != nullptr;
}

// An unnamed file in the target's folder, to be renamed over it (or linked
// in as a new name). Where the file system refuses unnamed files, a named
// one that the signal handler knows; where the folder refuses any new file,
// an existing target is staged for copying instead.
bool OutputFile::stage_beside(std::string *error) {
    mode_ = Mode::Replace;
    const fs::path dir = final_.has_parent_path() ? final_.parent_path() : fs::path(".");
    fd_ = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
        unnamed_ = true;
        return true;
    }
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        std::string pattern = (dir / ".qova-XXXXXX").string();
        fd_ = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            temp_ = pattern;
            slot_ = claim_slot(pattern);
            return true;
        }
    }
    if (exists_ && (errno == EACCES || errno == EPERM || errno == EROFS)) return stage_for_copy(error);
    *error = std::strerror(errno);
    return false;
}

// Staged beside the target or else in the temporary folder; the target is
// opened now, so that a file that cannot be written fails before any work.
bool OutputFile::stage_for_copy(std::string *error) {
    mode_ = Mode::CopyInto;
    target_fd_ = open(final_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (target_fd_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const fs::path dir = final_.has_parent_path() ? final_.parent_path() : fs::path(".");
    fd_ = codecs::open_unnamed_file(dir);
    if (fd_ < 0) fd_ = codecs::open_unnamed_file(codecs::temporary_folder());
    if (fd_ < 0) *error = system_error("cannot make a temporary file in " + codecs::temporary_folder().string());
    return fd_ >= 0;
}

OutputFile::~OutputFile() {
    if (stream_ && !standard_output_) {
        std::fclose(stream_);
    } else if (!stream_ && fd_ >= 0) {
        close(fd_);
    }
    if (target_fd_ >= 0) close(target_fd_);
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
    if (!written) {
        *error = std::string("cannot write: ") + std::strerror(saved);
        return false;
    }
    bool done = true;
    if (mode_ == Mode::Replace) done = put_in_place(error);
    if (mode_ == Mode::CopyInto) done = copy_into_target(error);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    fd_ = -1;
    if (done && !closed) *error = std::string("cannot write: ") + std::strerror(errno);
    return done && closed;
}

// Owner, group and permission bits as the replaced file had them (a new
// file: the process's, and what the umask allows), then the name.
bool OutputFile::put_in_place(std::string *error) {
    if (exists_ && fchown(fd_, owner_, group_) != 0 && errno != EPERM) {
        *error = system_error("cannot keep the owner");
        return false;
    }
    if (fchmod(fd_, permissions_) != 0) {  // after fchown, which may clear set-id bits
        *error = system_error("cannot set the permissions");
        return false;
    }
    if (unnamed_) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        const auto link_as = [&](const std::string &name) {
            return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                   (errno == ENOENT && linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0);
        };
        // A new file is linked in under its own name, which fails if some
        // other process made one meanwhile; else under a temporary name
        // that is then renamed over the target.
        if (!exists_ && link_as(final_.string())) return true;
        if (!exists_ && errno != EEXIST) {
            *error = system_error("cannot put the output in place");
            return false;
        }
        const fs::path dir = final_.has_parent_path() ? final_.parent_path() : fs::path(".");
        for (int attempt = 0; temp_.empty(); ++attempt) {
            // A fresh name, reserved and freed, then taken by the link.
            std::string pattern = (dir / ".qova-XXXXXX").string();
            const int reserved = mkostemp(pattern.data(), O_CLOEXEC);
            if (reserved < 0) {
                *error = system_error("cannot put the output in place");
                return false;
            }
            close(reserved);
            unlink(pattern.c_str());
            const int slot = claim_slot(pattern);
            if (link_as(pattern)) {
                temp_ = pattern;
                slot_ = slot;
                break;
            }
            release_slot(slot);
            if (errno != EEXIST || attempt == 100) {
                *error = system_error("cannot put the output in place");
                return false;
            }
        }
    }
    if (std::rename(temp_.c_str(), final_.c_str()) != 0) {
        *error = system_error("cannot rename into place");
        return false;
    }
    release_slot(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
}

// The complete output over the existing file's content, then cut to its size.
bool OutputFile::copy_into_target(std::string *error) {
    char buffer[1 << 16];
    off_t at = 0;
    if (lseek(fd_, 0, SEEK_SET) != 0) {
        *error = system_error("cannot read the staged output");
        return false;
    }
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = system_error("cannot read the staged output");
            return false;
        }
        if (n == 0) break;
        if (!write_all(target_fd_, buffer, static_cast<std::size_t>(n), at)) {
            *error = system_error("cannot write");
            return false;
        }
        at += n;
    }
    if (ftruncate(target_fd_, at) != 0 || close(target_fd_) != 0) {
        target_fd_ = -1;
        *error = system_error("cannot write");
        return false;
    }
    target_fd_ = -1;
    return true;
}

}  // namespace qova::files
