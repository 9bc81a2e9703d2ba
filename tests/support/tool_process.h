// Runs the qova tool as a child process with a given environment, file-size
// limit, user and standard output, and reports how it ended and the most
// memory it held. Under $QOVA_TOOL_WRAPPER (valgrind, for instance) unless
// `wrapped` is false.
#ifndef QOVA_TESTS_TOOL_PROCESS_H
#define QOVA_TESTS_TOOL_PROCESS_H

#include "image_files.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

struct ToolSetup {
    std::vector<std::pair<std::string, std::string>> environment;  // set in the child
    rlim_t file_size_limit = RLIM_INFINITY;  // bytes; past it the kernel kills the child (SIGXFSZ)
    bool as_nobody = false;                  // run as user and group 65534
    std::filesystem::path tool = QOVA_TOOL;
    std::filesystem::path standard_output = "/dev/null";
    bool wrapped = true;
};

struct ToolExit {
    int exit_code = -1;  // -1 if killed
    int signal = 0;      // the signal that killed it
    std::string err;
    long peak_kib = 0;  // most resident memory
};

inline ToolExit run_tool(const std::vector<std::string> &args, const std::filesystem::path &scratch,
                         const ToolSetup &setup = {}) {
    std::vector<std::string> words;
    const char *wrapper = setup.wrapped ? std::getenv("QOVA_TOOL_WRAPPER") : nullptr;
    if (wrapper) {
        std::istringstream split(wrapper);
        for (std::string w; split >> w;) words.push_back(w);
    }
    words.push_back(setup.tool.string());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::filesystem::path err_file = scratch / "stderr.txt";

    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int out = open(setup.standard_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (err < 0 || out < 0 || dup2(err, 2) < 0 || dup2(out, 1) < 0) _exit(126);
        for (const auto &[name, value] : setup.environment) setenv(name.c_str(), value.c_str(), 1);
        const rlimit limit{setup.file_size_limit, setup.file_size_limit};
        signal(SIGXFSZ, SIG_DFL);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        if (setup.as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ToolExit result;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return result;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.peak_kib = usage.ru_maxrss;
    result.err = read_text(err_file);
    std::filesystem::remove(err_file);
    return result;
}

#endif
