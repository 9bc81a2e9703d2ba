// The tool's command line: batches that go on past odd entries, pipes, and
// every argument problem as one line and exit status 2.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>
#include <csignal>

namespace fs = std::filesystem;

namespace {

int lines(const std::string &text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a bash command line, returning its exit status and standard error.
ToolRun shell(const std::string &command, const TempDir &dir) {
    const fs::path err = dir.path() / "shell-err.txt";
    std::string script = "'";
    for (const char c : "{ " + command + "; } 2> '" + err.string() + "'")
        script += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const int status = std::system(("bash -c " + script + "'").c_str());
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(err)};
    fs::remove(err);
    return run;
}

const std::string kTool = std::string("'") + QOVA_TOOL + "'";

TEST(CommandLine, BatchGoesOnPastOddEntries) {
    TempDir dir;
    const fs::path in = dir.path() / "in", other = dir.path() / "other", out = dir.path() / "out";
    fs::create_directories(in / "sub");
    fs::create_directories(other);
    fs::create_directories(out);
    const std::string png = bytes::noise_png(9, 7);
    std::vector<uint8_t> rgb(9 * 7 * 3, 120);
    dir.write("in/a.png", png);
    dir.write("in/b.PNG", bytes::noise_png(5, 5, 2));
    dir.write("in/notes.txt", "shopping list\n");
    dir.write("in/photo.jfif", bytes::stb_jpeg(9, 7, rgb, 90));
    dir.write("in/scan.dat", png);
    dir.write("other/a.png", bytes::noise_png(4, 4, 3));
    const std::string inputs = quoted(in / "a.png") + " " + quoted(in / "notes.txt") + " " + quoted(in / "sub") + " " +
                               quoted(in / "photo.jfif") + " " + quoted(in / "scan.dat") + " " +
                               quoted(other / "a.png") + " " + quoted(in / "b.PNG");

    ToolRun run = run_qova("saturation --strength 20 -j 2 " + inputs + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 1);
    const std::string expected[] = {
        (in / "notes.txt").string() + ": not an image the tool reads",
        (in / "sub").string() + ": is a folder, not an image",
        (in / "scan.dat").string() + ": cannot write " + (out / "scan.dat").string() + ": unknown output format",
        (other / "a.png").string() + ": its output " + (out / "a.png").string() + " is already taken by " +
            (in / "a.png").string(),
    };
    for (const std::string &line : expected) EXPECT_NE(run.err.find("qova: " + line), std::string::npos) << run.err;
    EXPECT_EQ(lines(run.err), 4) << run.err;
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"a.png", "b.PNG", "photo.jfif"}));
    EXPECT_EQ(read_text(out / "photo.jfif").substr(0, 2), "\xFF\xD8") << "a JPEG under its own name";
    EXPECT_EQ(bytes::decode(read_text(out / "a.png")).width, 9) << "the first input kept the name";

    // With a format every readable input gets a name.
    fs::remove_all(out);
    fs::create_directory(out);
    run = run_qova("saturation --strength 20 --format png " + inputs + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"a.png", "b.png", "photo.png", "scan.png"}));
}

