// The command-line host: arguments, exit status, and what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "quenvale_version.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

struct HostRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A shell command line, its standard output and error captured.
HostRun RunShell(const std::string& line) {
    std::string out = TempPath("host.out");
    std::string err = TempPath("host.err");
    std::string command = "{ " + line + "; } >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    return HostRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

const std::string kHost = QUENVALE_HOST_COMMAND;

// The host with these arguments, after a shell prefix such as "cd DIR && ".
HostRun RunHost(const std::string& arguments, const std::string& before = "") {
    return RunShell(before + kHost + " " + arguments);
}

TEST(Host, QuietOnSuccessAndTheLibraryTextWhenAsked) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    Image image = MakeImage(3, 1, Rgb{1, 2, 3});
    image.At(2, 0) = Rgb{200, 2, 3};
    WriteFile(input, EncodeBitmap(image));
    std::vector<uint8_t> expected = EncodeBitmap(ReferenceFlatten(image));
    HostRun run = RunHost("'" + input + "' '" + output + "'");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFile(output), expected);
    std::string counted = CounterLine(21) + CounterLine(42) + CounterLine(21) + CounterLine(0);
    for (const char* verbose : {"-v", "--verbose"}) {
        HostRun shown = RunHost(std::string(verbose) + " '" + input + "' '" + output + "'");
        EXPECT_EQ(shown.out, counted);
        EXPECT_EQ(shown.err, "");
    }
    // -o names the output; short options bundle, their value attached or next.
    for (const std::string& arguments : {"'" + input + "' -o '" + output + "2'", "-vo '" + output + "2' '" + input + "'",
                                         "-qo'" + output + "2' -- '" + input + "'", "--output='" + output + "2' '" + input + "'"}) {
        SCOPED_TRACE(arguments);
        std::remove((output + "2").c_str());
        HostRun named = RunHost(arguments);
        EXPECT_EQ(named.status, 0) << named.err;
        EXPECT_EQ(ReadFile(output + "2"), expected);
    }
    EXPECT_EQ(RunHost("--filter flatten '" + input + "' '" + output + "'").status, 0);
    EXPECT_EQ(RunHost("--filter=flatten -- '" + input + "' '" + output + "'").status, 0);
    // On a terminal, a message left open is ended before the counter line.
    if (std::system("command -v script >/dev/null 2>&1") == 0) {
        HostRun terminal = RunShell("script -qc \"" + kHost + " -v '" + input + "' '" + TempPath("nowhere") +
                                    "/out.bmp'\" /dev/null | tr -d '\\r'");
        EXPECT_NE(terminal.out.find("for writing\nCurrent amount"), std::string::npos) << terminal.out;
    }
}

