// qova: the colour operators on image files.
#include "arguments.h"
#include "demo.h"
#include "files/job.h"
#include "files/output_file.h"
#include "plot_command.h"
#include "progress.h"
#include "qova.h"
#include "resources.h"

#include <CLI/CLI.hpp>

#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace qova::tool;
using namespace qova::files;
namespace codecs = qova::codecs;
using qova::pipeline::capture_operator_errors;
using qova::pipeline::load_table;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kStandardStream[] = "-";

// The options as typed; numbers are read by arguments.h, so that every
// problem is reported the same way.
struct CommandLine {
    std::vector<std::string> inputs;
    std::string output, format, quality, jobs, max_pixels, subsampling, background;
    std::string strength, poles, centre, bandwidth, order = "2", table;
    std::string max_memory, plot;
    bool timing = false, strip = false, no_linear = false, lossless = false, assume_srgb = false, fail = false;
    std::string demo_dir = "qova-demo";
};

// One input's job, or why it cannot run.
struct Task {
    std::string name;  // the input as the user gave it
    JobRequest request;
    std::optional<std::string> problem;
};

std::mutex g_report_lock;

void report(const std::string &name, const std::string &message) {
    std::lock_guard<std::mutex> guard(g_report_lock);
    std::cerr << "qova: " << name << ": " << message << "\n";
}

// Help that shows each option with its value's name only ("--strength
// PERCENT"), and the inputs as "IN...".
class Help : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option *opt, bool is_positional) const override {
        return is_positional ? opt->get_type_name() : CLI::Formatter::make_option_name(opt, false);
    }
    std::string make_option_opts(const CLI::Option *opt) const override {
        if (opt->get_positional() || opt->get_type_size() == 0) return "";
        return " " + opt->get_type_name();
    }
    std::string make_option_usage(const CLI::Option *opt) const override { return opt->get_type_name(); }
};

void add_file_options(CLI::App *cmd, CommandLine &line) {
    cmd->add_option("inputs", line.inputs,
                    "images to read (" + codecs::format_list() +
                        "); - reads standard input; a name that starts with - goes after -- (or write ./-name)")
        ->required()
        ->type_name("IN...");
    cmd->add_option("-o,--output", line.output,
                    "output file (one input), existing folder (several), - for standard output, or a FIFO or "
                    "device to write into (required)")
        ->required()
        ->type_name("OUT");
    cmd->add_option("-j,--jobs", line.jobs,
                    "threads in all, for images at once or parts of one (default: number of cores)")
        ->type_name("N");
    cmd->add_option("--format", line.format,
                    "output format: " + codecs::format_names() + " (default: the output name's, else the input's)")
        ->type_name("FORMAT");
    cmd->add_option("--quality", line.quality,
                    "JPEG, WebP, HEIC and AVIF output quality, 1..100 (default: a JPEG input's own for JPEG output, "
                    "else 90 for JPEG and WebP, 50 for HEIC and AVIF)")
        ->type_name("Q");
    cmd->add_flag("--lossless", line.lossless, "WebP, HEIC and AVIF output lossless (else lossy at --quality)");
    cmd->add_option("--subsampling", line.subsampling,
                    "chroma subsampling of JPEG, HEIC and AVIF output: 444, 422 or 420 (default for JPEG: the input "
                    "JPEG's, else 444 at quality 90 and above, 420 below)")
        ->type_name("S");
    cmd->add_option("--background", line.background,
                    "colour under transparent pixels for outputs without alpha (default white)")
        ->type_name("COLOUR");
    cmd->add_flag("--strip", line.strip, "drop all metadata but the colour profile (and a rotated orientation)");
    cmd->add_option("--max-pixels", line.max_pixels, "refuse images with more pixels than this (default 1000000000)")
        ->type_name("N");
    cmd->add_option("--max-memory", line.max_memory,
                    "refuse images whose decoding must hold more than this in memory, in bytes or with K, M or G "
                    "(default: a quarter of physical memory, at most 2G)")
        ->type_name("SIZE");
    cmd->add_flag("--fail", line.fail,
                  "fail a file on any warning (damaged data concealed, a missing end marker, metadata left out) "
                  "instead of writing it");
    cmd->add_flag("--timing", line.timing, "print where each image's time went (decode, operator, encode)");
}