TEST(CommandLine, OutputFolderProblemsStopEverything) {
    TempDir dir;
    const fs::path a = dir.write("a.png", bytes::noise_png(4, 4)), b = dir.write("b.png", bytes::noise_png(4, 4, 2));
    dir.write("plain", "x");
    const struct {
        std::string args, message;
    } cases[] = {
        {quoted(a) + " " + quoted(b) + " -o " + quoted(dir.path() / "missing"),
         "missing: output folder does not exist"},
        {quoted(a) + " -o " + quoted(dir.path() / "missing") + "/", "missing/: output folder does not exist"},
        {quoted(a) + " " + quoted(b) + " -o " + quoted(dir.path() / "plain"),
         "plain: is not a folder (several inputs need an output folder)"},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_qova("hue --strength 10 " + c.args, dir.path());
        EXPECT_EQ(run.exit_code, 2) << c.args;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(lines(run.err), 1) << run.err;
    }
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.png", "b.png", "plain"}));

    // One input and an existing folder: the output goes inside under the input's name.
    fs::create_directory(dir.path() / "into");
    const ToolRun run = run_qova("hue --strength 10 " + quoted(a) + " -o " + quoted(dir.path() / "into"), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(names_in(dir.path() / "into"), std::vector<std::string>{"a.png"});
}

TEST(CommandLine, PipesInAndOut) {
    TempDir dir;
    const std::string png = bytes::noise_png(300, 300);  // more than a pipe holds
    const fs::path in = dir.write("in.png", png), out = dir.path() / "out.bin";
    const std::vector<uint16_t> expected = bytes::decode(png).samples;
    const struct {
        std::string command;
        bool jpeg;
    } cases[] = {
        {"cat " + quoted(in) + " | " + kTool + " saturation --strength 0 - -o - > " + quoted(out), false},
        {kTool + " saturation --strength 0 - -o - < " + quoted(in) + " > " + quoted(out), false},
        {"cat " + quoted(in) + " | " + kTool + " saturation --strength 0 --format jpg - -o - > " + quoted(out), true},
        {kTool + " saturation --strength 0 " + quoted(in) + " -o - > " + quoted(out), false},
        {kTool + " saturation --strength 0 <(cat " + quoted(in) + ") -o " + quoted(out) + " --format png", false},
    };
    for (const auto &c : cases) {
        const ToolRun run = shell(c.command, dir);
        EXPECT_EQ(run.exit_code, 0) << c.command << "\n" << run.err;
        EXPECT_EQ(run.err, "") << c.command;
        const std::string written = read_text(out);
        if (c.jpeg) {
            EXPECT_EQ(written.substr(0, 2), "\xFF\xD8") << c.command;
        } else {
            EXPECT_EQ(bytes::decode(written).samples, expected) << c.command;
        }
    }
    // A JPEG on standard input is told by its content.
    std::vector<uint8_t> rgb(16 * 16 * 3, 90);
    dir.write("in.jpg", bytes::stb_jpeg(16, 16, rgb, 90));
    ToolRun run =
        shell(kTool + " hue --strength 10 - -o - < " + quoted(dir.path() / "in.jpg") + " > " + quoted(out), dir);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_text(out).substr(0, 2), "\xFF\xD8") << "the input's format";

    // A reader that goes away: one line, exit status 1.
    run = shell(
        kTool + " saturation --strength 10 " + quoted(in) + " -o - | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}",
        dir);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "qova: " + in.string() + ": standard output: cannot write: Broken pipe\n");
}

TEST(CommandLine, EveryArgumentProblemIsOneLineAndStatusTwo) {
    TempDir dir;
    const std::string in = quoted(dir.write("in.png", bytes::noise_png(6, 6))), out = quoted(dir.path() / "out.png");
    const std::string jpg = quoted(dir.path() / "out.jpg");
    const struct {
        std::string args;
        int exit_code;
        std::string message;
    } cases[] = {
        {"saturation --strength 30.5 " + in + " -o " + out, 2, "--strength needs a whole number, not '30.5'"},
        {"saturation --strength 101 " + in + " -o " + out, 2, "--strength must be between -100 and 100, not 101"},
        {"saturation --strength '' " + in + " -o " + out, 2,
         "--strength needs a whole number between -100 and 100, not ''"},
        {"saturation --strength -100 " + in + " -o " + out, 0, ""},
        {"saturation --strength 5 " + in + " -o ''", 2, "-o needs an output file, folder or - (standard output)"},
        {"saturation --strength 5 '' -o " + out, 2, "an input name is empty"},
        {"saturation --strength 5 - - -o " + out, 2, "standard input (-) can only be the one input"},
        {"saturation --strength 5 " + in + " " + in + " -o -", 2, "-o - writes one image: give one input"},
        {"saturation " + in + " -o " + out, 2, "--strength is required"},
        {"saturation --strength 5 --frobnicate " + in + " -o " + out, 2, "frobnicate"},
        {"hue --strength 5 --poles '' " + in + " -o " + out, 2, "--poles needs at least one pole"},
        {"hue --strength 5 --poles 0,360 " + in + " -o " + out, 0, ""},
        {"hue --strength 5 --poles 360.1 " + in + " -o " + out, 2, "'360.1' is not between 0 and 360 degrees"},
        {"hue --strength 5 --poles 10,,20 " + in + " -o " + out, 2, "'' is not a number of degrees"},
        {"saturation --strength 5 --quality 0 " + in + " -o " + jpg, 2, "--quality must be between 1 and 100, not 0"},
        {"saturation --strength 5 --quality 100 " + in + " -o " + jpg, 0, ""},
        {"saturation --strength 5 -j 0 " + in + " -o " + out, 2, "--jobs must be between 1 and 1024, not 0"},
        {"saturation --strength 5 --format gif " + in + " -o " + out, 2, "--format needs one of png, jpg, jpeg"},
        {"saturation --strength 5 --format png " + in + " -o " + jpg, 2, "--format png does not match the output name"},
        {"saturation --strength 5 --background nope " + in + " -o " + jpg, 2, "--background needs a colour"},
        {"saturation --strength 5 --background '#fff' " + in + " -o " + jpg, 0, ""},
        {"saturation --strength 5 --subsampling 411 " + in + " -o " + jpg, 2, "--subsampling needs 444, 422 or 420"},
        {"saturation --strength 5 --max-pixels 0 " + in + " -o " + out, 2, "--max-pixels must be between 1 and"},
        {"bandpass --centre 99999999999 --bandwidth 40 " + in + " -o " + out, 2, "--centre must be between"},
        {"bandpass --centre 500 --bandwidth 1 " + in + " -o " + out, 2,
         "--bandwidth must be between 2 and 100000, not 1"},
        {"bandpass --centre 500 --bandwidth 40 --order 2.5 " + in + " -o " + out, 2, "--order needs a whole number"},
        {"bandpass --centre 500 --bandwidth 40 --table '' " + in + " -o " + out, 2, "--table needs a file name"},
        {"bandpass --centre 300 --bandwidth 40 " + in + " -o " + out, 0,
         "warning: --centre 300 nm lies outside the spectral locus (380..698 nm): every pixel will be dimmed"},
        {"saturatoin --strength 5 " + in + " -o " + out, 2,
         "unknown command 'saturatoin'; did you mean 'saturation'? (commands: saturation, hue, bandpass, plot, demo)"},
        {"frobnicate " + in, 2, "unknown command 'frobnicate' (commands: saturation, hue, bandpass, plot, demo)"},
        {"hue --strength 5 --poles -30 " + in + " -o " + out, 2, "--poles: '-30' is not between 0 and 360 degrees"},
        {"hue --strength 5 --poles 1000 " + in + " -o " + out, 2, "--poles: '1000' is not between 0 and 360 degrees"},
        {"hue --strength 5 --poles 10.25 " + in + " -o " + out, 2,
         "'10.25' is not a number of degrees with at most one"},
        {"bandpass --centre nan --bandwidth 40 " + in + " -o " + out, 2,
         "--centre needs a whole number of nanometres (the spectral locus spans 380..698), not 'nan'"},
        {"saturation --strength 5 --max-memory 12 " + in + " -o " + out, 2,
         "--max-memory needs a size in bytes, or with K, M or G (such as 512M), from 1M to 1P, not 12"},
        {"saturation --strength 5 --max-memory lots " + in + " -o " + out, 2, "--max-memory needs a size"},
        {"saturation --strength 5 --max-memory 64MiB " + in + " -o " + out, 0, ""},
        {"saturation --strength 5 " + in + " -o " + quoted(dir.path() / "out.gif"), 2,
         "out.gif: unknown output format (name it .png, .jpg, .tif, .webp, .heic, .avif, or give --format)"},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_qova(c.args, dir.path());
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_EQ(lines(run.err), c.message.empty() ? 0 : 1) << c.args << "\n" << run.err;
        if (c.exit_code != 0) {
            EXPECT_FALSE(fs::exists(dir.path() / "out.png") || fs::exists(dir.path() / "out.jpg")) << c.args;
        }
        fs::remove(dir.path() / "out.png");
        fs::remove(dir.path() / "out.jpg");
    }
}