TEST(Host, FailuresGoToStandardErrorWithTheFileAndTheReason) {
    std::string folder = TempPath("work");
    ASSERT_TRUE(MakeDirectory(folder));
    WriteFile(folder + "/in.bmp", EncodeBitmap(MakeImage(2, 1, Rgb{5, 5, 5})));
    WriteFile(folder + "/bad.bmp", {'B', 'M', 0, 0});
    std::string cd = "cd '" + folder + "' && ";
    // Short relative names reach the files: the host lengthens them with ./ steps.
    HostRun shortNames = RunHost("a.bmp b.bmp", cd + "cp in.bmp a.bmp && ");
    EXPECT_EQ(shortNames.status, 0) << shortNames.err;
    EXPECT_EQ(ReadFile(folder + "/b.bmp"), ReadFile(folder + "/in.bmp"));

    HostRun missing = RunHost("-v missing.bmp out.bmp", cd);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "Oof, the file failed to open, please try again\n");
    EXPECT_EQ(missing.err, "quenvale: missing.bmp: No such file or directory\n");

    HostRun invalid = RunHost("-v bad.bmp out.bmp", cd);
    EXPECT_EQ(invalid.status, 1);
    EXPECT_EQ(invalid.out, "Could not read ././bad.bmp: file of 4 bytes is shorter than a bitmap header\n");
    EXPECT_EQ(invalid.err, "quenvale: bad.bmp: file of 4 bytes is shorter than a bitmap header\n");

    HostRun folderIn = RunHost(". out.bmp", cd);
    EXPECT_EQ(folderIn.err, "quenvale: .: not a regular file\n");
    HostRun noFolder = RunHost("in.bmp nowhere/out.bmp", cd);
    EXPECT_EQ(noFolder.err, "quenvale: nowhere/out.bmp: No such file or directory\n");
    HostRun intoFolder = RunHost("in.bmp .", cd);
    EXPECT_EQ(intoFolder.err, "quenvale: .: Is a directory\n");
    HostRun full = RunHost("-v in.bmp /dev/full", cd);
    EXPECT_EQ(full.err, "quenvale: /dev/full: No space left on device\n");
    EXPECT_NE(full.out.find("Could not write /dev/full"), std::string::npos);  // only inputs are lengthened

    // Quiet: nothing on standard output, failures still named.
    HostRun quiet = RunHost("-q bad.bmp out.bmp", cd);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, invalid.err);
    EXPECT_EQ(RunHost("--quiet in.bmp out.bmp", cd).out, "");

    // A relative path is handed as given: a working folder and a path that
    // together pass the system's path limit still work, as with cp.
    std::string deep = "d=$(printf 'd%.0s' $(seq 200)) && for i in $(seq 12); do mkdir $d && cd $d; done && "
                       "p=$(printf \"$d/%.0s\" $(seq 12)) && mkdir -p \"$p\" && cp '" + folder +
                       "/in.bmp' \"${p}in.bmp\" && [ $((${#PWD} + ${#p})) -gt 4096 ] && ";
    HostRun long_ = RunHost("\"${p}in.bmp\" \"${p}out.bmp\" && cmp \"${p}in.bmp\" \"${p}out.bmp\"", cd + deep);
    EXPECT_EQ(long_.status, 0) << long_.err;
}

TEST(Host, PipesCarryTheImageAndNothingElse) {
    std::mt19937 random(8);
    Image image = RandomImage(random, 9, 7, 4);
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(image));
    std::vector<uint8_t> expected = EncodeBitmap(ReferenceFlatten(image));
    // In, out, and both: the image alone on standard output, the
    // library's text (when asked for) on standard error; no spool file is
    // left behind.
    std::string spool = TempPath("spool");
    ASSERT_TRUE(MakeDirectory(spool));
    std::string inSpool = "TMPDIR='" + spool + "' ";
    HostRun in = RunHost("-v - '" + TempPath("from-pipe.bmp") + "' <'" + input + "'", inSpool);
    EXPECT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(ReadFile(TempPath("from-pipe.bmp")), expected);
    EXPECT_EQ(in.out, CounterLine(225) + CounterLine(450) + CounterLine(225) + CounterLine(0));
    for (const std::string& arguments : {"-v '" + input + "' -", "-v - - <'" + input + "'"}) {
        HostRun out = RunHost(arguments, inSpool);
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_EQ(std::vector<uint8_t>(out.out.begin(), out.out.end()), expected);
        EXPECT_EQ(out.err, CounterLine(225) + CounterLine(450) + CounterLine(225) + CounterLine(0));
    }
    EXPECT_EQ(RunHost("'" + input + "' -").err, "");
    HostRun refused = RunHost("- - </dev/null", inSpool);
    // Ended by a signal while standard input is still coming.
    RunHost("- -", "(cat '" + input + "'; sleep 1) | " + inSpool + "timeout -s TERM 0.3 ");
    EXPECT_EQ(std::system(("[ -z \"$(ls -A '" + spool + "')\" ]").c_str()), 0);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err.substr(refused.err.find("quenvale: -:")),
              "quenvale: -: file of 0 bytes is shorter than a bitmap header\n");
    // Through ImageMagick's pipes, the same pixels as through files.
    if (std::system("command -v convert >/dev/null 2>&1") == 0) {
        std::string png = TempPath("in.png");
        std::string viaPipes = TempPath("pipes.rgb");
        std::string viaFiles = TempPath("files.rgb");
        ASSERT_EQ(std::system(("convert '" + input + "' '" + png + "'").c_str()), 0);
        HostRun piped = RunHost("- - | convert - rgb:'" + viaPipes + "'",
                                "convert '" + png + "' bmp:- | ");
        EXPECT_EQ(piped.status, 0) << piped.err;
        ASSERT_EQ(std::system(("convert '" + png + "' '" + TempPath("file.bmp") + "'").c_str()), 0);
        HostRun files = RunHost("-q '" + TempPath("file.bmp") + "' '" + TempPath("file-flat.bmp") + "'");
        ASSERT_EQ(std::system(("convert '" + TempPath("file-flat.bmp") + "' rgb:'" + viaFiles + "'").c_str()), 0);
        EXPECT_EQ(ReadFile(viaPipes), ReadFile(viaFiles));
        EXPECT_FALSE(ReadFile(viaPipes).empty());
    }
    // A file named - is ./-.
    std::string folder = TempPath("dash");
    ASSERT_TRUE(MakeDirectory(folder));
    EXPECT_EQ(RunHost("'" + input + "' ./-", "cd '" + folder + "' && ").status, 0);
    EXPECT_EQ(ReadFile(folder + "/-"), expected);
}

