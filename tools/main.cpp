// qova: the colour operators on PNG and JPEG files.
#include "demo.h"
#include "job.h"
#include "output_file.h"
#include "progress.h"
#include "qova.h"
#include "resources.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using namespace qova_tool;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Task {
    fs::path input, output;
};

struct FileOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::string format;  // batch output format; empty: each input's own
    bool timing = false;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
};

void report(const fs::path &file, const std::string &problem) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::cerr << "qova: " << file.string() << ": " << problem << "\n";
}

void add_file_options(CLI::App *cmd, FileOptions &files, JobOptions &job) {
    cmd->add_option("inputs", files.inputs, "PNG or JPEG images to read")->required()->type_name("IN...");
    cmd->add_option("-o,--output", files.output,
                    "output file (one input) or existing folder (several); the extension picks PNG or JPEG")
        ->required()
        ->type_name("OUT");
    cmd->add_option("-j,--jobs", files.jobs, "images processed at once (default: number of cores)")
        ->check(CLI::Range(1, 256));
    cmd->add_option("--format", files.format, "output format of a batch (default: each input's own)")
        ->check(CLI::IsMember({"png", "jpg", "jpeg"}));
    cmd->add_option("--quality", job.jpeg_quality, "JPEG output quality")->check(CLI::Range(1, 100))->capture_default_str();
    cmd->add_option("--max-pixels", job.limits.max_pixels, "refuse images with more pixels than this")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_flag("--timing", files.timing, "print where each image's time went (decode, operator, encode)");
}

// Degrees with at most one decimal, 0..360, to tenths of a degree.
std::vector<int> parse_poles(const std::string &text) {
    static const std::regex kDegrees(R"(\s*(\d{1,3})(?:\.(\d))?\s*)");
    std::vector<int> poles;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::smatch m;
        if (!std::regex_match(item, m, kDegrees))
            throw CLI::ValidationError("--poles", "'" + item + "' is not a number of degrees with at most one decimal");
        const int tenths = std::stoi(m[1].str()) * 10 + (m[2].matched ? m[2].str()[0] - '0' : 0);
        if (tenths > 3600) throw CLI::ValidationError("--poles", "'" + item + "' is not between 0 and 360 degrees");
        poles.push_back(tenths);
        if (comma == std::string::npos) return poles;
        start = comma + 1;
    }
}

// Pairs each input with its output; refuses what cannot work before any file is touched.
std::optional<std::vector<Task>> plan_tasks(const FileOptions &files) {
    std::error_code ec;
    const fs::path output = fs::absolute(files.output);
    const bool to_folder = files.inputs.size() > 1 || fs::is_directory(output, ec);
    if (to_folder && !fs::is_directory(output, ec)) {
        report(output, fs::exists(output, ec) ? "is not a folder (several inputs need an output folder)"
                                               : "output folder does not exist");
        return std::nullopt;
    }
    std::vector<Task> tasks;
    std::map<fs::path, fs::path> taken;
    bool ok = true;
    for (const std::string &name : files.inputs) {
        Task t{fs::absolute(name), output};
        if (to_folder) {
            t.output = output / t.input.filename();
            if (!files.format.empty()) t.output.replace_extension("." + files.format);
        }
        if (!format_for(t.output)) {
            report(t.output, "unknown output format (use .png, .jpg or .jpeg)");
            ok = false;
        } else if (fs::equivalent(t.input, t.output, ec)) {
            report(t.input, "refusing to overwrite the input with its own output");
            ok = false;
        } else if (const auto [it, fresh] = taken.emplace(t.output.lexically_normal(), t.input); !fresh) {
            report(t.input, "output " + t.output.string() + " is already written for " + it->second.string());
            ok = false;
        } else {
            tasks.push_back(t);
        }
    }
    return ok ? std::optional(tasks) : std::nullopt;
}

// The band filter reads cie_table.txt from the working directory: move there,
// or into a private folder holding a copy when the table has another name.
std::optional<std::string> enter_table_folder(const std::string &table_option) {
    fs::path table;
    if (!table_option.empty()) {
        table = fs::absolute(table_option);
    } else if (const auto shipped = find_shipped_file("cie_table.txt")) {
        table = *shipped;
    } else {
        return std::string("cannot find the shipped cie_table.txt; name one with --table FILE");
    }
    const fs::path named = table;  // what messages name
    std::error_code ec;
    if (!fs::is_regular_file(table, ec)) return table.string() + ": table file not found";
    if (table.filename() != "cie_table.txt") {
        static fs::path copy_dir;  // removed at exit
        std::string pattern = (fs::temp_directory_path() / "qova-table-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return std::string("cannot create a folder for the table copy");
        copy_dir = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(copy_dir, ignored);
        });
        fs::copy_file(table, copy_dir / "cie_table.txt", ec);
        if (ec) return named.string() + ": " + ec.message();
        table = copy_dir / "cie_table.txt";
    }
    fs::current_path(table.parent_path(), ec);
    if (ec) return table.parent_path().string() + ": " + ec.message();
    ChromaEntry entries[QOVA_TABLE_SIZE];
    const int records = QOVA_readtable("cie_table.txt", entries);
    if (records < QOVA_TABLE_SIZE - 1)
        return named.string() + ": not a usable table (" + std::to_string(records < 0 ? 0 : records) +
               " records read, 339 needed)";
    return std::nullopt;
}