TEST(CommandLine, TableOfExactly339RecordsIsEnough) {
    TempDir dir;
    const fs::path in = dir.write("in.png", bytes::noise_png(6, 6)), out = dir.path() / "out.png";
    std::string table = read_text(fs::path(QOVA_DATA_DIR) / "cie_table.txt");
    std::vector<std::size_t> ends;  // where each line ends
    for (std::size_t at = table.find('\n'); at != std::string::npos; at = table.find('\n', at + 1))
        ends.push_back(at + 1);
    ASSERT_GE(ends.size(), 340u);
    dir.write("t339.txt", table.substr(0, ends[338]));
    dir.write("t338.txt", table.substr(0, ends[337]));
    // The table is read where it lies: a run killed while writing leaves no
    // copy of it in the temporary folder.
    fs::create_directory(dir.path() / "tmp");
    const fs::path big = dir.write("big.png", bytes::noise_png(300, 300));
    ToolRun run = shell("ulimit -f 16; TMPDIR=" + quoted(dir.path() / "tmp") + " " + kTool +
                            " bandpass --centre 500 --bandwidth 40 --table " + quoted(dir.path() / "t339.txt") + " " +
                            quoted(big) + " -o " + quoted(out),
                        dir);
    EXPECT_EQ(run.exit_code, 128 + SIGXFSZ) << run.err;
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));
    EXPECT_FALSE(fs::exists(out));
    run = run_qova("bandpass --centre 500 --bandwidth 40 --table " + quoted(dir.path() / "t339.txt") + " " +
                       quoted(in) + " -o " + quoted(out),
                   dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    run = run_qova("bandpass --centre 500 --bandwidth 40 --table " + quoted(dir.path() / "t338.txt") + " " +
                       quoted(in) + " -o " + quoted(out),
                   dir.path());
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("t338.txt: not a usable table (338 records read, 339 needed)"), std::string::npos)
        << run.err;
}