TEST(Host, BatchesGoOnPastAFailureAndReportIt) {
    std::string folder = TempPath("batch");
    std::string results = TempPath("results");
    ASSERT_TRUE(MakeDirectory(folder));
    ASSERT_TRUE(MakeDirectory(results));
    std::mt19937 random(12);
    Image first = RandomImage(random, 5, 4, 3);
    Image second = RandomImage(random, 3, 6, 3);
    WriteFile(folder + "/one.bmp", EncodeBitmap(first));
    WriteFile(folder + "/two.bmp", EncodeBitmap(second));
    WriteFile(folder + "/bad.bmp", {'B', 'M'});
    std::string cd = "cd '" + folder + "' && ";
    HostRun batch = RunHost("-q --output-dir '" + results + "' one.bmp bad.bmp two.bmp", cd);
    EXPECT_EQ(batch.status, 1);
    EXPECT_EQ(batch.err, "quenvale: bad.bmp: file of 2 bytes is shorter than a bitmap header\n"
                         "quenvale: 1 of 3 files failed\n");
    EXPECT_EQ(ReadFile(results + "/one.bmp"), EncodeBitmap(ReferenceFlatten(first)));
    EXPECT_EQ(ReadFile(results + "/two.bmp"), EncodeBitmap(ReferenceFlatten(second)));
    EXPECT_FALSE(FileExists(results + "/bad.bmp"));

    // On threads, the same outputs and the same lines in the batch's order,
    // whichever file finishes first.
    std::string names;
    for (int i = 0; i < 24; ++i) {
        std::string name = "many" + std::to_string(i) + ".bmp";
        if (i % 5 == 3) {
            WriteFile(folder + "/" + name, {'B', 'M', uint8_t(i)});
        } else {
            WriteFile(folder + "/" + name, EncodeBitmap(RandomImage(random, 1 + 37 * (i % 4), 9 + i, 256)));
        }
        names += " " + name;
    }
    ASSERT_TRUE(MakeDirectory(results + "/serial") && MakeDirectory(results + "/threads"));
    HostRun serial = RunHost("--jobs 1 --output-dir '" + results + "/serial'" + names, cd);
    HostRun threads = RunHost("-j 4 --output-dir '" + results + "/threads'" + names, cd);
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(threads.status, 1);
    EXPECT_EQ(threads.err, serial.err);
    EXPECT_NE(serial.err.find("quenvale: 5 of 24 files failed\n"), std::string::npos) << serial.err;
    for (int i = 0; i < 24; ++i) {
        std::string name = "/many" + std::to_string(i) + ".bmp";
        EXPECT_EQ(FileExists(results + "/threads" + name), i % 5 != 3) << name;
        if (i % 5 != 3) {
            EXPECT_EQ(ReadFile(results + "/threads" + name), ReadFile(results + "/serial" + name)) << name;
        }
    }
    EXPECT_EQ(RunHost("--jobs 0 one.bmp -o x.bmp", cd).status, 2);

    HostRun inPlace = RunHost("--in-place --filter gray one.bmp two.bmp", cd);
    EXPECT_EQ(inPlace.status, 0) << inPlace.err;
    EXPECT_EQ(inPlace.err, "");  // no progress when standard error is no terminal
    EXPECT_NE(ReadFile(folder + "/one.bmp"), EncodeBitmap(first));
}

