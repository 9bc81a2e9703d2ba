// A temporary directory removed with its contents, and a scoped change of the
// working directory (the band filter reads its table from there).
#ifndef QOVA_TESTS_TEMP_DIR_H
#define QOVA_TESTS_TEMP_DIR_H

#include <filesystem>
#include <fstream>
#include <string>

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qova-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path write(const std::string &name, const std::string &content) const {
        const auto file = path_ / name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

private:
    std::filesystem::path path_;
};

class ScopedChdir {
public:
    explicit ScopedChdir(const std::filesystem::path &dir) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedChdir() { std::filesystem::current_path(previous_); }
    ScopedChdir(const ScopedChdir &) = delete;
    ScopedChdir &operator=(const ScopedChdir &) = delete;

private:
    std::filesystem::path previous_;
};

#endif
