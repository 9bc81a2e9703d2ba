// Where -o points: FIFOs, devices, sockets, symlinks, hard links, files of
// other owners and files in folders that refuse new entries. Each is written
// as the user means it and left as it was; a run killed while writing leaves
// no file of its own anywhere.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"
#include "support/tool_process.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Everything one reader gets from `fd` until its writer closes.
std::string drain(int fd) {
    std::string all;
    char buffer[1 << 14];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

// Reads a FIFO on a thread of its own. finish() returns what came, also when
// no writer ever opened the FIFO (the reader then sees one that closes at
// once).
class FifoReader {
public:
    explicit FifoReader(fs::path fifo)
        : fifo_(std::move(fifo)), thread_([this] {
              const int fd = open(fifo_.c_str(), O_RDONLY);
              got_ = drain(fd);
              close(fd);
              done_ = true;
          }) {}
    std::string finish() {
        // A writer that opens and closes ends a reader still waiting to open
        // (the open fails while no reader waits, so it is tried until done).
        while (!done_) {
            const int nudge = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            if (nudge >= 0) close(nudge);
            std::this_thread::yield();
        }
        thread_.join();
        return got_;
    }

private:
    fs::path fifo_;
    std::string got_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct stat stat_of(const fs::path &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class OutputTargets : public ::testing::Test {
protected:
    void SetUp() override {
        input_ = dir_.write("in.png", bytes::noise_png(40, 30));
        old_ = bytes::noise_png(7, 5, 9);  // what targets hold before the run
    }
    ToolExit run(const fs::path &out, const std::vector<std::string> &extra = {}, const ToolSetup &setup = {}) {
        std::vector<std::string> args{"saturation", "--strength", "20"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {input_.string(), "-o", out.string()});
        return run_tool(args, scratch_.path(), setup);
    }
    TempDir dir_, scratch_;
    fs::path input_;
    std::string old_;
};

TEST_F(OutputTargets, FifoGetsTheImageAndStaysAFifo) {
    const struct {
        const char *name;
        std::vector<std::string> options;
        std::string starts;
    } cases[] = {
        {"pipe", {}, kPngSignature},                    // no extension: the input's format
        {"pipe.jpg", {}, "\xFF\xD8\xFF"},               // the name's
        {"pipe.png", {"--format", "jpg"}, ""},          // a mismatch is refused
        {"pipe", {"--format", "jpg"}, "\xFF\xD8\xFF"},  // --format's
        {"pipe.tif", {}, "II*"},                        // staged whole, then written in
    };
    for (const auto &c : cases) {
        const fs::path fifo = dir_.path() / c.name;
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        FifoReader reader(fifo);
        const ToolExit result = run(fifo, c.options);
        const std::string got = reader.finish();
        if (c.starts.empty()) {
            EXPECT_EQ(result.exit_code, 2) << c.name << result.err;
        } else {
            EXPECT_EQ(result.exit_code, 0) << c.name << result.err;
            EXPECT_EQ(got.substr(0, c.starts.size()), c.starts) << c.name;
        }
        EXPECT_TRUE(S_ISFIFO(stat_of(fifo).st_mode)) << c.name;
        fs::remove(fifo);
    }
    EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"in.png"});
}

TEST_F(OutputTargets, DevicesAndKernelNamesAreWrittenInto) {
    // /dev/null and a copy of it made here, when the process may make one.
    std::vector<fs::path> devices{"/dev/null"};
    const fs::path made = dir_.path() / "null";
    if (mknod(made.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) devices.push_back(made);
    for (const fs::path &device : devices) {
        for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"--format", "png"}}) {
            const ToolExit result = run(device, options);
            EXPECT_EQ(result.exit_code, 0) << device << result.err;
            EXPECT_TRUE(S_ISCHR(stat_of(device).st_mode)) << device;
        }
    }
    // /dev/stdout leads to wherever standard output goes.
    ToolSetup to_file;
    to_file.standard_output = scratch_.path() / "captured";
    const ToolExit result = run("/dev/stdout", {}, to_file);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(bytes::decode(read_text(to_file.standard_output)).width, 40);
    // A non-root user may write /dev/null too.
    ToolSetup nobody;
    nobody.as_nobody = true;
    nobody.tool = scratch_.path() / "qova";
    if (geteuid() == 0) {
        fs::permissions(scratch_.path(), fs::perms::all);
        fs::permissions(dir_.path(), fs::perms::all);
        fs::copy_file(QOVA_TOOL, nobody.tool);
        fs::permissions(input_, fs::perms::all);
        EXPECT_EQ(run("/dev/null", {}, nobody).exit_code, 0);
    }
    EXPECT_TRUE(S_ISCHR(stat_of("/dev/null").st_mode));

    // A regular file in a folder under /dev is replaced like any other: a
    // run killed while writing leaves it whole.
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) {
        const fs::path shm = fs::path("/dev/shm") / dir_.path().filename().concat(".png");
        std::ofstream(shm, std::ios::binary) << old_;
        const std::string big = bytes::noise_png(300, 300, 4);
        const fs::path big_input = dir_.write("big.png", big);
        ToolSetup limited;
        limited.file_size_limit = 8192;
        limited.wrapped = false;
        const ToolExit killed =
            run_tool({"hue", "--strength", "5", big_input.string(), "-o", shm.string()}, scratch_.path(), limited);
        EXPECT_EQ(killed.signal, SIGXFSZ) << killed.err;
        EXPECT_TRUE(read_text(shm) == old_) << "the old content stays whole";
        fs::remove(shm);
    }
}