TEST(Host, BatchesThatWouldLoseAFileAreRefusedBeforeAnyWork) {
    std::string folder = TempPath("refused");
    ASSERT_TRUE(MakeDirectory(folder));
    std::string cd = "cd '" + folder + "' && ";
    for (const char* sub : {"/a", "/b", "/flat"}) {
        ASSERT_TRUE(MakeDirectory(folder + sub));
    }
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(4, 4, Rgb{1, 2, 3}));
    WriteFile(folder + "/one.bmp", bytes);
    const std::pair<const char*, const char*> refusals[] = {
        {"--output-dir flat a/x.bmp b/x.bmp", "quenvale: a/x.bmp and b/x.bmp would both write flat/x.bmp\n"},
        {"--in-place a/x.bmp ./a/x.bmp", "quenvale: a/x.bmp and ./a/x.bmp would both write ./a/x.bmp\n"},
        {"--output-dir a b/x.bmp a/x.bmp",
         "quenvale: a/x.bmp: its result would replace it in --output-dir a, its own folder; --in-place does that\n"},
        {"--output-dir . one.bmp",
         "quenvale: one.bmp: its result would replace it in --output-dir ., its own folder; --in-place does that\n"},
        {"--output-dir nowhere a/x.bmp", "quenvale: nowhere: no such folder for --output-dir; make it first (mkdir -p)\n"},
        {"--output-dir one.bmp a/x.bmp", "quenvale: one.bmp: not a folder, as --output-dir needs\n"},
        // An output that is an input under another name: a link, then a hard link.
        {"--output-dir flat a/x.bmp b/link.bmp",
         "quenvale: flat/x.bmp is the input b/link.bmp under another name (a link); the result of a/x.bmp would "
         "replace it\n"},
        {"--output-dir flat b/x.bmp a/hard.bmp",
         "quenvale: flat/x.bmp is the input a/hard.bmp under another name (a link); the result of b/x.bmp would "
         "replace it\n"},
    };
    for (const auto& [arguments, message] : refusals) {
        SCOPED_TRACE(arguments);
        WriteFile(folder + "/a/x.bmp", bytes);
        WriteFile(folder + "/b/x.bmp", bytes);
        bool linked = std::strstr(arguments, "link") != nullptr || std::strstr(arguments, "hard") != nullptr;
        if (linked) {
            ASSERT_EQ(RunShell(cd + "ln -sf ../flat/x.bmp b/link.bmp && ln -f flat/x.bmp a/hard.bmp 2>/dev/null || "
                               "{ cp one.bmp flat/x.bmp && ln -f flat/x.bmp a/hard.bmp; }").status, 0);
            WriteFile(folder + "/flat/x.bmp", bytes);
        }
        HostRun run = RunHost(arguments, cd);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(ReadFile(folder + "/a/x.bmp"), bytes);
        EXPECT_EQ(ReadFile(folder + "/b/x.bmp"), bytes);
        EXPECT_EQ(ReadFile(folder + "/one.bmp"), bytes);
        if (linked) {
            EXPECT_EQ(ReadFile(folder + "/flat/x.bmp"), bytes);
            RunShell(cd + "rm -f flat/x.bmp b/link.bmp a/hard.bmp");
        }
        EXPECT_EQ(std::system(("[ -z \"$(ls -A '" + folder + "/flat')\" ]").c_str()), 0);
    }
    // The README's many-files line, on names with spaces.
    HostRun spaced = RunShell(cd + "mkdir -p 'my scans' && cp one.bmp 'my scans/a b.bmp' && cp one.bmp "
                                   "'my scans/c.bmp' && find 'my scans' -name '*.bmp' -print0 | "
                                   "xargs -0 -P 2 -n 16 " + kHost + " -q --output-dir flat");
    EXPECT_EQ(spaced.status, 0) << spaced.err;
    EXPECT_EQ(ReadFile(folder + "/flat/a b.bmp"), *ExpectedFlatten(bytes));
    EXPECT_EQ(ReadFile(folder + "/flat/c.bmp"), *ExpectedFlatten(bytes));
}