// The options that set an operation, for its command and its plot.
void add_operator_options(CLI::App *cmd, CommandLine &line, OperatorKind kind) {
    if (kind == OperatorKind::Saturation) {
        cmd->add_option("--strength", line.strength, "percent change of saturation, -100..100 (required)")
            ->required()
            ->type_name("PERCENT");
        return;
    }
    if (kind == OperatorKind::Hue) {
        cmd->add_option("--strength", line.strength,
                        "percent of each hue's distance to its pole, -100..100; negative pushes away (required)")
            ->required()
            ->type_name("PERCENT");
        cmd->add_option("--poles", line.poles,
                        "poles in degrees with at most one decimal, e.g. 30,210.5: each hue moves toward the nearer "
                        "pole round the circle, wrapping past 360. Default 0,120,240 with clamping: a hue pushed "
                        "past 0 or 360 stops there instead of wrapping round")
            ->type_name("DEG,...");
        return;
    }
    cmd->add_option("--centre,--center", line.centre, "centre wavelength in nm; the locus spans 380..698 (required)")
        ->required()
        ->type_name("NM");
    cmd->add_option("--bandwidth", line.bandwidth,
                    "full weight within half of this (nm), half weight up to it, 2..100000 (required)")
        ->required()
        ->type_name("NM");
    cmd->add_option("--order", line.order,
                    "Butterworth order: higher is steeper, 0 halves all, negative is a stop band (default 2)")
        ->type_name("N");
    cmd->add_flag("--no-linear", line.no_linear, "filter the stored sRGB values instead of linear light");
    cmd->add_flag("--assume-srgb", line.assume_srgb,
                  "take every file's colours as sRGB (else a file's ICC profile or PNG gAMA/cHRM is honoured)");
    cmd->add_option("--table", line.table, "chromaticity table to use instead of the shipped cie_table.txt")
        ->type_name("FILE");
}

// The options of a plot: images are optional, the output is the picture.
void add_plot_options(CLI::App *cmd, CommandLine &line) {
    cmd->add_option("inputs", line.inputs,
                    "images whose colours to show (" + codecs::format_list() + "); none draws the operation alone")
        ->type_name("[IN...]");
    cmd->add_option("-o,--output", line.output, "the picture: .svg, .pdf or .png (required)")
        ->required()
        ->type_name("OUT");
    cmd->add_option("-j,--jobs", line.jobs, "threads for reading the images (default: number of cores)")
        ->type_name("N");
    cmd->add_option("--max-pixels", line.max_pixels, "refuse images with more pixels than this (default 1000000000)")
        ->type_name("N");
    cmd->add_option("--max-memory", line.max_memory,
                    "refuse images whose decoding must hold more than this in memory (default: a quarter of "
                    "physical memory, at most 2G)")
        ->type_name("SIZE");
}

// Whether the command has the option and it was given.
bool given(const CLI::App &sub, const std::string &name) {
    const CLI::Option *option = sub.get_option_no_throw(name);
    return option && option->count() > 0;
}

// The job options the command line asks for. An option given with an empty
// value is read (and refused) like any other value.
JobOptions job_options(const CommandLine &line, const CLI::App &sub) {
    JobOptions options;
    if (given(sub, "--quality")) options.quality = static_cast<int>(whole_number("--quality", line.quality, 1, 100));
    if (given(sub, "--subsampling")) options.encode.sampling = parse_subsampling(line.subsampling);
    options.encode.lossless = line.lossless;
    if (given(sub, "--background")) options.background = parse_colour("--background", line.background);
    if (given(sub, "--max-pixels"))
        options.limits.max_pixels = static_cast<uint64_t>(whole_number("--max-pixels", line.max_pixels, 1, INT64_MAX));
    options.limits.max_memory =
        given(sub, "--max-memory") ? parse_size("--max-memory", line.max_memory) : codecs::default_memory_limit();
    options.limits.memory_hint = " (--max-memory)";
    options.strip = line.strip;
    options.assume_srgb = line.assume_srgb;
    options.fail_on_warnings = line.fail;
    return options;
}