void report_timing(const fs::path &file, const JobTiming &t) {
    char line[200];
    std::snprintf(line, sizeof line, "decode %.3f s, operator %.3f s, encode %.3f s, total %.3f s (operator %.1f%%)",
                  t.read, t.operate, t.write, t.total, t.total > 0 ? 100 * t.operate / t.total : 0.0);
    report(file, line);
}

int run_tasks(const std::vector<Task> &tasks, const Operation &operation, const JobOptions &options, unsigned jobs,
              bool timing) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const bool single = tasks.size() == 1;
    Progress progress(single ? 1 : static_cast<int64_t>(tasks.size()), single ? "rows" : "images");
    const auto worker = [&] {
        for (std::size_t i; (i = next++) < tasks.size();) {
            const Task &t = tasks[i];
            const auto rows = [&](int32_t done, int32_t total) {
                if (single) progress.set_total_and_done(total, done);
            };
            JobTiming spent;
            if (const auto problem = run_job(t.input, t.output, operation, options, rows, &spent)) {
                report(t.input, *problem);
                failed = true;
            } else if (timing) {
                report_timing(t.input, spent);
            }
            if (!single) progress.add(1);
        }
    };
    std::vector<std::thread> pool;
    const unsigned workers = std::min<unsigned>(jobs, static_cast<unsigned>(tasks.size()));
    for (unsigned w = 1; w < workers; ++w) pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool) t.join();
    progress.finish();
    return failed ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"qova: colour operators on PNG and JPEG images.\n"
                 "Each subcommand reads IN... and writes the result to OUT."};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::to_string(QOVA_VERSION_MAJOR) + "." + std::to_string(QOVA_VERSION_MINOR) +
                                          "." + std::to_string(QOVA_VERSION_PATCH));

    FileOptions files;
    JobOptions job;
    Operation op;
    std::string poles, table;

    CLI::App *saturation = app.add_subcommand("saturation", "Raise or lower saturation by a percentage of itself");
    saturation->add_option("--strength", op.strength, "percent change of saturation, -100..100")
        ->required()
        ->check(CLI::Range(-100, 100));
    add_file_options(saturation, files, job);

    CLI::App *hue = app.add_subcommand("hue", "Pull hues toward poles (or push them away)");
    hue->add_option("--strength", op.strength, "percent of each hue's distance to its pole, -100..100 (negative pushes)")
        ->required()
        ->check(CLI::Range(-100, 100));
    hue->add_option("--poles", poles, "poles in degrees, e.g. 30,210.5 (default: 0,120,240 with clamping)")
        ->type_name("DEG,DEG,...");
    add_file_options(hue, files, job);

    CLI::App *bandpass = app.add_subcommand("bandpass", "Dim colours by how far their dominant wavelength lies from a centre");
    bandpass->add_option("--centre,--center", op.centre, "centre wavelength in nm (the locus spans 380..698)")->required();
    bandpass->add_option("--bandwidth", op.bandwidth, "full weight within half of this (nm), half weight up to it")
        ->required()
        ->check(CLI::Range(2, 100000));
    bandpass->add_option("--order", op.order, "Butterworth order: higher is steeper, 0 halves all, negative is a stop band")
        ->capture_default_str();
    bool no_linear = false;
    bandpass->add_flag("--no-linear", no_linear, "filter the stored sRGB values instead of linear light");
    bandpass->add_option("--table", table, "chromaticity table to use instead of the shipped cie_table.txt")
        ->type_name("FILE");
    add_file_options(bandpass, files, job);

    std::string demo_dir = "qova-demo";
    CLI::App *demo = app.add_subcommand("demo", "Run every operator on the bundled sample and make a contact sheet");
    demo->add_option("dir", demo_dir, "folder for the results")->capture_default_str();

    try {
        app.parse(argc, argv);
        if (!poles.empty()) op.poles = parse_poles(poles);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    op.linear = !no_linear;
    capture_operator_errors();
    OutputFile::install_signal_cleanup();

    if (demo->parsed()) {
        const fs::path dir = fs::absolute(demo_dir);
        const auto sample = find_shipped_file("sample.jpg");
        if (!sample) {
            std::cerr << "qova: cannot find the bundled sample.jpg\n";
            return kExitFailed;
        }
        if (const auto problem = enter_table_folder("")) {
            std::cerr << "qova: " << *problem << "\n";
            return kExitFailed;
        }
        return run_demo(dir, *sample, job);
    }

    op.kind = saturation->parsed() ? OperatorKind::Saturation : hue->parsed() ? OperatorKind::Hue : OperatorKind::Bandpass;
    const auto tasks = plan_tasks(files);
    if (!tasks) return kExitFailed;
    if (op.kind == OperatorKind::Bandpass) {
        if (const auto problem = enter_table_folder(table)) {
            std::cerr << "qova: " << *problem << "\n";
            return kExitFailed;
        }
    }
    return run_tasks(*tasks, op, job, files.jobs, files.timing);
}