#if defined(QUENVALE_HOST_PICTURES)
// The palette and layers are outputs like the image: none may replace an
// input or another output, a folder they need is checked before any work,
// and a job that is refused replaces nothing.
TEST(Host, PalettesAndLayersNeverReplaceAnInputOrEachOther) {
    std::string folder = TempPath("extras");
    ASSERT_TRUE(MakeDirectory(folder));
    std::string cd = "cd '" + folder + "' && ";
    ASSERT_EQ(RunShell(cd + "mkdir a b pd flat").status, 0);
    Image image = MakeImage(4, 4, Rgb{1, 2, 3});
    image.At(0, 0) = Rgb{200, 0, 0};
    image.At(1, 0) = Rgb{0, 0, 200};
    std::vector<uint8_t> bytes = EncodeBitmap(image);
    const std::pair<const char*, const char*> refusals[] = {
        {"--palette a.bmp --palette-format txt a.bmp out.bmp",
         "quenvale: the palette a.bmp is the input a.bmp, which it would replace\n"},
        {"--palette out.bmp --palette-format txt a.bmp out.bmp",
         "quenvale: the palette out.bmp of a.bmp would replace out.bmp, the result of a.bmp\n"},
        {"--palette link.gpl a.bmp out.bmp", "quenvale: the palette link.gpl is the input a.bmp, which it would replace\n"},
        {"--in-place --layers nowhere a/x.bmp b/x.bmp",
         "quenvale: nowhere: no such folder for --layers; make it first (mkdir -p)\n"},
        {"--in-place --palette-dir nowhere a/x.bmp", "quenvale: nowhere: no such folder for --palette-dir; make it first (mkdir -p)\n"},
        {"--palette nowhere/p.gpl a.bmp out.bmp", "quenvale: nowhere/p.gpl: no such folder for the palette; make it first (mkdir -p)\n"},
        {"--in-place --palette-dir pd a/x.bmp b/x.bmp",
         "quenvale: the palette pd/x.gpl of b/x.bmp would replace pd/x.gpl, the palette of a/x.bmp\n"},
        {"--in-place --layers pd a/x.bmp b/x.bmp",
         "quenvale: a/x.bmp and b/x.bmp would both write their layers as pd/x.NN-RRGGBB.png\n"},
        {"--in-place --layers a a/x.bmp a/x.00-c80000.png",
         "quenvale: a/x.00-c80000.png is named as a layer of a/x.bmp in a, which would replace it\n"},
        {"--palette \"$(printf 'p\\377.gpl')\" a.bmp out.bmp", "quenvale: --palette: the path is not valid UTF-8 (see quenvale --help)\n"},
        {"--layers \"$(printf 'p\\377')\" a.bmp out.bmp", "quenvale: --layers: the path is not valid UTF-8 (see quenvale --help)\n"},
        {"--colours 8 a.bmp out.bmp", "quenvale: unknown option '--colours'; did you mean --colors? (see quenvale --help)\n"},
    };
    for (const auto& [arguments, message] : refusals) {
        SCOPED_TRACE(arguments);
        for (const char* name : {"/a.bmp", "/a/x.bmp", "/b/x.bmp", "/a/x.00-c80000.png"}) {
            WriteFile(folder + name, bytes);
        }
        ASSERT_EQ(RunShell(cd + "ln -sf a.bmp link.gpl").status, 0);
        HostRun run = RunHost(arguments, cd);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, message);
        for (const char* name : {"/a.bmp", "/a/x.bmp", "/b/x.bmp", "/a/x.00-c80000.png"}) {
            EXPECT_EQ(ReadFile(folder + name), bytes) << name;
        }
        EXPECT_FALSE(FileExists(folder + "/out.bmp"));
        EXPECT_EQ(std::system(("[ -z \"$(ls -A '" + folder + "/pd')\" ]").c_str()), 0);
    }
    // A bitmap's palette comes from the picture in memory: its output may be
    // a device, and a run with fewer colours leaves no stale layer behind.
    HostRun toNull = RunHost("--palette p.txt --layers pd a.bmp /dev/null", cd);
    EXPECT_EQ(toNull.status, 0) << toNull.err;
    EXPECT_EQ(Slurp(folder + "/p.txt"), "#c80000\n#010203\n#0000c8\n");
    HostRun fewer = RunHost("--tolerance 255 --layers pd a.bmp /dev/null", cd);
    EXPECT_EQ(fewer.status, 0) << fewer.err;
    EXPECT_EQ(RunShell("ls '" + folder + "/pd'").out, "null.00-c80000.png\n");
    // A header that claims more pixels than --max-pixels is refused before
    // the palette is made, as the image alone would be.
    std::vector<uint8_t> rle = EncodeBitmap(MakeImage(1, 1));
    PutLe32(rle, 18, 60000);
    PutLe32(rle, 22, 60000);
    rle[28] = 8;
    PutLe32(rle, 30, 1);
    WriteFile(folder + "/huge.bmp", rle);
    HostRun huge = RunHost("--max-pixels 1000000 --palette p.gpl --layers pd huge.bmp out.bmp", cd);
    EXPECT_EQ(huge.status, 1);
    EXPECT_NE(huge.err.find("quenvale: huge.bmp: "), std::string::npos) << huge.err;
    EXPECT_FALSE(FileExists(folder + "/out.bmp"));
    EXPECT_FALSE(FileExists(folder + "/p.gpl"));
    // A picture of no columns and 604 million rows (found by fuzzing the job
    // runner): its palette, layers and mean fill walk no rows of nothing.
    HostRun empty = RunShell("cd '" + folder + "' && timeout 3 " + kHost + " --fill mean --colors 90 --palette e.json " +
                             "--layers pd '" + QUENVALE_REGRESSIONS + "/zero-width-604m-rows.bmp' e.bmp");
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(Slurp(folder + "/e.json"), "{\"name\": \"zero-width-604m-rows.bmp\", \"tolerance\": 0, \"colors\": [\n]}\n");
}
#endif