// A warning when no wavelength of the locus can fall in the full-weight band.
void warn_about_centre(const Operation &op) {
    constexpr int kFirst = 380, kLast = 698;  // the dominant wavelengths the filter finds
    if (op.centre >= kFirst && op.centre <= kLast) return;
    const int64_t gap = op.centre < kFirst ? int64_t{kFirst} - op.centre : int64_t{op.centre} - kLast;
    const int64_t half = op.bandwidth / 2;
    std::string consequence;
    if (gap >= half || op.order == 0) {
        consequence = "every pixel will be dimmed";
    } else if (op.centre < kFirst) {
        consequence =
            "only dominant wavelengths below " + std::to_string(op.centre + half) + " nm keep their brightness";
    } else {
        consequence =
            "only dominant wavelengths above " + std::to_string(op.centre - half) + " nm keep their brightness";
    }
    std::lock_guard<std::mutex> guard(g_report_lock);
    std::cerr << "qova: warning: --centre " << op.centre << " nm lies outside the spectral locus (" << kFirst << ".."
              << kLast << " nm): " << consequence << "\n";
}

fs::path output_in_folder(const fs::path &folder, const fs::path &input,
                          const std::optional<codecs::FileFormat> &format) {
    fs::path name = input.filename();
    if (name.empty()) name = input.parent_path().filename();  // "dir/"
    fs::path out = folder / name;
    if (format) out.replace_extension(codecs::format_extension(*format));
    return out;
}

// Pairs each input with its output. What makes the whole command line wrong
// throws a UsageError; a problem of one input stays with its task.
std::vector<Task> plan_tasks(const CommandLine &line, const std::optional<codecs::FileFormat> &format) {
    if (line.output.empty()) throw UsageError("-o needs an output file, folder or - (standard output), not ''");
    for (const std::string &input : line.inputs)
        if (input.empty()) throw UsageError("an input name is empty");
    const bool from_stdin = std::find(line.inputs.begin(), line.inputs.end(), kStandardStream) != line.inputs.end();
    const bool to_stdout = line.output == kStandardStream;
    if (from_stdin && line.inputs.size() > 1) throw UsageError("standard input (-) can only be the one input");
    if (to_stdout && line.inputs.size() > 1) throw UsageError("-o - writes one image: give one input");
    if (to_stdout && isatty(STDOUT_FILENO)) throw UsageError("refusing to write an image to a terminal (-o -)");

    std::error_code ec;
    const fs::path output = to_stdout ? fs::path() : fs::absolute(line.output);
    const bool named_folder = line.output.back() == '/';
    const bool to_folder = !to_stdout && (line.inputs.size() > 1 || named_folder || fs::is_directory(output, ec));
    if (to_folder && !fs::is_directory(output, ec)) {
        throw UsageError(line.output + (fs::exists(output, ec)
                                            ? ": is not a folder (several inputs need an output folder)"
                                            : ": output folder does not exist"));
    }
    if (to_folder && from_stdin) throw UsageError("standard input (-) needs an output file name, not a folder");
    const bool to_file = !to_folder && !to_stdout;
    const bool stream_target = to_file && is_stream_target(output);
    const auto named_format = to_file ? format_for(output) : std::nullopt;
    if (format && named_format && *format != *named_format)
        throw UsageError("--format " + line.format + " does not match the output name " + line.output);
    if (to_file && !stream_target) {
        const fs::path folder = output.parent_path();
        if (!fs::exists(folder, ec))
            throw UsageError(line.output + ": its folder " + fs::path(line.output).parent_path().string() +
                             " does not exist");
        if (!fs::is_directory(folder, ec))
            throw UsageError(line.output + ": " + fs::path(line.output).parent_path().string() + " is not a folder");
        if (!format && !named_format)
            throw UsageError(line.output + ": unknown output format (name it " + codecs::written_extensions() +
                             ", or give --format)");
    }

    std::vector<Task> tasks;
    std::map<fs::path, std::string> taken;  // output, the input writing it
    for (const std::string &name : line.inputs) {
        Task t;
        t.name = name == kStandardStream ? "standard input" : name;
        t.request.input = name == kStandardStream ? fs::path() : fs::absolute(name);
        t.request.format = format;
        if (to_folder) {
            t.request.output = output_in_folder(output, t.request.input.lexically_normal(), format);
            t.request.shown_output = (fs::path(line.output) / t.request.output.filename()).string();
        } else if (!to_stdout) {
            t.request.output = output;
            t.request.shown_output = line.output;
        }
        if (!t.request.output.empty()) {
            const auto [it, fresh] = taken.emplace(t.request.output.lexically_normal(), name);
            if (!fresh) t.problem = "its output " + t.request.shown_output + " is already taken by " + it->second;
        }
        tasks.push_back(std::move(t));
    }
    return tasks;
}

