// KrProcess::StartProcess and WaitForProcessToEnd: the exact argument vector,
// a clean child (no inherited descriptor, /dev/null input, default signals),
// failed starts, exit codes, timed waits and hosts that ignore SIGCHLD.

#include "KrProcess.h"
#include "process_probe.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Replaces every "$P" in `text` by `program`.
std::string withProgram(std::string text, const std::string& program)
{
    for (size_t at = text.find("$P"); at != std::string::npos; at = text.find("$P", at + program.size()))
        text.replace(at, 2, program);
    return text;
}

// Starts the probe with `commandLine` (may be null), waits for it and
// returns its report.
probe::Report runProbe(const std::string& program, const char* commandLine)
{
    lndbtest::TempDir dir;
    const std::string reportPath = dir / "report";
    lndbtest::ScopedEnv report("PROBE_REPORT", reportPath.c_str());
    KrProcess process;
    std::string error;
    EXPECT_TRUE(process.StartProcess(program.c_str(), commandLine, &error, 0)) << error;
    int exitCode = -1;
    EXPECT_TRUE(process.WaitForProcessToEnd(&exitCode, &error, -1)) << error;
    EXPECT_EQ(exitCode, 0);
    return probe::readReport(reportPath);
}

TEST(KrProcessStart, ArgumentVectorIsExactlyTheCommandLineSplit)
{
    struct Case {
        const char* commandLine;  // "$P" stands for the program path
        std::vector<const char*> argv;
        bool programMayHoldBlank;  // same split when the path holds a blank
    };
    const Case cases[] = {
        {"$P -browse \"client|51|Instance001|/data/mail|42\"",
         {"$P", "-browse", "client|51|Instance001|/data/mail|42"}, true},
        // Quotes group and vanish wherever they stand; blanks inside stay.
        {"$P -browse \"cl\"ie\"nt|51|in|/a b/c|7\"", {"$P", "-browse", "client|51|in|/a b/c|7"}, true},
        // An unclosed quote runs to the end of the line.
        {"$P -browse \"a|51|i|/p \"q|1\" x", {"$P", "-browse", "a|51|i|/p q|1 x"}, true},
        // No escapes: a backslash is an ordinary character.
        {"$P a\\\"b c\\", {"$P", "a\\b c\\"}, true},
        {"$P  a \t b  ", {"$P", "a", "b"}, true},
        {"$P \"\" x \"\"", {"$P", "", "x", ""}, true},
        {"$P", {"$P"}, true},
        {"", {"$P"}, true},
        {"   ", {"$P"}, true},
        // A line that does not begin with the program is split whole.
        {"nsfdbScout -browse \"x|1\"", {"nsfdbScout", "-browse", "x|1"}, true},
        {"\"$P\" a", {"$P", "a"}, true},
        // The program followed by more than a blank is no prefix.
        {"$Pextra a", {"$Pextra", "a"}, false},
    };

    lndbtest::TempDir dir;
    const std::string withBlank = dir / "install dir/lndbGleaner/nsfdbScout";
    lndbtest::makeDirs(fs::path(withBlank).parent_path().string());
    fs::copy_file(probe::path(), withBlank);
    for (const std::string& program : {probe::path(), withBlank}) {
        for (const Case& c : cases) {
            if (!c.programMayHoldBlank && program == withBlank)
                continue;
            const std::string commandLine = withProgram(c.commandLine, program);
            std::vector<std::string> expected;
            for (const char* word : c.argv)
                expected.push_back(withProgram(word, program));
            EXPECT_EQ(runProbe(program, commandLine.c_str()).argv, expected) << "command line: " << commandLine;
        }
        // No command line at all counts as an empty one.
        EXPECT_EQ(runProbe(program, nullptr).argv, std::vector<std::string>{program});
    }
}