TEST(Host, HostilePathsAndNamesAreRefusedOrShownEscaped) {
    std::string folder = TempPath("hostile-names");
    ASSERT_TRUE(MakeDirectory(folder));
    std::string cd = "cd '" + folder + "' && ";
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(4, 4, Rgb{1, 2, 3}));
    WriteFile(folder + "/in.bmp", bytes);
    WriteFile(folder + "/victim", bytes);
    // A path cut at a bad byte would name another file: refused before any work.
    for (const char* arguments : {"in.bmp -o \"$(printf 'victim\\377.bmp')\"",
                                  "--output-dir \"$(printf 'victim\\377')\" in.bmp"}) {
        SCOPED_TRACE(arguments);
        HostRun run = RunHost(arguments, cd);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(arguments[0] == 'i' ? "quenvale: -o: the path is not valid UTF-8"
                                                    : "quenvale: --output-dir: the path is not valid UTF-8"),
                  std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(folder + "/victim"), bytes);
    }
    // A name cannot forge a line or steer the terminal: one line, escaped.
    HostRun forged = RunHost("\"$(printf 'x\\nquenvale: forged\\033[2J\\\\')\" out.bmp", cd);
    EXPECT_EQ(forged.status, 1);
    EXPECT_EQ(forged.err, "quenvale: x\\nquenvale: forged\\033[2J\\\\: No such file or directory\n");
    // A pipe or device is refused at once, never waited on.
    HostRun pipe = RunShell(cd + "mkfifo fifo && timeout 10 " + kHost + " fifo out.bmp; echo $? >&2");
    EXPECT_EQ(pipe.err, "quenvale: fifo: not a regular file\n1\n");
    // A signature names its format, damaged or not read.
    WriteFile(folder + "/text-mode.png", {0x89, 'P', 'N', 'G', '\r', '\r', '\n', 0x1A, '\n', 0, 0, 0, 0});
    WriteFile(folder + "/anim.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});
    HostRun claimed = RunHost("--output-dir out text-mode.png anim.gif", cd + "mkdir out && ");
    EXPECT_EQ(claimed.status, 1);
    EXPECT_NE(claimed.err.find("text-mode.png: damaged PNG: its signature's bytes were changed"), std::string::npos)
        << claimed.err;
#if defined(QUENVALE_HOST_GIF)
    EXPECT_NE(claimed.err.find("anim.gif: damaged GIF: "), std::string::npos) << claimed.err;
#else
    EXPECT_NE(claimed.err.find("anim.gif: a GIF file: "), std::string::npos) << claimed.err;
#endif
}

