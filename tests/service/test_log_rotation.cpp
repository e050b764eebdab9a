// The shipped logrotate file (its paths moved to a scratch log directory),
// forced several times while processes write the debug and event logs
// without pause: every line they wrote is found once, in the logs or in the
// rotated and compressed files, and the logs made in their place are used.

#include "EvDebug.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <poll.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using lndbtest::readFile;
using lndbtest::runCommand;
using lndbtest::shellQuote;

constexpr unsigned kCode = 0x2A000001;
constexpr int kWriters = 3;
constexpr int kRotations = 3;
// Apart by more than the second within which the logger may still write a
// renamed file; such a file is compressed only at the rotation after next.
constexpr auto kBetweenRotations = std::chrono::milliseconds(3000);

// A writer process: one critical event per turn, which writes one event line
// and one debug line, both carrying (writer, turn), until `stop` is closed.
// Leaves the number of turns in `countFile`.
int writeUntilStopped(int writer, int stop, const std::string& countFile)
{
    long turn = 0;
    pollfd entry{stop, POLLIN, 0};
    while (poll(&entry, 1, 0) == 0) {
        EvEvent().CriticalEvent(kCode, writer, turn++);
        usleep(2000);
    }
    lndbtest::writeFile(countFile, std::to_string(turn));
    return 0;
}

// Every (writer, turn) pair in the texts, with how often it was found, from
// lines that hold `marker` followed by "<writer><between><turn>".
std::map<std::pair<long, long>, int> pairsIn(const std::vector<std::string>& texts, const std::string& marker,
                                             const char* between)
{
    std::map<std::pair<long, long>, int> found;
    const std::string format = std::string("%ld") + between + "%ld";
    for (const std::string& text : texts) {
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
            long writer = -1, turn = -1;
            if (std::sscanf(text.c_str() + at + marker.size(), format.c_str(), &writer, &turn) == 2)
                ++found[{writer, turn}];
        }
    }
    return found;
}

TEST(LogRotation, ShippedFileLosesNoLineOfRunningWriters)
{
    if (runCommand("command -v logrotate").status != 0)
        GTEST_SKIP() << "logrotate is not installed";
    if (geteuid() != 0)
        GTEST_SKIP() << "the shipped file creates logs owned by root";
    lndbtest::TempDir scratch;
    lndbtest::TempDir logs;  // mode 0700: logrotate refuses a directory others may write

    std::string config = readFile(lndbtest::sourceDir() + "/service/lndb.logrotate");
    const std::string shipped = "/var/log/kragent/";
    ASSERT_NE(config.find(shipped + "lndb.log"), std::string::npos);
    ASSERT_NE(config.find(shipped + "events.log"), std::string::npos);
    for (size_t at; (at = config.find(shipped)) != std::string::npos;)
        config.replace(at, shipped.size(), logs.path() + "/");
    lndbtest::writeFile(scratch / "lndb.logrotate", config);
    const std::string rotate = "logrotate -f -s " + shellQuote(scratch / "state") + " " +
                               shellQuote(scratch / "lndb.logrotate");

    lndbtest::ScopedEnv debugLog("KR_DEBUG_LOG", (logs / "lndb.log").c_str());
    lndbtest::ScopedEnv eventLog("KR_EVENT_LOG", (logs / "events.log").c_str());
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(stop[1]);
            _exit(writeUntilStopped(writer, stop[0], scratch / ("count" + std::to_string(writer))));
        }
        writers.push_back(pid);
    }
    close(stop[0]);
    for (int i = 0; i < kRotations; ++i) {
        std::this_thread::sleep_for(kBetweenRotations);
        const auto rotated = runCommand(rotate);
        EXPECT_EQ(rotated.status, 0) << rotated.err;
    }
    // Long enough for every writer to be on the new logs.
    std::this_thread::sleep_for(kBetweenRotations);
    close(stop[1]);
    for (pid_t pid : writers) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    // Everything under the logs' names: the logs, the rotated files, the
    // compressed ones (and any file logrotate moved aside).
    std::vector<std::string> debugTexts, eventTexts;
    std::set<std::string> names;
    DIR* directory = opendir(logs.path().c_str());
    ASSERT_NE(directory, nullptr);
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const bool compressed = name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
        const std::string text =
            compressed ? runCommand("gzip -dc " + shellQuote(logs / name)).out : readFile(logs / name);
        (name.rfind("lndb.log", 0) == 0 ? debugTexts : eventTexts).push_back(text);
        names.insert(name);
    }
    closedir(directory);
    for (const char* expected : {"lndb.log", "lndb.log.1", "lndb.log.2.gz", "lndb.log.3.gz", "events.log",
                                 "events.log.1", "events.log.2.gz", "events.log.3.gz"})
        EXPECT_EQ(names.count(expected), 1u) << expected;

    const auto debugPairs = pairsIn(debugTexts, "critical event 0x2A000001 raised (", ", ");
    const auto eventPairs = pairsIn(eventTexts, " CRITICAL 0x2A000001 ", " ");
    size_t written = 0;
    for (int writer = 0; writer < kWriters; ++writer) {
        const long turns = std::stol(readFile(scratch / ("count" + std::to_string(writer))));
        EXPECT_GT(turns, 100) << "writer " << writer << " barely wrote";
        written += static_cast<size_t>(turns);
        for (long turn = 0; turn < turns; ++turn) {
            const auto key = std::make_pair(static_cast<long>(writer), turn);
            const auto debug = debugPairs.find(key);
            const auto event = eventPairs.find(key);
            ASSERT_TRUE(debug != debugPairs.end() && debug->second == 1)
                << "debug line of writer " << writer << ", turn " << turn;
            ASSERT_TRUE(event != eventPairs.end() && event->second == 1)
                << "event line of writer " << writer << ", turn " << turn;
        }
    }
    EXPECT_EQ(debugPairs.size(), written);
    EXPECT_EQ(eventPairs.size(), written);

    // The logs made in place of the rotated ones are root's, 0640, one link
    // (what the logger writes), and took the last lines.
    for (const char* name : {"lndb.log", "events.log"}) {
        struct stat st {};
        ASSERT_EQ(lstat((logs / name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
        EXPECT_EQ(st.st_uid, 0u) << name;
        EXPECT_EQ(st.st_nlink, 1u) << name;
        EXPECT_GT(st.st_size, 0) << name;
    }
}

}  // namespace