TEST(KrProcessStart, ProgramThatCannotRunIsAFailedStartNamingIt)
{
    lndbtest::TempDir dir;
    const std::string notExecutable = dir / "plain file";
    lndbtest::writeFile(notExecutable, "#!/bin/sh\nexit 0\n", 0644);
    const std::string garbage = dir / "garbage";
    lndbtest::writeFile(garbage, "\x01\x02 not a program\n", 0755);
    struct Case {
        std::string program;
        std::string reason;  // expected in the error text
    };
    const Case cases[] = {
        {dir / "install dir/lndbGleaner/nsfdbScout", std::strerror(ENOENT)},
        {notExecutable, std::strerror(EACCES)},
        {dir.path(), std::strerror(EACCES)},
        {garbage, std::strerror(ENOEXEC)},
        {"probe_child", "not absolute"},
        {"", "no program given"},
    };
    for (const Case& c : cases) {
        KrProcess process;
        std::string error;
        EXPECT_FALSE(process.StartProcess(c.program.c_str(), (c.program + " -browse \"x\"").c_str(), &error, 0))
            << c.program;
        EXPECT_NE(error.find(c.program), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(process.pid(), -1);
        std::string waitError;
        int exitCode = 77;
        EXPECT_FALSE(process.WaitForProcessToEnd(&exitCode, &waitError, -1));
        EXPECT_FALSE(waitError.empty());
        EXPECT_EQ(exitCode, 77);
    }
}

TEST(KrProcessWait, ExitCodeIsTheStatusOr128PlusTheSignal)
{
    struct Case {
        const char* variable;
        const char* value;
        int exitCode;
    };
    const Case cases[] = {
        {"PROBE_EXIT", "0", 0},         {"PROBE_EXIT", "1", 1},           {"PROBE_EXIT", "3", 3},
        {"PROBE_EXIT", "255", 255},     {"PROBE_SIGNAL", "9", 128 + 9},   {"PROBE_SIGNAL", "15", 128 + 15},
        {"PROBE_SIGNAL", "10", 128 + 10},
    };
    for (const Case& c : cases) {
        lndbtest::ScopedEnv behaviour(c.variable, c.value);
        KrProcess process;
        std::string error;
        ASSERT_TRUE(process.StartProcess(probe::path().c_str(), probe::path().c_str(), &error, 0)) << error;
        int exitCode = -1;
        EXPECT_TRUE(process.WaitForProcessToEnd(&exitCode, &error, -1)) << error;
        EXPECT_EQ(exitCode, c.exitCode) << c.variable << "=" << c.value;
    }
}

// Nothing of a careless host (see probe::becomeCarelessHost) reaches the
// child.
TEST(KrProcessStart, ChildGetsNoDescriptorDevNullInputAndDefaultSignals)
{
    lndbtest::TempDir dir;
    const std::string reportPath = dir / "report";
    const int status = lndbtest::runInChild([&] {
        if (!probe::becomeCarelessHost())
            return 10;
        setenv("PROBE_REPORT", reportPath.c_str(), 1);
        KrProcess process;
        std::string error;
        if (!process.StartProcess(probe::path().c_str(), probe::path().c_str(), &error, 0))
            return 12;
        int exitCode = -1;
        return process.WaitForProcessToEnd(&exitCode, &error, -1) && exitCode == 0 ? 0 : 13;
    });
    ASSERT_EQ(status, 0);
    const probe::Report report = probe::readReport(reportPath);
    const std::map<int, std::string> expected = {
        {0, "/dev/null"}, {1, probe::descriptorTarget(1)}, {2, probe::descriptorTarget(2)}};
    EXPECT_EQ(report.descriptors, expected);
    EXPECT_EQ(probe::withoutLibcSignals(report.sigIgn), 0u) << report.sigIgn;
    EXPECT_EQ(probe::withoutLibcSignals(report.sigBlk), 0u) << report.sigBlk;
}

TEST(KrProcessStart, ThousandStartsLeaveTheDescriptorCountUnchanged)
{
    const int before = probe::openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        KrProcess process;
        std::string error;
        ASSERT_TRUE(process.StartProcess("/bin/true", "/bin/true", &error, 0)) << error;
        int exitCode = -1;
        ASSERT_TRUE(process.WaitForProcessToEnd(&exitCode, &error, -1)) << error;
        ASSERT_EQ(exitCode, 0);
        if (i % 10 == 0) {
            ASSERT_FALSE(process.StartProcess("/nonexistent/tool", "/nonexistent/tool", &error, 0));
        }
    }
    EXPECT_EQ(probe::openDescriptorCount(), before);
}