// The kernel's protected_symlinks rule, applied by the host itself: the
// link's owner is changed to a user that does not exist, which needs root.
TEST(Host, LinksInSharedFoldersAreFollowedOnlyAsTheKernelWould) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "chown -h needs root";
    }
    std::string folder = TempPath("shared-links");
    ASSERT_TRUE(MakeDirectory(folder));
    std::string cd = "cd '" + folder + "' && ";
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(4, 4, Rgb{1, 2, 3}));
    WriteFile(folder + "/in.bmp", bytes);
    ASSERT_EQ(RunShell(cd + "mkdir -m 1777 shared && mkdir -m 0777 open && mkdir -m 0700 private").status, 0);
    for (const char* place : {"shared", "open"}) {
        for (const char* owner : {"0", "54321"}) {
            SCOPED_TRACE(std::string(place) + " " + owner);
            WriteFile(folder + "/private/notes.txt", {'n', 'o', 't', 'e', 's'});
            ASSERT_EQ(RunShell(cd + "ln -sfn ../private/notes.txt " + place + "/result.bmp && chown -h " + owner +
                               " " + place + "/result.bmp").status, 0);
            HostRun run = RunHost("in.bmp " + std::string(place) + "/result.bmp", cd);
            bool refused = std::strcmp(place, "shared") == 0 && std::strcmp(owner, "0") != 0;
            EXPECT_EQ(run.status, refused ? 1 : 0) << run.err;
            if (refused) {
                EXPECT_NE(run.err.find("a link in a shared sticky folder"), std::string::npos) << run.err;
                EXPECT_EQ(ReadFile(folder + "/private/notes.txt"), std::vector<uint8_t>({'n', 'o', 't', 'e', 's'}));
            } else {
                EXPECT_EQ(ReadFile(folder + "/private/notes.txt"), *ExpectedFlatten(bytes));
            }
        }
    }
    // A folder link planted there is refused at any component, for every
    // output, before any work.
    ASSERT_EQ(RunShell(cd + "ln -sfn ../private shared/masks && chown -h 54321 shared/masks").status, 0);
    std::vector<std::string> planted = {"in.bmp -o shared/masks/o.bmp", "--output-dir shared/masks in.bmp"};
#if defined(QUENVALE_HOST_PICTURES)
    planted.insert(planted.end(), {"--layers shared/masks in.bmp o.bmp", "--palette shared/masks/p.gpl in.bmp o.bmp",
                                   "--palette-dir shared/masks in.bmp o.bmp"});
#endif
    for (const std::string& arguments : planted) {
        SCOPED_TRACE(arguments);
        HostRun run = RunHost(arguments, cd);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("a link in a shared sticky folder"), std::string::npos) << run.err;
        EXPECT_EQ(RunShell("ls -A '" + folder + "/private'").out, "notes.txt\n");
    }
#if defined(QUENVALE_HOST_PICTURES)
    // A planted link at the palette's own name says why it is refused.
    ASSERT_EQ(RunShell(cd + "ln -sfn ../private/p.gpl shared/p.gpl && chown -h 54321 shared/p.gpl").status, 0);
    HostRun named = RunHost("--palette shared/p.gpl in.bmp o.bmp", cd);
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.err, "quenvale: shared/p.gpl: could not write the palette: a link in a shared sticky folder, "
                         "owned by neither this user nor the folder's owner: not followed\n");
#endif
}

// A terminating signal mid-call removes the output's temporary too; the
// process still ends by that signal.
TEST(Host, ATerminatingSignalLeavesNoTemporaryBehind) {
    std::string folder = TempPath("signalled");
    ASSERT_TRUE(MakeDirectory(folder));
    std::mt19937 random(9);
    WriteFile(folder + "/in.bmp", EncodeBitmap(RandomImage(random, 3000, 2000)));
    for (const char* signal : {"TERM", "HUP"}) {
        SCOPED_TRACE(signal);
        // Started, then signalled once its temporary is there.
        HostRun run = RunShell("cd '" + folder + "' && rm -rf out && mkdir out && { " + kHost +
                               " in.bmp out/r.bmp & pid=$!; n=0; until ls -A out | grep -q tmp || [ $n = 500 ]; do "
                               "n=$((n+1)); sleep 0.01; done; kill -" + signal + " $pid; wait $pid; echo $?; ls -A out; }");
        // Ended by the signal (or done before it came), and whole or absent.
        EXPECT_TRUE(run.out.rfind("143\n", 0) == 0 || run.out.rfind("129\n", 0) == 0 || run.out.rfind("0\n", 0) == 0)
            << run.out;
        EXPECT_EQ(run.out.find("tmp"), std::string::npos) << run.out;
    }
}