// The chromaticity table, loaded once: the one the command line names (a
// problem with it is a usage error), else the one shipped with the tool.
std::shared_ptr<const std::vector<ChromaEntry>> load_chromaticities(const std::string &table_option) {
    std::string error;
    if (!table_option.empty()) {
        auto table = load_table(table_option, &error);
        if (!table) throw UsageError(error);
        return table;
    }
    const auto shipped = find_shipped_file("cie_table.txt");
    if (!shipped) throw std::runtime_error("cannot find the shipped cie_table.txt; name one with --table FILE");
    auto table = load_table(shipped->string(), &error);
    if (!table) throw std::runtime_error(error);
    return table;
}

// The stages run at once on several threads, so their times (summed over
// the threads) are given as shares of their sum, beside the wall time.
void report_timing(const std::string &name, const JobTiming &t, unsigned threads) {
    const double busy = t.read + t.operate + t.write;
    const auto share = [busy](double part) { return busy > 0 ? 100 * part / busy : 0.0; };
    char line[256];
    std::snprintf(line, sizeof line,
                  "%.3f s wall; on %u thread%s, busy %.3f s: decode %.3f s (%.0f%%), operator %.3f s (%.0f%%), "
                  "encode %.3f s (%.0f%%)",
                  t.total, threads, threads == 1 ? "" : "s", busy, t.read, share(t.read), t.operate, share(t.operate),
                  t.write, share(t.write));
    report(name, line);
}

