// KrProcess::system: raw wait status, both outputs captured apart (the first
// MiB of each), a clean shell, the process-group kill on timeout, hosts that
// ignore SIGCHLD.

#include "KrProcess.h"
#include "process_probe.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using lndbtest::shellQuote;

// The first offset where `text` is not the probe's flood of `size` bytes on
// `stream`, or npos when it is exactly that.
size_t firstDifferenceFromFlood(const std::string& text, int stream, size_t size)
{
    for (size_t i = 0; i < std::min(text.size(), size); ++i) {
        if (text[i] != probe::floodByte(stream, i))
            return i;
    }
    return text.size() == size ? std::string::npos : std::min(text.size(), size);
}

TEST(KrProcessSystem, AnswersTheRawWaitStatusAndBothOutputsApart)
{
    struct Case {
        const char* command;
        int status;
        const char* out;
        const char* errPart;  // expected within standard error ("" = must be empty)
    };
    const Case cases[] = {
        {"exit 3", 3 << 8, "", ""},
        {"exit 0", 0, "", ""},
        {"echo out; echo err >&2; exit 1", 1 << 8, "out\n", "err"},
        {"kill -KILL $$", SIGKILL, "", ""},
        {"printf '%s' 'a  b|\"c'", 0, "a  b|\"c", ""},
        {"cat", 0, "", ""},  // standard input ends at once
        {"lndb_no_such_command", 127 << 8, "", "lndb_no_such_command"},
    };
    for (const Case& c : cases) {
        KrProcess process;
        std::string out = "stale";
        std::string err = "stale";
        EXPECT_EQ(process.system(c.command, &out, &err, 0, false), c.status) << c.command;
        EXPECT_EQ(out, c.out) << c.command;
        if (*c.errPart == '\0') {
            EXPECT_EQ(err, "") << c.command;
        } else {
            EXPECT_NE(err.find(c.errPart), std::string::npos) << c.command << ": " << err;
        }
    }
}

// Of each output the first MiB is kept byte for byte; the rest is read (the
// command is not held up) and counted.
TEST(KrProcessSystem, TenMegabytesOnEachStreamAtOnceKeepTheFirstMegabyte)
{
    constexpr size_t kSize = 10 * 1024 * 1024;
    constexpr size_t kKept = 1024 * 1024;
    const std::string command =
        "PROBE_FLOOD=" + std::to_string(kSize) + " exec " + shellQuote(probe::path());
    KrProcess process;
    std::string out;
    std::string err;
    ASSERT_EQ(process.system(command.c_str(), &out, &err, 0, false), 0);
    EXPECT_EQ(firstDifferenceFromFlood(out, 1, kKept), std::string::npos);
    EXPECT_EQ(firstDifferenceFromFlood(err, 2, kKept), std::string::npos);
    EXPECT_EQ(process.outputSize(), kSize);
    EXPECT_EQ(process.errorSize(), kSize);

    // With nowhere to put them the outputs are still read to their ends.
    EXPECT_EQ(process.system(command.c_str(), nullptr, nullptr, 0, false), 0);
    EXPECT_EQ(process.outputSize(), kSize);

    // Outputs under the bound arrive whole, and the counts start afresh.
    ASSERT_EQ(process.system("printf abc; printf de >&2", &out, &err, 0, false), 0);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(err, "de");
    EXPECT_EQ(process.outputSize(), 3u);
    EXPECT_EQ(process.errorSize(), 2u);
}

// Nothing of a careless host (see probe::becomeCarelessHost) reaches the
// command.
TEST(KrProcessSystem, CommandGetsNoDescriptorDevNullInputAndDefaultSignals)
{
    lndbtest::TempDir dir;
    const std::string reportPath = dir / "report";
    const int status = lndbtest::runInChild([&] {
        if (!probe::becomeCarelessHost())
            return 10;
        const std::string command =
            "PROBE_REPORT=" + shellQuote(reportPath) + " exec " + shellQuote(probe::path());
        KrProcess process;
        return process.system(command.c_str(), nullptr, nullptr, 0, false) == 0 ? 0 : 12;
    });
    ASSERT_EQ(status, 0);
    const probe::Report report = probe::readReport(reportPath);
    ASSERT_EQ(report.descriptors.size(), 3u);
    EXPECT_EQ(report.descriptors.at(0), "/dev/null");
    EXPECT_EQ(report.descriptors.at(1).rfind("pipe:", 0), 0u) << report.descriptors.at(1);
    EXPECT_EQ(report.descriptors.at(2).rfind("pipe:", 0), 0u) << report.descriptors.at(2);
    EXPECT_NE(report.descriptors.at(1), report.descriptors.at(2));
    EXPECT_EQ(probe::withoutLibcSignals(report.sigIgn), 0u) << report.sigIgn;
    EXPECT_EQ(probe::withoutLibcSignals(report.sigBlk), 0u) << report.sigBlk;
}

TEST(KrProcessSystem, TimeoutKillsTheWholeProcessGroup)
{
    // The shell waiting for its job, and the shell gone while its job keeps
    // both outputs open: either way the job dies and the status says SIGKILL.
    const char* const commands[] = {
        "echo started; sleep 300 & echo $! > %s; wait",
        "echo started; sleep 300 & echo $! > %s",
    };
    for (const char* pattern : commands) {
        lndbtest::TempDir dir;
        const std::string pidFile = dir / "job.pid";
        std::string command = pattern;
        command.replace(command.find("%s"), 2, shellQuote(pidFile));
        KrProcess process;
        std::string out;
        std::string err;
        const int status = process.system(command.c_str(), &out, &err, 1, false);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << command << ": " << status;
        EXPECT_EQ(out, "started\n");
        const pid_t job = std::atoi(lndbtest::readFile(pidFile).c_str());
        ASSERT_GT(job, 0) << command;
        EXPECT_TRUE(probe::awaitEnd(job)) << "job " << job << " of: " << command;
    }
}

TEST(KrProcessSystem, CommandEndingBeforeTheTimeoutIsUntouched)
{
    KrProcess process;
    std::string out;
    std::string err;
    EXPECT_EQ(process.system("echo done; exit 2", &out, &err, 30, false), 2 << 8);
    EXPECT_EQ(out, "done\n");
}

TEST(KrProcessSystem, BadArgumentsAnswerMinusOneWithTheReason)
{
    KrProcess process;
    std::string err;
    EXPECT_EQ(process.system(nullptr, nullptr, &err, 0, false), -1);
    EXPECT_NE(err.find("none given"), std::string::npos) << err;
    EXPECT_EQ(process.system("true", nullptr, &err, -1, false), -1);
    EXPECT_NE(err.find("invalid timeout -1"), std::string::npos) << err;
    EXPECT_EQ(process.system(nullptr, nullptr, nullptr, 0, false), -1);
}

TEST(KrProcessSystem, HostIgnoringSigchldGetsMinusOneAndTheOutput)
{
    lndbtest::TempDir dir;
    const std::string result = dir / "result";
    const int status = lndbtest::runInChild([&] {
        alarm(60);  // a hang ends the child with SIGALRM instead
        signal(SIGCHLD, SIG_IGN);
        KrProcess process;
        std::string out;
        std::string err;
        if (process.system("echo x; echo y >&2", &out, &err, 0, false) != -1)
            return 10;
        lndbtest::writeFile(result, out + "--\n" + err);
        return 0;
    });
    ASSERT_EQ(status, 0);
    const std::string text = lndbtest::readFile(result);
    EXPECT_EQ(text.rfind("x\n--\ny\ncannot wait for /bin/sh: ", 0), 0u) << text;
}

}  // namespace