TEST(Host, ToleranceReachesTheFlatten) {
    std::mt19937 random(4);
    Image image = RandomImage(random, 8, 8, 256);
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    std::vector<uint8_t> bytes = EncodeBitmap(image);
    WriteFile(input, bytes);
    for (int tolerance : {0, 20, 90, 255}) {
        SCOPED_TRACE(tolerance);
        HostRun run = RunHost("--tolerance " + std::to_string(tolerance) + " '" + input + "' '" + output + "'");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile(output), *ExpectedFlatten(bytes, tolerance));
    }
    EXPECT_EQ(ReadFile(output), EncodeBitmap(MakeImage(8, 8, image.At(0, 0))));  // 255: the first pixel's colour
}

TEST(Host, UsageErrorsAreOneLineWithAHint) {
    for (const char* arguments :
         {"", "only-one.bmp", "a.bmp b.bmp c.bmp", "--filter", "--filter sepia a.bmp b.bmp",
          "--frobnicate a.bmp b.bmp", "--filter gray --filter red a.bmp b.bmp", "--tolerance 256 a.bmp b.bmp",
          "--tolerance -1 a.bmp b.bmp", "--tolerance 5x a.bmp b.bmp", "--filter gray --tolerance 3 a.bmp b.bmp",
          "--in-place", "--in-place --output-dir d a.bmp", "--output-dir d -", "--sync=yes a.bmp b.bmp", "-x a.bmp b.bmp",
          "-qx a.bmp b.bmp", "a.bmp -o", "-q -v a.bmp b.bmp", "-o b.bmp a.bmp c.bmp", "-o b.bmp -o c.bmp a.bmp",
          "--in-place -o b.bmp a.bmp"}) {
        SCOPED_TRACE(arguments);
        HostRun run = RunHost(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.find("--help"), run.err.rfind("--help")) << "one hint: " << run.err;
        EXPECT_NE(run.err.find("(see quenvale --help)"), std::string::npos) << run.err;
    }
    for (const char* help : {"--help", "-h"}) {
        HostRun run = RunHost(help);
        EXPECT_EQ(run.status, 0);
        for (const char* option : {"--filter", "--tolerance", "--output-dir", "--in-place", "--sync", "-q, --quiet",
                                   "-v, --verbose", "-o, --output", "-h, --help", "--version", "--  ", "gray",
                                   "--format", "--colors", "--palette", "--layers", "--fill", "--keep-encoding"}) {
            EXPECT_NE(run.out.find(option), std::string::npos) << option;
        }
    }
    HostRun version = RunHost("--version");
    EXPECT_EQ(version.status, 0);
#if defined(QUENVALE_HOST_WEBP) && defined(QUENVALE_HOST_GIF)
    EXPECT_EQ(version.out, "quenvale " QUENVALE_VERSION "\nreads: BMP PNG JPEG WebP GIF\nwrites: BMP PNG WebP GIF SVG\n");
#elif defined(QUENVALE_HOST_WEBP)
    EXPECT_EQ(version.out, "quenvale " QUENVALE_VERSION "\nreads: BMP PNG JPEG WebP\nwrites: BMP PNG WebP SVG\n");
#elif defined(QUENVALE_HOST_PICTURES)
    EXPECT_EQ(version.out, "quenvale " QUENVALE_VERSION "\nreads: BMP PNG JPEG\nwrites: BMP PNG SVG\n");
#else
    EXPECT_EQ(version.out, "quenvale " QUENVALE_VERSION "\nreads: BMP\nwrites: BMP\n");
#endif
    EXPECT_EQ(RunHost("\"$(printf '\\377\\376.bmp')\" out.bmp").status, 2);  // not UTF-8
}

}  // namespace
}  // namespace quenvale_test
