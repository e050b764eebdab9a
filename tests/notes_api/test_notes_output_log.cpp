// DumpFileTimeAndVer: the executable's trace line and the Notes API output
// log with its banner and rotation. Every redirection runs in a forked child,
// since it changes the process's standard output and error.

#include "lndb/notes_output_log.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr off_t kLimit = 5242880;
constexpr char kInstance[] = "Inst7";

std::string ownExecutable()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// An installation whose instance file names kInstance; the redirecting
// process runs in a subdirectory, as GetInstanceName reads ../orrery_vm.
class OutputLog : public lndbtest::NamedInstance {
public:
    OutputLog() : NamedInstance(kInstance) {}
    std::string current() const
    {
        return installation_.logDir() + "/" + baseName(ownExecutable()) + "_" + kInstance + "_NotesAPI.log";
    }
    std::string previous() const
    {
        return installation_.logDir() + "/Old_" + baseName(ownExecutable()) + "_" + kInstance +
               "_NotesAPI.log";
    }

    // DumpFileTimeAndVer(nullptr, 1) in a child working in workDir(), which
    // then writes one line to each stream.
    int redirectInChild(const char* extraOut = "after the banner (stdout)\n")
    {
        return lndbtest::runInChild([&] {
            if (chdir(workDir().c_str()) != 0)
                return 10;
            DumpFileTimeAndVer(nullptr, 1);
            std::fputs(extraOut, stdout);
            std::fflush(stdout);
            std::fputs("after the banner (stderr)\n", stderr);
            return 0;
        });
    }
};

std::string traceLine()
{
    struct stat st {};
    const std::string exe = ownExecutable();
    stat(exe.c_str(), &st);
    return "File <" + exe + "> Size=" + std::to_string(static_cast<int>(st.st_size)) +
           ", ModTime=" + std::to_string(static_cast<long>(st.st_mtime));
}

