// Debug log and event log: where lines go, their exact form, levels, and
// whole lines under concurrent writers.

#include "EvDebug.h"
#include "KRPlatformInfo.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::SampleInstallation;

const std::regex kDebugPrefix(R"(^(\d+) (\d+) (\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d) )");

// Longer than the logger uses a log before it looks at its name again.
constexpr auto kPastTheRecheck = std::chrono::milliseconds(1100);

std::string executableBaseName()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string full(path, n > 0 ? static_cast<size_t>(n) : 0);
    return full.substr(full.rfind('/') + 1);
}

std::string timestampNow()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t {};
    localtime_r(&ts.tv_sec, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d %02d:%02d:%02d.%03ld", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec, ts.tv_nsec / 1'000'000);
    return text;
}

TEST(DebugLog, LineHasTheExactForm)
{
    SampleInstallation installation;
    struct Case {
        const char* what;
        std::function<void(EvDebug&)> write;
        std::string afterPrefix;
    };
    const std::string longText(100'000, 'x');
    const Case cases[] = {
        {"untagged", [](EvDebug& log) { log.debug("plain %d and %s", 42, "text"); }, "plain 42 and text\n"},
        {"tagged", [](EvDebug& log) { log.Debug("lnBrowse", "path = [%s]", "/d"); }, "[lnBrowse] path = [/d]\n"},
        {"tagged with a level", [](EvDebug& log) { log.DebugLvl("Fn", 0, "v=%ld", -3L); }, "[Fn] v=-3\n"},
        {"ends in a line feed", [](EvDebug& log) { log.debug("done\n"); }, "done\n"},
        // A line is always one line: other control bytes are written escaped.
        {"embedded line feed", [](EvDebug& log) { log.debug("one\ntwo"); }, "one\\ntwo\n"},
        {"control bytes", [](EvDebug& log) { log.Debug("t\r", "a\tb\r\n\x1b[0m\x7f\x01\n\n"); },
         "[t\\r] a\tb\\r\\n\\x1b[0m\\x7f\\x01\\n\n"},
        {"UTF-8 kept", [](EvDebug& log) { log.debug("caf\xc3\xa9"); }, "caf\xc3\xa9\n"},
        {"percent sign", [](EvDebug& log) { log.debug("100%% sure"); }, "100% sure\n"},
        {"empty message", [](EvDebug& log) { log.debug("%s", ""); }, "\n"},
        {"long message", [&](EvDebug& log) { log.debug("%s", longText.c_str()); }, longText + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        installation.clearDebugLog();
        const std::string before = timestampNow();
        EvDebug log(nullptr);
        c.write(log);
        const std::string after = timestampNow();

        const std::string content = lndbtest::readFile(installation.debugLogPath());
        std::smatch prefix;
        ASSERT_TRUE(std::regex_search(content, prefix, kDebugPrefix)) << content.substr(0, 80);
        EXPECT_EQ(prefix[1].str(), std::to_string(getpid()));
        EXPECT_EQ(prefix[2].str(), std::to_string(gettid()));
        EXPECT_LE(before, prefix[3].str());
        EXPECT_GE(after, prefix[3].str());
        EXPECT_EQ(content.substr(static_cast<size_t>(prefix.length(0))), c.afterPrefix);
    }
}

TEST(DebugLog, ThreadIdIsTheCallingThreads)
{
    SampleInstallation installation;
    pid_t threadId = 0;
    std::thread([&] {
        threadId = gettid();
        EvEvent().debug("from a thread");
    }).join();
    const std::string content = lndbtest::readFile(installation.debugLogPath());
    std::smatch prefix;
    ASSERT_TRUE(std::regex_search(content, prefix, kDebugPrefix));
    EXPECT_EQ(prefix[1].str(), std::to_string(getpid()));
    EXPECT_EQ(prefix[2].str(), std::to_string(threadId));
    EXPECT_NE(threadId, getpid());
}

TEST(DebugLog, DestinationIsChosenForEachLine)
{
    SampleInstallation installation;
    const std::string ownLog = installation.logDir() + "/" + executableBaseName() + ".log";
    const std::string other = installation.root() + "/other.log";
    const std::string unopenable = installation.root() + "/missing-dir/debug.log";
    const std::string missingStoreDir = installation.root() + "/no-registry";
    const std::string badLogDirStore = "[Platform]\nLogFilesDirectory = " + installation.root() + "/no-logs\n";
    struct Case {
        const char* what;
        const char* debugLog;  // KR_DEBUG_LOG; null: unset
        const char* registry;  // KR_REGISTRY_DIR override; null: the installation's
        std::string expectedFile;  // empty: standard error
    };
    const Case cases[] = {
        {"KR_DEBUG_LOG", other.c_str(), nullptr, other},
        {"unset: the program's log in LogFilesDirectory", nullptr, nullptr, ownLog},
        {"empty: the same", "", nullptr, ownLog},
        {"KR_DEBUG_LOG cannot be opened", unopenable.c_str(), nullptr, ownLog},
        {"no store: standard error", nullptr, missingStoreDir.c_str(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lndbtest::ScopedEnv debugLog("KR_DEBUG_LOG", c.debugLog);
        lndbtest::ScopedEnv registry("KR_REGISTRY_DIR", c.registry != nullptr ? c.registry
                                                                               : installation.registryDir().c_str());
        unlink(other.c_str());
        unlink(ownLog.c_str());
        lndbtest::CaptureFd err(2);
        EvDebug log(nullptr);
        log.debug("where does %s go", "this");
        const std::string captured = err.finish();
        const std::string expectedText = "where does this go\n";
        if (c.expectedFile.empty()) {
            EXPECT_EQ(lndbtest::stripDebugPrefix(captured), expectedText);
        } else {
            EXPECT_EQ(captured, "");
            const auto lines = lndbtest::readLines(c.expectedFile);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lndbtest::stripDebugPrefix(lines[0]) + "\n", expectedText);
        }
        EXPECT_EQ(lndbtest::exists(other), c.expectedFile == other);
        EXPECT_EQ(lndbtest::exists(ownLog), c.expectedFile == ownLog);
    }

    // A LogFilesDirectory that does not exist leaves standard error.
    lndbtest::writeFile(installation.storePath(), badLogDirStore);
    lndbtest::ScopedEnv debugLog("KR_DEBUG_LOG", nullptr);
    lndbtest::CaptureFd err(2);
    EvEvent().Debug("T", "fallback");
    EXPECT_EQ(lndbtest::stripDebugPrefix(err.finish()), "[T] fallback\n");
}

TEST(DebugLog, DebugLvlHonoursKrDebugLevel)
{
    SampleInstallation installation;
    struct Case {
        const char* setting;  // null: unset
        int highestWritten;
    };
    const Case cases[] = {{nullptr, 0}, {"0", 0}, {"2", 2}, {"-1", -1}, {"abc", 0}, {"", 0}, {"3x", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "(unset)");
        lndbtest::ScopedEnv level("KR_DEBUG_LEVEL", c.setting);
        installation.clearDebugLog();
        EvDebug log(nullptr);
        std::vector<std::string> expected;
        for (int lvl = -2; lvl <= 4; ++lvl) {
            log.DebugLvl("L", lvl, "level %d", lvl);
            if (lvl <= c.highestWritten)
                expected.push_back("[L] level " + std::to_string(lvl));
        }
        EXPECT_EQ(installation.debugLines(), expected);
    }
}

TEST(DebugLog, ConcurrentLinesNeverInterleave)
{
    SampleInstallation installation;
    // Writer k writes lines "[w<k>] <i> " followed by 1,500 copies of one letter.
    auto writeLines = [](int writer, int count) {
        EvDebug log(nullptr);
        const std::string body(1500, static_cast<char>('a' + writer));
        const std::string tag = "w" + std::to_string(writer);
        for (int i = 0; i < count; ++i)
            log.Debug(tag.c_str(), "%d %s", i, body.c_str());
    };
    std::vector<pid_t> children;
    for (int writer = 4; writer < 6; ++writer) {
        const pid_t pid = fork();
        if (pid == 0) {
            writeLines(writer, 1000);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 4; ++writer)
        threads.emplace_back(writeLines, writer, 2000);
    for (std::thread& thread : threads)
        thread.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }

    const std::regex tagged(R"(^\[w(\d)\] (\d+) (.*)$)");
    std::map<int, std::vector<int>> seen;
    int broken = 0;
    for (const std::string& line : lndbtest::readLines(installation.debugLogPath())) {
        std::smatch prefix;
        std::smatch m;
        const std::string rest = std::regex_search(line, prefix, kDebugPrefix) ? prefix.suffix().str() : "";
        if (!std::regex_match(rest, m, tagged) ||
            m[3].str() != std::string(1500, static_cast<char>('a' + std::stoi(m[1])))) {
            ++broken;
            continue;
        }
        seen[std::stoi(m[1])].push_back(std::stoi(m[2]));
    }
    EXPECT_EQ(broken, 0);
    for (int writer = 0; writer < 6; ++writer) {
        const int count = writer < 4 ? 2000 : 1000;
        ASSERT_EQ(seen[writer].size(), static_cast<size_t>(count)) << "writer " << writer;
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(seen[writer][i], i) << "writer " << writer;  // each writer's own order
    }
}

TEST(EventLog, CriticalEventLineAndItsDebugLine)
{
    SampleInstallation installation;
    const std::string eventLog = installation.root() + "/events-here.log";
    const std::string defaultEvents = installation.logDir() + "/events.log";
    const std::string missingRegistry = installation.root() + "/no-registry";
    struct Case {
        const char* what;
        unsigned int code;
        long a;
        long b;
        const char* eventLogSetting;   // KR_EVENT_LOG; null: unset
        const char* registry;          // null: the installation's
        std::string expectedFile;      // empty: standard error
        std::string codeText;
        std::string debugLine;
    };
    const Case cases[] = {
        {"KR_EVENT_LOG", 0x2A000001, 0, 0, eventLog.c_str(), nullptr, eventLog, "0x2A000001 0 0",
         "critical event 0x2A000001 raised (0, 0)"},
        {"events.log in LogFilesDirectory", 0xABC, -5, 7, nullptr, nullptr, defaultEvents, "0x00000ABC -5 7",
         "critical event 0x00000ABC raised (-5, 7)"},
        {"empty KR_EVENT_LOG", 0xFFFFFFFF, 1, 2, "", nullptr, defaultEvents, "0xFFFFFFFF 1 2",
         "critical event 0xFFFFFFFF raised (1, 2)"},
        {"standard error", 0x2A000001, 0, 0, nullptr, missingRegistry.c_str(), "", "0x2A000001 0 0",
         "critical event 0x2A000001 raised (0, 0)"},
    };
    const std::regex eventLine(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) (\d+) CRITICAL (.*)\n$)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lndbtest::ScopedEnv events("KR_EVENT_LOG", c.eventLogSetting);
        lndbtest::ScopedEnv registry("KR_REGISTRY_DIR", c.registry != nullptr ? c.registry
                                                                               : installation.registryDir().c_str());
        unlink(eventLog.c_str());
        unlink(defaultEvents.c_str());
        installation.clearDebugLog();

        const time_t before = time(nullptr);
        lndbtest::CaptureFd err(2);
        EvEvent().CriticalEvent(c.code, c.a, c.b);
        const std::string captured = err.finish();
        const time_t after = time(nullptr);

        const std::string written = c.expectedFile.empty() ? captured : lndbtest::readFile(c.expectedFile);
        if (!c.expectedFile.empty()) {
            EXPECT_EQ(captured, "");
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_match(written, m, eventLine)) << written;
        struct tm t {};
        t.tm_year = std::stoi(m[1]) - 1900;
        t.tm_mon = std::stoi(m[2]) - 1;
        t.tm_mday = std::stoi(m[3]);
        t.tm_hour = std::stoi(m[4]);
        t.tm_min = std::stoi(m[5]);
        t.tm_sec = std::stoi(m[6]);
        t.tm_isdst = -1;
        const time_t stamped = mktime(&t);
        EXPECT_LE(before, stamped);
        EXPECT_GE(after, stamped);
        EXPECT_EQ(m[7].str(), std::to_string(getpid()));
        EXPECT_EQ(m[8].str(), c.codeText);
        EXPECT_EQ(installation.debugLines(), std::vector<std::string>{c.debugLine});
    }
}

TEST(DebugLog, PlatformWritesNoLinesOfItsOwn)
{
    SampleInstallation installation;
    KRPlatformInfo store;
    char buffer[4];
    unsigned int length = sizeof buffer;
    EXPECT_EQ(store.getString("Platform", "OrreryDirectory", buffer, &length), 0);  // too long
    EXPECT_EQ(store.getString("Platform", "Missing", buffer, &length), 0);
    EXPECT_EQ(store.setString("S", "a=b", "v"), 0);
    EXPECT_NE(store.setString("S", "v", "1"), 0);
    store.setFocus("Absent");
    EXPECT_EQ(store.getString("S", "v", buffer, &length), 0);
    EXPECT_FALSE(lndbtest::exists(installation.debugLogPath()));
}

}  // namespace