// -j caps the threads in all: images at once times threads for each image.
// One image gets them all; a batch takes as many images at once as it can.
int run_tasks(const std::vector<Task> &tasks, const Operation &operation, JobOptions options, unsigned jobs,
              bool timing) {
    bool failed = false;
    std::vector<const Task *> runnable;
    for (const Task &t : tasks) {
        if (t.problem) {
            report(t.name, *t.problem);
            failed = true;
        } else {
            runnable.push_back(&t);
        }
    }
    const unsigned workers = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(runnable.size())));
    options.threads = std::max(1u, jobs / workers);
    Progress progress(runnable.size(), workers);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> any_failed{false};
    const auto worker = [&](std::size_t slot) {
        for (std::size_t i; (i = next++) < runnable.size();) {
            const Task &t = *runnable[i];
            const auto rows = [&](int64_t done, int64_t total) { progress.rows(slot, done, total); };
            const JobResult result = run_job(t.request, operation, options, rows);
            progress.image_done(slot);
            for (const std::string &w : result.warnings) report(t.name, "warning: " + w);
            if (result.problem) {
                report(t.name, *result.problem);
                any_failed = true;
            } else if (timing) {
                report_timing(t.name, result.timing, options.threads);
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned w = 1; w < workers; ++w) pool.emplace_back(worker, w);
    worker(0);
    for (std::thread &t : pool) t.join();
    progress.finish();
    return failed || any_failed ? kExitFailed : 0;
}

std::size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The subcommand of `parent` that `word` names; else a UsageError with the
// nearest one. `path` is the commands before it ("" or "plot").
const CLI::App *named_command(const CLI::App &parent, const std::string &word, const std::string &path) {
    std::string names, nearest;
    std::size_t best = 4;  // suggest only what is near
    for (const CLI::App *sub : parent.get_subcommands({})) {
        if (sub->get_name() == word) return sub;
        names += (names.empty() ? "" : ", ") + sub->get_name();
        const std::size_t distance = edit_distance(word, sub->get_name());
        if (distance < best) best = distance, nearest = sub->get_name();
    }
    const std::string prefix = path.empty() ? "" : path + " ";
    throw UsageError("unknown command '" + prefix + word + "'" +
                     (nearest.empty() ? "" : "; did you mean '" + prefix + nearest + "'?") + " (commands: " + names +
                     ")");
}

// The words after the program's name, as CLI11 is to read them. A first word
// that names no command is refused with the nearest command. Within a
// command, a word that looks like an option but is none is refused with how
// to name such a file; after --, every word is an input but the command's
// own options, which are moved before it, so that -- may stand anywhere.
std::vector<std::string> checked_words(const CLI::App &app, int argc, char **argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0].empty() || words[0][0] == '-') return words;
    // The command the first words name (plot takes a command of its own).
    const CLI::App *command = &app;
    std::size_t first = 0;
    std::string path;
    while (first < words.size() && !command->get_subcommands({}).empty()) {
        if (words[first].empty() || words[first][0] == '-') break;
        const CLI::App *found = named_command(*command, words[first], path);
        path += (path.empty() ? "" : " ") + words[first];
        command = found;
        ++first;
    }
    if (command == &app) return words;
    // The option a word names, and whether its value is in the word itself.
    const auto option_of = [command](const std::string &word, bool *attached) -> const CLI::Option * {
        if (word.size() < 2 || word[0] != '-') return nullptr;
        const std::size_t equals = word.find('=');
        *attached = equals != std::string::npos;
        if (const CLI::Option *o = command->get_option_no_throw(word.substr(0, equals))) return o;
        *attached = true;  // "-j4"
        return word[1] != '-' ? command->get_option_no_throw(word.substr(0, 2)) : nullptr;
    };
    std::vector<std::string> before(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(first)), after;
    bool ended = false;
    for (std::size_t i = first; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--" && !ended) {
            ended = true;
            continue;
        }
        bool attached = false;
        const CLI::Option *option = option_of(word, &attached);
        if (!option && !ended && word.size() > 1 && word[0] == '-') {
            std::string message = "unknown option '" + word + "' for ";
            message += path;
            message += "; to name a file that starts with -, put it after -- or write ./";
            message += word;
            throw UsageError(message);
        }
        if (!option) {
            (ended ? after : before).push_back(word);
            continue;
        }
        before.push_back(word);
        if (option->get_type_size() != 0 && !attached && i + 1 < words.size()) before.push_back(words[++i]);
    }
    if (ended) {
        before.push_back("--");
        before.insert(before.end(), after.begin(), after.end());
    }
    return before;
}

Operation operation_from(const CommandLine &line, OperatorKind kind) {
    Operation op;
    op.kind = kind;
    if (kind == OperatorKind::Bandpass) {
        op.centre = static_cast<int>(whole_number("--centre", line.centre, INT32_MIN, INT32_MAX,
                                                  "of nanometres (the spectral locus spans 380..698)"));
        op.bandwidth = static_cast<int>(whole_number("--bandwidth", line.bandwidth, 2, 100000));
        op.order = static_cast<int>(whole_number("--order", line.order, INT32_MIN, INT32_MAX));
        op.linear = !line.no_linear;
    } else {
        op.strength = static_cast<int>(whole_number("--strength", line.strength, -100, 100));
    }
    return op;
}