TEST(NotesOutputLog, NamedFileDoesNothing)
{
    OutputLog log;
    const int status = lndbtest::runInChild([] {
        struct stat before {};
        fstat(STDOUT_FILENO, &before);
        DumpFileTimeAndVer("libnotes.so", 0);
        DumpFileTimeAndVer("libnotes.so", 1);
        struct stat after {};
        fstat(STDOUT_FILENO, &after);
        return before.st_ino == after.st_ino && before.st_dev == after.st_dev ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(lndbtest::exists(log.installation().debugLogPath()));
    EXPECT_FALSE(lndbtest::exists(log.current()));
}

TEST(NotesOutputLog, TraceOnly)
{
    OutputLog log;
    lndbtest::CaptureFd out(STDOUT_FILENO);
    DumpFileTimeAndVer(nullptr, 0);
    std::printf("still here\n");
    EXPECT_EQ(out.finish(), "still here\n");
    EXPECT_EQ(log.debugLines(), std::vector<std::string>{traceLine()});
    EXPECT_FALSE(lndbtest::exists(log.current()));
}

// The banner's date and time, in local time under a fixed zone.
TEST(NotesOutputLog, FirstRunCreatesTheLogWithItsBanner)
{
    OutputLog log;
    lndbtest::ScopedEnv zone("TZ", "XYZ-5");  // five hours east of UTC, no daylight saving
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(log.redirectInChild(), 0);
    const std::time_t after = std::time(nullptr);

    const std::string text = lndbtest::readFile(log.current());
    const std::regex banner("\n\n===== (\\d\\d)/(\\d\\d)/(\\d\\d\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d) '" +
                            ownExecutable() + "' \\(pid (\\d+)\\) =====\n"
                            "after the banner \\(stdout\\)\nafter the banner \\(stderr\\)\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, banner)) << text;
    struct tm shown {};
    shown.tm_mon = std::stoi(m[1]) - 1;
    shown.tm_mday = std::stoi(m[2]);
    shown.tm_year = std::stoi(m[3]) - 1900;
    shown.tm_hour = std::stoi(m[4]);
    shown.tm_min = std::stoi(m[5]);
    shown.tm_sec = std::stoi(m[6]);
    // The zone is UTC+5: the shown time, read as UTC, is five hours ahead.
    const std::time_t when = timegm(&shown) - 5 * 3600;
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);

    EXPECT_EQ(log.debugLines(),
              (std::vector<std::string>{traceLine(), "stat on '" + log.current() + "' failed - 2",
                                        "Notes API output will be logged into [" + log.current() + "]"}));
}

TEST(NotesOutputLog, RotationBeyondFiveMebibytes)
{
    struct Case {
        off_t size;
        bool rotates;
    };
    for (const Case c : {Case{kLimit, false}, Case{kLimit + 1, true}}) {
        OutputLog log;
        const std::string old(static_cast<size_t>(c.size), 'x');
        lndbtest::writeFile(log.current(), old);
        lndbtest::writeFile(log.previous(), "an older generation\n");
        ASSERT_EQ(log.redirectInChild(), 0);

        const std::string current = lndbtest::readFile(log.current());
        const std::vector<std::string> lines = log.debugLines();
        ASSERT_EQ(lines.size(), c.rotates ? 3u : 2u) << c.size;
        EXPECT_EQ(lines.back(), "Notes API output will be logged into [" + log.current() + "]");
        if (c.rotates) {
            EXPECT_EQ(lines[1], "Size of '" + log.current() + "': " + std::to_string(c.size));
            EXPECT_EQ(lndbtest::readFile(log.previous()), old);
            EXPECT_EQ(current.rfind("\n\n===== ", 0), 0u) << "a new log starts with the banner";
        } else {
            EXPECT_EQ(lndbtest::readFile(log.previous()), "an older generation\n");
            EXPECT_EQ(current.compare(0, old.size(), old), 0) << "appended to";
            EXPECT_EQ(current.compare(old.size(), 8, "\n\n===== "), 0);
        }
    }
}

// A log that cannot be opened leaves both streams where they were: nothing
// printed afterwards may land in a file opened later.
TEST(NotesOutputLog, UnopenableLogLeavesTheStreams)
{
    OutputLog log;
    lndbtest::makeDirs(log.current());  // a directory where the log should be
    lndbtest::TempDir capture;
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";
    const int status = lndbtest::runInChild([&] {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (chdir(log.workDir().c_str()) != 0)
            return 10;
        DumpFileTimeAndVer(nullptr, 1);
        const int later = open((capture / "later").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        std::printf("to stdout\n");
        std::fflush(stdout);
        std::fprintf(stderr, "to stderr\n");
        close(later);
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(lndbtest::readFile(outPath), "to stdout\n");
    EXPECT_EQ(lndbtest::readFile(errPath), "to stderr\n");
    EXPECT_EQ(lndbtest::readFile(capture / "later"), "");
    const std::vector<std::string> lines = log.debugLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], traceLine());
    EXPECT_EQ(lines[1], "DumpFileTimeAndVer() : cannot open '" + log.current() +
                            "' - 21 (Is a directory); standard output and error left as they were");
}

TEST(NotesOutputLog, LogNameTooLongForItsBuffer)
{
    OutputLog log;
    const std::string longDir = log.installation().root() + "/" + std::string(990, 'l');
    log.installation().appendToStore("[Platform]\nLogFilesDirectory = " + longDir + "\n");
    ASSERT_EQ(log.redirectInChild(), 0);
    EXPECT_EQ(log.debugLines(),
              (std::vector<std::string>{traceLine(), "DumpFileTimeAndVer() : log name does not fit 1024 "
                                                     "bytes; output not redirected"}));
}

// Four processes of this program share one log and each write 10,000
// numbered lines; one of them rotates the log while the others write. Every
// line ends up whole in the current or the previous log.
TEST(NotesOutputLog, SharedLogKeepsEveryLineThroughARotation)
{
    OutputLog log;
    constexpr int kWriters = 4;
    constexpr int kLines = 10000;
    // Close enough to the limit that the rotating writer's own first half
    // passes it, far enough that the four banners do not.
    lndbtest::writeFile(log.current(), std::string(static_cast<size_t>(kLimit - 100000), '#') + "\n");

    int ready[2];
    int go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            if (chdir(log.workDir().c_str()) != 0)
                _exit(10);
            DumpFileTimeAndVer(nullptr, 1);
            char byte = 'r';
            if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 0)
                _exit(11);
            for (int line = 1; line <= kLines; ++line) {
                if (writer == 0 && line == kLines / 2 + 1)
                    DumpFileTimeAndVer(nullptr, 1);  // rotates: the log has passed 5 MiB
                char text[128];
                const int n = std::snprintf(text, sizeof text, "writer %d line %05d %s\n", writer, line,
                                            "................................................");
                // One write per line, as a line-buffered stream would do.
                if (write(line % 2 == 0 ? STDOUT_FILENO : STDERR_FILENO, text,
                          static_cast<size_t>(n)) != n)
                    _exit(12);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    close(go[0]);
    close(ready[1]);
    for (int writer = 0; writer < kWriters; ++writer) {
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    close(go[1]);  // all four are redirected: let them write
    close(ready[0]);
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    const std::regex wholeLine("writer [0-3] line \\d{5} \\.{48}");
    std::set<std::string> seen;
    size_t banners = 0;
    for (const std::string& path : {log.previous(), log.current()}) {
        for (const std::string& line : lndbtest::readLines(path)) {
            if (line.rfind("writer ", 0) == 0) {
                EXPECT_TRUE(std::regex_match(line, wholeLine)) << "broken line: " << line;
                EXPECT_TRUE(seen.insert(line.substr(0, 19)).second) << "twice: " << line;
            } else if (line.rfind("===== ", 0) == 0) {
                ++banners;
            }
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kLines));
    EXPECT_EQ(banners, static_cast<size_t>(kWriters + 1));
    const std::vector<std::string> lines = log.debugLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Size of '", 0) == 0; }),
              1);
}

}  // namespace