TEST_F(OutputTargets, SocketIsConnectedTo) {
    const fs::path path = dir_.path() / "socket";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::string got;
    std::thread reader([&] {
        const int fd = accept(listener, nullptr, nullptr);
        got = drain(fd);
        close(fd);
    });
    const ToolExit result = run(path, {"--format", "png"});
    reader.join();
    close(listener);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(bytes::decode(got).width, 40);
    EXPECT_TRUE(S_ISSOCK(stat_of(path).st_mode));
}

TEST_F(OutputTargets, SymlinksLeadToTheirTargets) {
    const fs::path sub = dir_.path() / "sub";
    fs::create_directory(sub);
    const fs::path target = dir_.write("sub/target.png", old_);
    const struct {
        const char *link;
        fs::path to;
        fs::path written;
    } cases[] = {
        {"absolute.png", target, target},
        {"relative.png", "sub/target.png", target},
        {"chain.png", "absolute.png", target},
        {"dangling.png", "sub/new.png", sub / "new.png"},  // the target is made, in the target's folder
    };
    for (const auto &c : cases) fs::create_symlink(c.to, dir_.path() / c.link);
    for (const auto &c : cases) {
        fs::resize_file(target, 0);
        const ToolExit result = run(dir_.path() / c.link);
        EXPECT_EQ(result.exit_code, 0) << c.link << result.err;
        EXPECT_TRUE(fs::is_symlink(dir_.path() / c.link)) << c.link;
        EXPECT_EQ(fs::read_symlink(dir_.path() / c.link), c.to) << c.link;
        EXPECT_EQ(bytes::decode(read_text(c.written)).width, 40) << c.link;
    }
    EXPECT_EQ(names_in(sub), (std::vector<std::string>{"new.png", "target.png"}));
}

TEST_F(OutputTargets, ReplacedFilesKeepLinksOwnerAndMode) {
    const fs::path first = dir_.write("first.png", old_), second = dir_.path() / "second.png";
    fs::create_hard_link(first, second);
    const ino_t inode = stat_of(first).st_ino;
    ASSERT_EQ(chmod(first.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(first.c_str(), 1234, 5678), 0);
    }

    const ToolExit result = run(second);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const struct stat after = stat_of(first);
    EXPECT_EQ(after.st_ino, inode);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(after.st_uid, 1234u);
        EXPECT_EQ(after.st_gid, 5678u);
    }
    EXPECT_EQ(bytes::decode(read_text(first)).width, 40) << "every name sees the new content";
    EXPECT_EQ(read_text(first), read_text(second));

    // One name only: renamed over, owner and mode kept all the same.
    const fs::path single = dir_.write("single.png", old_);
    ASSERT_EQ(chmod(single.c_str(), 0604), 0);
    if (root) {
        ASSERT_EQ(chown(single.c_str(), 4321, 8765), 0);
    }
    EXPECT_EQ(run(single).exit_code, 0);
    const struct stat replaced = stat_of(single);
    EXPECT_EQ(replaced.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(replaced.st_uid, 4321u);
        EXPECT_EQ(replaced.st_gid, 8765u);
    }
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"first.png", "in.png", "second.png", "single.png"}));
}