TEST(KrProcessWait, TimedWaitLeavesTheChildRunningAndALaterWaitReapsIt)
{
    lndbtest::TempDir dir;
    const std::string release = dir / "release";
    lndbtest::ScopedEnv waitFor("PROBE_WAIT_FOR", release.c_str());
    KrProcess process;
    std::string error;
    ASSERT_TRUE(process.StartProcess(probe::path().c_str(), probe::path().c_str(), &error, 0)) << error;
    const pid_t child = process.pid();

    for (int timeout : {0, 50}) {
        int exitCode = 77;
        error.clear();
        EXPECT_FALSE(process.WaitForProcessToEnd(&exitCode, &error, timeout));
        EXPECT_NE(error.find("still running"), std::string::npos) << error;
        EXPECT_EQ(exitCode, 77);
        EXPECT_TRUE(probe::isRunning(child));
    }
    // A second start on the same object would lose the running child.
    EXPECT_FALSE(process.StartProcess("/bin/true", "/bin/true", &error, 0));
    EXPECT_NE(error.find(std::to_string(child)), std::string::npos) << error;

    lndbtest::writeFile(release, "");
    int exitCode = -1;
    EXPECT_TRUE(process.WaitForProcessToEnd(&exitCode, &error, -1)) << error;
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(process.pid(), -1);
    error.clear();
    EXPECT_FALSE(process.WaitForProcessToEnd(&exitCode, &error, -1));
    EXPECT_FALSE(error.empty());
}

TEST(KrProcessWait, TimeoutBelowMinusOneIsRefused)
{
    KrProcess process;
    std::string error;
    ASSERT_TRUE(process.StartProcess("/bin/true", "/bin/true", &error, 0)) << error;
    int exitCode = 77;
    EXPECT_FALSE(process.WaitForProcessToEnd(&exitCode, &error, -2));
    EXPECT_NE(error.find("invalid timeout -2"), std::string::npos) << error;
    EXPECT_TRUE(process.WaitForProcessToEnd(&exitCode, &error, -1)) << error;
    EXPECT_EQ(exitCode, 0);
}

TEST(KrProcessWait, DestructorLeavesTheChildRunning)
{
    lndbtest::TempDir dir;
    const std::string release = dir / "release";
    lndbtest::ScopedEnv waitFor("PROBE_WAIT_FOR", release.c_str());
    pid_t child = -1;
    {
        KrProcess process;
        std::string error;
        ASSERT_TRUE(process.StartProcess(probe::path().c_str(), probe::path().c_str(), &error, 0)) << error;
        child = process.pid();
    }
    EXPECT_TRUE(probe::isRunning(child));
    lndbtest::writeFile(release, "");
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// With SIGCHLD ignored the kernel reaps children itself: the exit status is
// lost and the wait must say so instead of hanging.
TEST(KrProcessWait, HostIgnoringSigchldGetsAnErrorText)
{
    lndbtest::TempDir dir;
    const std::string release = dir / "release";
    const std::string errors = dir / "errors";
    const int status = lndbtest::runInChild([&] {
        alarm(60);  // a hang ends the child with SIGALRM instead
        signal(SIGCHLD, SIG_IGN);
        std::string texts;
        // A child that ends at once, and one still running when the wait starts.
        for (int round = 0; round < 2; ++round) {
            if (round == 1)
                setenv("PROBE_WAIT_FOR", release.c_str(), 1);
            KrProcess process;
            std::string error;
            if (!process.StartProcess(probe::path().c_str(), probe::path().c_str(), &error, 0))
                return 10 + round;
            int exitCode = 77;
            if (round == 1) {
                if (process.WaitForProcessToEnd(&exitCode, &error, 20))
                    return 12;
                lndbtest::writeFile(release, "");
            }
            error.clear();
            if (process.WaitForProcessToEnd(&exitCode, &error, -1) || error.empty() || exitCode != 77)
                return 20 + round;
            if (process.pid() != -1)
                return 30 + round;
            texts += error + "\n";
        }
        lndbtest::writeFile(errors, texts);
        return 0;
    });
    ASSERT_EQ(status, 0);
    const std::vector<std::string> lines = lndbtest::readLines(errors);
    EXPECT_EQ(lines.size(), 2u);
    for (const std::string& line : lines)
        EXPECT_NE(line.find("SIGCHLD"), std::string::npos) << line;
}

}  // namespace
