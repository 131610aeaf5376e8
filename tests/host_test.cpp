// The command-line host: arguments, exit status, and what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace quenvale_test {
namespace {

struct HostRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

HostRun RunHost(const std::string& arguments) {
    std::string out = TempPath("host.out");
    std::string err = TempPath("host.err");
    std::string command = std::string(QUENVALE_HOST_COMMAND) + " " + arguments + " >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    return HostRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

TEST(Host, FlattensAFileAndPrintsTheLibraryText) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    Image image = MakeImage(3, 1, Rgb{1, 2, 3});
    image.At(2, 0) = Rgb{200, 2, 3};
    WriteFile(input, EncodeBitmap(image));
    HostRun run = RunHost("'" + input + "' '" + output + "'");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, CounterLine(21) + CounterLine(42) + CounterLine(21) + CounterLine(0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFile(output), EncodeBitmap(ReferenceFlatten(image)));
    EXPECT_EQ(RunHost("--filter flatten '" + input + "' '" + output + "'").status, 0);
    EXPECT_EQ(RunHost("--filter=flatten -- '" + input + "' '" + output + "'").status, 0);
}

TEST(Host, FailuresEndTheLineAndNameTheResult) {
    HostRun missing = RunHost("'" + TempPath("missing.bmp") + "' '" + TempPath("out.bmp") + "'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "Oof, the file failed to open, please try again\n");
    EXPECT_EQ(missing.err, "quenvale: ResultInputOpenFailed (-11)\n");

    std::string input = TempPath("in.bmp");
    WriteFile(input, {'B', 'M', 0, 0});
    HostRun invalid = RunHost("'" + input + "' '" + TempPath("out.bmp") + "'");
    EXPECT_EQ(invalid.status, 1);
    EXPECT_EQ(invalid.out, "Could not read " + input + ": file of 4 bytes is shorter than a bitmap header\n");
    EXPECT_EQ(invalid.err, "quenvale: ResultInputInvalid (-12)\n");

    HostRun tooShort = RunHost("a.bmp b.bmp");
    EXPECT_EQ(tooShort.status, 1);
    EXPECT_EQ(tooShort.out, "");
    EXPECT_EQ(tooShort.err, "quenvale: ResultPathTooShort (111)\n");
}

TEST(Host, UsageErrorsHelpAndVersion) {
    for (const char* arguments : {"", "only-one.bmp", "a.bmp b.bmp c.bmp", "--filter", "--filter sepia a.bmp b.bmp",
                                  "--frobnicate a.bmp b.bmp"}) {
        SCOPED_TRACE(arguments);
        HostRun run = RunHost(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("usage: quenvale"), std::string::npos);
    }
    EXPECT_NE(RunHost("--filter sepia a.bmp b.bmp").err.find("flatten"), std::string::npos);
    HostRun help = RunHost("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: quenvale [--filter NAME] INPUT OUTPUT"), std::string::npos);
    HostRun version = RunHost("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quenvale 1.0.0.1\n");
    EXPECT_EQ(RunHost("\"$(printf '\\377\\376.bmp')\" out.bmp").status, 2);  // not UTF-8
}

}  // namespace
}  // namespace quenvale_test