TEST_F(OutputTargets, FileInAReadOnlyFolderIsWrittenThroughTmpdir) {
    // As a user who may write the file but not its folder (root may write
    // anywhere, so the run drops to nobody when it can).
    const fs::path folder = dir_.path() / "locked", staging = dir_.path() / "staging";
    fs::create_directory(folder);
    fs::create_directory(staging);
    const fs::path target = dir_.write("locked/photo.png", old_);
    ToolSetup setup;
    setup.environment = {{"TMPDIR", staging.string()}};
    setup.wrapped = false;  // a wrapper keeps files of its own in TMPDIR
    if (geteuid() == 0) {
        setup.as_nobody = true;
        setup.tool = scratch_.path() / "qova";
        fs::copy_file(QOVA_TOOL, setup.tool);
        for (const fs::path &p : {scratch_.path(), dir_.path(), staging, input_}) fs::permissions(p, fs::perms::all);
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    const ToolExit result = run(target, {}, setup);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(bytes::decode(read_text(target)).width, 40);
    EXPECT_EQ(names_in(folder), std::vector<std::string>{"photo.png"});
    EXPECT_TRUE(fs::is_empty(staging));
    // A new file there cannot be made: one line, nothing left.
    const ToolExit refused = run(folder / "new.png", {}, setup);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("cannot create " + (folder / "new.png").string() + ": Permission denied"),
              std::string::npos)
        << refused.err;
    chmod(folder.c_str(), 0755);
}

TEST_F(OutputTargets, BlockDevicesAreRefused) {
    if (geteuid() == 0) {
        const fs::path block = dir_.path() / "block";
        if (mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 200)) == 0) {  // a loop device number
            const ToolExit result = run(block, {"--format", "png"});
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_NE(result.err.find("is a block device"), std::string::npos) << result.err;
            EXPECT_TRUE(S_ISBLK(stat_of(block).st_mode));
        }
    }
}

// The kernel ends the run when a file it writes reaches the size limit:
// a kill at a chosen moment, with no handler of the tool's running.
TEST_F(OutputTargets, RunKilledWhileWritingLeavesNoFile) {
    const fs::path big = dir_.write("big.png", bytes::noise_png(600, 400, 3));  // about 720 kB out
    const fs::path out_dir = dir_.path() / "out";
    fs::create_directory(out_dir);
    const fs::path existing = dir_.write("out/existing.png", old_);
    for (const rlim_t limit : {rlim_t{4096}, rlim_t{65536}, rlim_t{400000}}) {
        for (const char *name : {"new.png", "existing.png", "new.tif"}) {
            ToolSetup setup;
            setup.file_size_limit = limit;
            setup.wrapped = false;  // the tool's own death, not a wrapper's
            const ToolExit result = run_tool({"hue", "--strength", "30", big.string(), "-o", (out_dir / name).string()},
                                             scratch_.path(), setup);
            EXPECT_EQ(result.signal, SIGXFSZ) << name << " at " << limit << ": " << result.err;
            EXPECT_EQ(names_in(out_dir), std::vector<std::string>{"existing.png"}) << name << " at " << limit;
            EXPECT_EQ(read_text(existing), old_) << "the old content stays whole";
        }
    }
}

// A TIFF for a pipe is staged whole in TMPDIR and then written into the
// pipe: killed while the pipe is full, it leaves nothing there either.
TEST_F(OutputTargets, StagingHonoursTmpdirAndLeavesNothing) {
    const fs::path staging = dir_.path() / "staging", fifo = dir_.path() / "pipe.tif";
    fs::create_directory(staging);
    const fs::path big = dir_.write("big.png", bytes::noise_png(600, 400, 3));
    for (const int sig : {SIGKILL, SIGINT}) {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", staging.c_str(), 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(QOVA_TOOL, "qova", "saturation", "--strength", "10", big.c_str(), "-o", fifo.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        // Open the pipe without reading it, and wait until it is full: the
        // tool is then blocked writing, with its staged copy complete.
        const int fd = open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        const int capacity = fcntl(fd, F_GETPIPE_SZ);
        for (int queued = 0; queued < capacity;) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, -1);
            ioctl(fd, FIONREAD, &queued);
            if (queued < capacity) sched_yield();
        }
        kill(pid, sig);
        // A sanitizer may hold a caught signal back until the blocked write
        // returns: the reader goes away, and the write fails.
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        const bool by_signal = WIFSIGNALED(status) && WTERMSIG(status) == sig;
        const bool by_broken_pipe = sig != SIGKILL && WIFEXITED(status) && WEXITSTATUS(status) == 1;
        EXPECT_TRUE(by_signal || by_broken_pipe) << status;
        EXPECT_TRUE(fs::is_empty(staging));
        fs::remove(fifo);
    }
    // A TMPDIR that does not exist shows that it is the one used.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FifoReader reader(fifo);
    ToolSetup missing;
    missing.environment = {{"TMPDIR", (dir_.path() / "missing").string()}};
    missing.wrapped = false;  // a wrapper may need TMPDIR itself
    const ToolExit result = run(fifo, {}, missing);
    reader.finish();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("cannot make a temporary file in " + (dir_.path() / "missing").string()),
              std::string::npos)
        << result.err;
}

}  // namespace