TEST(CommandLine, OutputKeepsItsModeAndAnyLegalNameWorks) {
    TempDir dir;
    const fs::path in = dir.write("in.png", bytes::noise_png(6, 6));
    const fs::path kept = dir.path() / "kept.png", fresh = dir.path() / "fresh.png";
    dir.write("kept.png", "old contents");
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    const auto mode = [](const fs::path &p) {
        struct stat st {};
        stat(p.c_str(), &st);
        return st.st_mode & 07777;
    };
    for (const fs::path &out : {kept, fresh}) {
        const ToolRun run =
            shell("umask 077; " + kTool + " hue --strength 20 " + quoted(in) + " -o " + quoted(out), dir);
        EXPECT_EQ(run.exit_code, 0) << run.err;
    }
    EXPECT_EQ(mode(kept), 0640u) << "a replaced file keeps its permission bits";
    EXPECT_EQ(mode(fresh), 0600u) << "a new file follows the umask";

    const std::string longest(251, 'n');  // 255 bytes with ".png", the longest name most file systems allow
    const ToolRun run =
        run_qova("hue --strength 20 " + quoted(in) + " -o " + quoted(dir.path() / (longest + ".png")), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir.path() / (longest + ".png")));
}

// Names as the user typed them, files that start with a dash, help that
// names each value.
TEST(CommandLine, MessagesSayWhatToDo) {
    TempDir dir;
    dir.write("-dash.png", bytes::noise_png(6, 6));
    dir.write("a.png", bytes::noise_png(6, 6));
    fs::create_directories(dir.path() / "sub" / "out");
    const std::string in_dir = "cd " + quoted(dir.path()) + " && ";
    const struct {
        std::string args;
        int exit_code;
        std::string err;
    } cases[] = {
        {"saturation --strength 5 -dash.png -o x.png", 2,
         "qova: unknown option '-dash.png' for saturation; to name a file that starts with -, put it after -- or write "
         "./-dash.png\n"},
        {"saturation --strength 5 -o x.png -- -dash.png", 0, ""},
        {"saturation --strength 5 -- -dash.png -o y.png", 0, ""},
        {"saturation -- -dash.png --strength=5 -j1 -o z.png", 0, ""},
        {"saturation --strength 5 ./-dash.png -o w.png", 0, ""},
        {"saturation --strength 5 missing.png -o v.png", 1,
         "qova: missing.png: cannot open: No such file or directory\n"},
        {"saturation --strength 5 a.png sub/a.png -o sub/out", 1,
         "qova: sub/a.png: its output sub/out/a.png is already taken by a.png\n"},
        {"saturation --strength 5 a.png -o sub/none/a.png", 2,
         "qova: sub/none/a.png: its folder sub/none does not exist\n"},
    };
    fs::copy_file(dir.path() / "a.png", dir.path() / "sub" / "a.png");
    for (const auto &c : cases) {
        const ToolRun run = shell(in_dir + kTool + " " + c.args, dir);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.err;
        EXPECT_EQ(run.err, c.err) << c.args;
    }
    for (const char *name : {"x.png", "y.png", "z.png", "w.png"}) EXPECT_TRUE(fs::exists(dir.path() / name)) << name;

    // Help: value names, no type words, and what "with clamping" means.
    const fs::path help = dir.path() / "help.txt";
    shell(kTool + " hue --help > " + quoted(help), dir);
    const std::string text = read_text(help);
    for (const char *shown :
         {"Usage: qova hue [OPTIONS] IN...", "--strength PERCENT", "--poles DEG,...", "-o,--output OUT",
          "--max-memory SIZE", "with clamping: a hue pushed past 0 or 360 stops there", "50 for HEIC and AVIF"})
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    for (const char *hidden : {"TEXT", "REQUIRED", "inputs"}) EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;
}

// --timing: the wall time, and the stages' times summed over the threads,
// which add up to the busy time they are shares of.
TEST(CommandLine, TimingAddsUp) {
    TempDir dir;
    const fs::path in = dir.write("in.png", bytes::noise_png(64, 64)), out = dir.path() / "out.png";
    const ToolRun run =
        run_qova("saturation --strength 5 -j 2 --timing " + quoted(in) + " -o " + quoted(out), dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    double wall = 0, busy = 0, decode = 0, op = 0, encode = 0;
    unsigned threads = 0;
    const std::size_t at = run.err.find(": ", run.err.find("in.png"));
    ASSERT_NE(at, std::string::npos) << run.err;
    ASSERT_EQ(
        std::sscanf(run.err.c_str() + at + 2,
                    "%lf s wall; on %u threads, busy %lf s: decode %lf s (%*d%%), operator %lf s (%*d%%), encode %lf s",
                    &wall, &threads, &busy, &decode, &op, &encode),
        6)
        << run.err;
    EXPECT_EQ(threads, 2u);
    EXPECT_NEAR(decode + op + encode, busy, 0.0015);
}

}  // namespace