int run(int argc, char **argv) {
    CLI::App app{
        "qova: colour operators on image files.\n"
        "Each subcommand reads IN... and writes the result to OUT.",
        "qova"};
    app.formatter(std::make_shared<Help>());
    app.require_subcommand(1);
    app.set_version_flag("--version", std::to_string(QOVA_VERSION_MAJOR) + "." + std::to_string(QOVA_VERSION_MINOR) +
                                          "." + std::to_string(QOVA_VERSION_PATCH));
    CommandLine line;

    const auto add_operators = [&line](CLI::App *parent, bool plot) {
        const auto finish = [&line, plot](CLI::App *cmd) {
            if (plot) {
                add_plot_options(cmd, line);
            } else {
                add_file_options(cmd, line);
                cmd->add_option("--plot", line.plot,
                                "also draw what the operation does to the images' colours "
                                "(.svg, .pdf or .png; see qova plot)")
                    ->type_name("FILE");
            }
        };
        std::array<CLI::App *, 3> commands{};
        commands[0] = parent->add_subcommand("saturation", "Raise or lower saturation by a percentage of itself");
        commands[1] = parent->add_subcommand("hue", "Pull hues toward poles (or push them away)");
        commands[2] =
            parent->add_subcommand("bandpass", "Dim colours by how far their dominant wavelength lies from a centre");
        for (std::size_t k = 0; k < commands.size(); ++k) {
            add_operator_options(commands[k], line, static_cast<OperatorKind>(k));
            finish(commands[k]);
        }
        return commands;
    };
    const auto operators = add_operators(&app, false);
    CLI::App *plot = app.add_subcommand("plot", "Draw what an operation does to every colour, and to an image's");
    plot->require_subcommand(1);
    const auto plots = add_operators(plot, true);

    CLI::App *demo = app.add_subcommand("demo", "Run every operator on the bundled sample and make a contact sheet");
    demo->add_option("dir", line.demo_dir, "folder for the results (default qova-demo)")->type_name("[DIR]");

    try {
        std::vector<std::string> words = checked_words(app, argc, argv);
        std::reverse(words.begin(), words.end());  // CLI11 takes them last first
        app.parse(words);
    } catch (const CLI::Success &e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        CLI::App *sub = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
        throw UsageError(std::string(e.what()) + " (see qova " + (sub ? sub->get_name() + " " : "") + "--help)");
    }

    capture_operator_errors();
    OutputFile::install_signal_cleanup();
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as a failed write

    if (demo->parsed()) {
        if (line.demo_dir.empty()) throw UsageError("demo needs a folder name, not ''");
        const fs::path dir = fs::absolute(line.demo_dir);
        const auto sample = find_shipped_file("sample.jpg");
        if (!sample) {
            std::cerr << "qova: cannot find the bundled sample.jpg\n";
            return kExitFailed;
        }
        return run_demo(dir, *sample, load_chromaticities(""), JobOptions{});
    }

    // The command that runs: an operator's, or a plot's.
    const bool plotting = plot->parsed();
    const auto &commands = plotting ? plots : operators;
    const CLI::App &sub = plotting ? *plot->get_subcommands().front() : *app.get_subcommands().front();
    const auto which = std::find_if(commands.begin(), commands.end(), [](const CLI::App *c) { return c->parsed(); });
    const auto kind = static_cast<OperatorKind>(which - commands.begin());
    const JobOptions options = job_options(line, sub);
    Operation op = operation_from(line, kind);
    if (kind == OperatorKind::Hue && given(sub, "--poles")) op.poles = parse_poles(line.poles);
    if (kind == OperatorKind::Bandpass && given(sub, "--table") && line.table.empty())
        throw UsageError("--table needs a file name, not ''");
    const unsigned jobs = given(sub, "--jobs") ? static_cast<unsigned>(whole_number("--jobs", line.jobs, 1, 1024))
                                               : std::max(1u, std::thread::hardware_concurrency());
    PlotRequest drawing{
        line.inputs,   plotting ? line.output : line.plot, qova::plot::PlotFormat::Png, line.assume_srgb, jobs,
        options.limits};
    if (plotting) {
        drawing.format = check_plot_output(drawing.output, "-o");
        if (kind == OperatorKind::Bandpass) op.table = load_chromaticities(line.table);
        return run_plot(op, drawing);
    }
    std::optional<codecs::FileFormat> format;
    if (given(sub, "--format") && !(format = format_named(line.format)))
        throw UsageError("--format needs one of " + codecs::format_names() + ", not '" + line.format + "'");
    if (given(sub, "--plot")) {
        drawing.format = check_plot_output(line.plot, "--plot");
        if (std::find(line.inputs.begin(), line.inputs.end(), kStandardStream) != line.inputs.end())
            throw UsageError("--plot reads the inputs again, so it cannot take standard input (-)");
    }

    const std::vector<Task> tasks = plan_tasks(line, format);
    if (kind == OperatorKind::Bandpass) {
        op.table = load_chromaticities(line.table);
        warn_about_centre(op);
    }
    const int status = run_tasks(tasks, op, options, jobs, line.timing);
    if (!given(sub, "--plot")) return status;
    return std::max(status, run_plot(op, drawing));
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        std::cerr << "qova: " << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception &e) {
        std::cerr << "qova: " << e.what() << "\n";
        return kExitFailed;
    }
}