namespace {

TEST(DebugLog, OpenLogKeepsWorkingAfterAUserSwitchAndReopensWhenReplaced)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to nobody";
    lndbtest::SampleInstallation install;
    const std::string log = install.debugLogPath();
    const int status = lndbtest::runInChild([&] {
        EvDebug logger(nullptr);
        logger.debug("as root");
        // The root-owned 0644 log stays writable through the descriptor
        // opened before the switch.
        if (setresgid(65534, 65534, -1) != 0 || setresuid(65534, 65534, -1) != 0)
            return 10;
        logger.debug("as nobody");
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(install.debugLines(), (std::vector<std::string>{"as root", "as nobody"}));

    // A log removed (or rotated away) under its name is created again once
    // the logger looks at the name, within a second.
    EvDebug logger(nullptr);
    logger.debug("first");
    ASSERT_EQ(std::rename(log.c_str(), (log + ".old").c_str()), 0);
    std::this_thread::sleep_for(kPastTheRecheck);
    logger.debug("second");
    EXPECT_EQ(lndbtest::stripDebugPrefix(lndbtest::readLines(log + ".old").back()), "first");
    EXPECT_EQ(install.debugLines(), (std::vector<std::string>{"second"}));
}

}  // namespace

namespace {

// A log renamed or removed under its name: the line written at once lands in
// the old file or the new one, exactly once; a line written more than a
// second later lands in the new file, made afresh. The debug log is renamed
// (rotated), the event log removed, at the same time.
TEST(DebugLog, RotatedLogIsNoticedWithinASecond)
{
    SampleInstallation installation;
    const std::string debugLog = installation.debugLogPath();
    const std::string eventLog = installation.root() + "/events.log";
    lndbtest::ScopedEnv events("KR_EVENT_LOG", eventLog.c_str());
    EvEvent log;
    log.CriticalEvent(0x2A000001, 1, 0);  // opens both logs
    ASSERT_EQ(std::rename(debugLog.c_str(), (debugLog + ".1").c_str()), 0);
    ASSERT_EQ(unlink(eventLog.c_str()), 0);
    log.CriticalEvent(0x2A000001, 2, 0);
    std::this_thread::sleep_for(kPastTheRecheck);
    const std::string beforeThird = timestampNow();
    log.CriticalEvent(0x2A000001, 3, 0);

    // The time of a line in a later second is that second's, not the last
    // line's.
    const auto written = lndbtest::readLines(debugLog);
    std::smatch stamp;
    ASSERT_FALSE(written.empty());
    ASSERT_TRUE(std::regex_search(written.back(), stamp, kDebugPrefix));
    EXPECT_LE(beforeThird, stamp[3].str());

    std::vector<std::string> rotated;
    for (const std::string& line : lndbtest::readLines(debugLog + ".1"))
        rotated.push_back(lndbtest::stripDebugPrefix(line));
    std::vector<std::string> current = installation.debugLines();
    // The line written right after the rename, in one of the two files.
    const std::string second = "critical event 0x2A000001 raised (2, 0)";
    ASSERT_FALSE(rotated.empty());
    if (rotated.back() == second)
        rotated.pop_back();
    else if (!current.empty() && current.front() == second)
        current.erase(current.begin());
    else
        ADD_FAILURE() << "the line written right after the rename was lost";
    EXPECT_EQ(rotated, std::vector<std::string>{"critical event 0x2A000001 raised (1, 0)"});
    EXPECT_EQ(current, std::vector<std::string>{"critical event 0x2A000001 raised (3, 0)"});

    // The removed event log: made afresh, with the last line (the second went
    // to the removed file or to the new one).
    const auto eventLines = lndbtest::readLines(eventLog);
    ASSERT_FALSE(eventLines.empty());
    EXPECT_LE(eventLines.size(), 2u);
    EXPECT_NE(eventLines.back().find(" CRITICAL 0x2A000001 3 0"), std::string::npos) << eventLines.back();
}

// The process and thread ids in a line are the writer's own, also in a child
// forked after the parent has written lines (and its threads).
TEST(DebugLog, ForkedChildWritesItsOwnIds)
{
    SampleInstallation installation;
    EvDebug log(nullptr);
    log.debug("parent");
    std::thread([] { EvDebug(nullptr).debug("parent thread"); }).join();
    const int status = lndbtest::runInChild([] {
        EvDebug(nullptr).debug("child %d", static_cast<int>(getpid()));
        return 0;
    });
    ASSERT_EQ(status, 0);
    const auto lines = lndbtest::readLines(installation.debugLogPath());
    ASSERT_EQ(lines.size(), 3u);
    std::smatch prefix;
    ASSERT_TRUE(std::regex_search(lines[2], prefix, kDebugPrefix));
    const std::string childPid = prefix[1].str();
    EXPECT_NE(childPid, std::to_string(getpid()));
    EXPECT_EQ(prefix[2].str(), childPid);  // the child's only thread
    EXPECT_EQ(prefix.suffix().str(), "child " + childPid);
}

// Without KR_DEBUG_LOG, a log directory this process writes into the store
// takes the very next line: the logger does not wait for its once-a-second
// look to see its own process change the store.
TEST(DebugLog, LogDirectoryWrittenByThisProcessTakesTheNextLine)
{
    SampleInstallation installation;
    lndbtest::ScopedEnv debugLog("KR_DEBUG_LOG", nullptr);
    const std::string fileName = executableBaseName() + ".log";
    const std::string elsewhere = installation.root() + "/elsewhere";
    lndbtest::makeDirs(elsewhere);
    EvDebug log(nullptr);
    log.debug("before");
    log.debug("before");  // by now the logger has settled on the store it read
    ASSERT_NE(KRPlatformInfo().setString("Platform", "LogFilesDirectory", elsewhere.c_str()), 0);
    log.debug("after");
    const auto before = lndbtest::readLines(installation.logDir() + "/" + fileName);
    const auto after = lndbtest::readLines(elsewhere + "/" + fileName);
    ASSERT_EQ(before.size(), 2u);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(lndbtest::stripDebugPrefix(before[1]), "before");
    EXPECT_EQ(lndbtest::stripDebugPrefix(after[0]), "after");
}

}  // namespace
