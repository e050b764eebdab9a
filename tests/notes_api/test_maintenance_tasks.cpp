// isDBMaintananceTaskRunning against the fake libnotes.so, whose console
// answers "SHOW TASKS" with a file and whose memory handles catch leaks and
// double frees.

#include "lndb/maintenance_tasks.h"
#include "lndb/notes_entry_table.h"

#include "notes_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kServer[] = "Mail01/Acme";

// The fake libnotes.so bound and told (through its notes.ini) where its
// console answer is; no start-up needed for the check itself.
class FakeServer {
public:
    FakeServer()
    {
        EXPECT_TRUE(loadNotesFunctions());
        configure("");
    }

    // Starts the fake again with these extra notes.ini lines.
    void configure(const std::string& extraLines)
    {
        lndbtest::writeFile(dir_ / "notes.ini", "FakeConsoleFile=" + answerPath() + "\n" + extraLines);
        std::string program = "/opt/hcl/domino";
        std::string notesIni = "=" + dir_ / "notes.ini";
        char* argv[] = {program.data(), notesIni.data(), nullptr};
        ASSERT_EQ(KR_NotesInitExtended(3, argv), 0);
    }
    void answer(const std::string& text) { lndbtest::writeFile(answerPath(), text); }
    std::string answerPath() const { return dir_ / "show_tasks.txt"; }

    // The debug lines written since the last call.
    std::vector<std::string> newDebugLines()
    {
        std::vector<std::string> lines = installation_.debugLines();
        installation_.clearDebugLog();
        return lines;
    }

private:
    lndbtest::SampleInstallation installation_;
    lndbtest::TempDir dir_;
};

const std::string kHeader =
    "Server name:            Mail01/Acme - Acme mail server\r\n"
    "Elapsed time:           12 days 04:11:37\r\n"
    "\r\n"
    "  Task                   Description\r\n"
    "  Database Server        Perform console commands\r\n";

struct ScanCase {
    const char* what;
    std::string answer;
    const char* database;
    int expected;
    const char* loggedLine;  // the TaskInfo of the one debug line, or null for none
};

// A text as the debug log shows it: a carriage return is written "\r".
std::string asLogged(const std::string& text)
{
    std::string logged;
    for (char c : text)
        logged += c == '\r' ? std::string("\\r") : std::string(1, c);
    return logged;
}

TEST(MaintenanceTasks, AnswerScan)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;

    const ScanCase cases[] = {
        {"compactor line ended by CR LF", kHeader + "  Database Compactor  Compacting mail/a.nsf\r\n  Router  Idle\r\n",
         "mail/a.nsf", 1, "Database Compactor  Compacting mail/a.nsf"},
        {"compactor line ended by LF alone keeps its last character",
         "  Database Compactor  Compacting mail/a.nsf\n  Router  Idle\n", "mail/a.nsf", 1,
         "Database Compactor  Compacting mail/a.nsf"},
        {"second of two compactors names the database",
         kHeader + "  Database Compactor  Compacting mail/b.nsf\r\n  Database Compactor  Compacting mail/a.nsf\r\n",
         "mail/a.nsf", 1, "Database Compactor  Compacting mail/a.nsf"},
        {"task name last in the answer, no newline", kHeader + "  Database Fixup  Checking mail/a.nsf",
         "mail/a.nsf", 1, "Database Fixup  Checking mail/a.nsf"},
        {"indexer and fixup name it: list order decides",
         kHeader + "  Database Fixup  Checking mail/a.nsf\r\n  Index All  Updating mail/a.nsf\r\n"
                   "  Database Compactor  Compacting mail/z.nsf\r\n",
         "mail/a.nsf", 1, "Index All  Updating mail/a.nsf"},
        {"one carriage return only is taken off", "  Index All  Updating mail/a.nsf\r\r\n", "mail/a.nsf\r",
         1, "Index All  Updating mail/a.nsf\r"},
        {"database named on a line of another task", kHeader + "  Router  Delivering to mail/a.nsf\r\n"
                                                         "  Database Compactor  Idle\r\n",
         "mail/a.nsf", 0, nullptr},
        {"database only in the next line", kHeader + "  Database Compactor  Idle\r\nmail/a.nsf\r\n",
         "mail/a.nsf", 0, nullptr},
        {"case matters", kHeader + "  database compactor  Compacting mail/a.nsf\r\n", "mail/a.nsf", 0,
         nullptr},
        {"no maintenance task at all", kHeader, "mail/a.nsf", 0, nullptr},
        {"empty answer", "", "mail/a.nsf", 0, nullptr},
        {"a NUL ends the answer",
         "  Index All  Idle" + std::string(1, '\0') + "  Database Compactor  Compacting mail/a.nsf\n", "mail/a.nsf", 0,
         nullptr},
    };
    for (const ScanCase& c : cases) {
        server.answer(c.answer);
        EXPECT_EQ(isDBMaintananceTaskRunning(kServer, c.database), c.expected) << c.what;
        const std::vector<std::string> lines = server.newDebugLines();
        if (c.loggedLine == nullptr) {
            EXPECT_TRUE(lines.empty()) << c.what;
        } else {
            const std::string taskName = std::string(c.loggedLine).substr(0, std::string(c.loggedLine).find("  "));
            EXPECT_EQ(lines, std::vector<std::string>{"Found an active maintenance task [" + taskName +
                                                      "] running on [" + asLogged(c.database) +
                                                      "]. TaskInfo [" + asLogged(c.loggedLine) + "]"})
                << c.what;
        }
    }
    EXPECT_EQ(DominoDbTaskList, (std::list<std::string>{"Database Compactor", "Index All", "Database Fixup"}));
    // Every answer handed out was freed exactly once (a second free aborts).
    EXPECT_EQ(notestest::fakeHandlesIssued(), std::size(cases));
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

TEST(MaintenanceTasks, SampleInstallationAnswer)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    server.answer(lndbtest::readFile(lndbtest::sourceDir() + "/examples/sample/show_tasks.txt"));

    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/alice.nsf"), 1);
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/bob.nsf"), 0);
    const std::vector<std::string> lines = server.newDebugLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Found an active maintenance task [Database Compactor] running on [mail/alice.nsf]. "
                        "TaskInfo [Database Compactor     Compacting mail/alice.nsf (In-place, recovering "
                        "unused space)]");
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

TEST(MaintenanceTasks, NoAnswer)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    server.answer(kHeader + "  Database Compactor  Compacting mail/a.nsf\r\n");

    // Refused before the console: no command is sent and the list stays empty.
    EXPECT_EQ(isDBMaintananceTaskRunning("", "mail/a.nsf"), -1);
    EXPECT_EQ(server.newDebugLines(),
              std::vector<std::string>{"Invalid Domino server Name. Failed to verify database "
                                       "maintanance activity for [mail/a.nsf]."});
    EXPECT_EQ(isDBMaintananceTaskRunning(std::string(256, 's'), "mail/a.nsf"), -1);
    EXPECT_EQ(server.newDebugLines(),
              std::vector<std::string>{"Server name of 256 characters refused (at most 255). Failed to "
                                       "verify database maintanance activity for [mail/a.nsf]."});
    EXPECT_EQ(notestest::fakeConsoleCalls(), 0u);
    EXPECT_TRUE(DominoDbTaskList.empty());

    // A console status with a top bit set: the full status, then its error code.
    server.configure("FakeConsoleStatus=" + std::to_string(0x8000 | 0x0123) + "\n");
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), -1);
    EXPECT_EQ(server.newDebugLines(),
              std::vector<std::string>{"Failed to retrieve server tasks. [33059] [291] for databse [mail/a.nsf]"});
    server.configure("FakeConsoleStatus=" + std::to_string(0x4000 | 0x0123) + "\n");
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), -1);
    EXPECT_EQ(server.newDebugLines(),
              std::vector<std::string>{"Failed to retrieve server tasks. [16675] [291] for databse [mail/a.nsf]"});
    EXPECT_EQ(notestest::fakeConsoleCalls(), 2u);
    EXPECT_TRUE(DominoDbTaskList.empty());
    EXPECT_EQ(notestest::fakeHandlesIssued(), 0u);

    // The longest name that fits is sent.
    server.configure("");
    EXPECT_EQ(isDBMaintananceTaskRunning(std::string(255, 's'), "mail/a.nsf"), 1);
    EXPECT_EQ(notestest::fakeConsoleCalls(), 3u);
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

TEST(MaintenanceTasks, TaskNamesChosenByTheAgentReplaceTheDefaults)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    DominoDbTaskList.push_back("Replicator");
    server.answer(kHeader + "  Database Compactor  Compacting mail/a.nsf\r\n  Replicator  Pulling mail/b.nsf\r\n");

    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), 0);
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/b.nsf"), 1);
    EXPECT_EQ(DominoDbTaskList, std::list<std::string>{"Replicator"});
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

// `unit` repeated until the text holds at least `size` bytes.
std::string repeated(const std::string& unit, size_t size)
{
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    return text;
}

// Answers shaped against a scan that searches each task line again: each is
// looked at in time proportional to its size (milliseconds; the bound only
// catches a scan that grows with the square of a line).
TEST(MaintenanceTasks, HostileAnswerShapesTakeLinearTime)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    constexpr size_t kSize = 4 << 20;
    const struct {
        const char* what;
        std::string answer;
    } shapes[] = {
        {"one line of repeated task names", repeated("Database Compactor Index All Database Fixup ", kSize) + "\r\n"},
        {"no line end, the database before every task name", "mail/a.nsf " + repeated("Database Compactor ", kSize)},
        // A carriage return alone does not end a line.
        {"carriage returns without line feeds", "mail/a.nsf\r" + repeated("  Index All  Idle\r", kSize)},
    };
    for (const auto& shape : shapes) {
        server.answer(shape.answer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), 0) << shape.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << shape.what;
        EXPECT_TRUE(server.newDebugLines().empty()) << shape.what;
    }
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

TEST(MaintenanceTasks, SixtyFourMegabyteAnswer)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    std::string answer = kHeader;
    answer.reserve((64 << 20) + 4096);
    char lines[256];
    for (int user = 0; answer.size() < (64 << 20); ++user) {
        std::snprintf(lines, sizeof lines,
                      "  Database Compactor  Compacting mail/u%07d.nsf\r\n  Index All  Updating mail/u%07d.nsf\r\n",
                      user, user + 1);
        answer += lines;
    }
    server.answer(answer);
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), 0);
    EXPECT_TRUE(server.newDebugLines().empty());

    answer += "  Database Fixup  Checking mail/a.nsf\r\n";
    server.answer(answer);
    EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), 1);
    EXPECT_EQ(server.newDebugLines(), std::vector<std::string>{"Found an active maintenance task [Database Fixup] "
                                                               "running on [mail/a.nsf]. TaskInfo [Database Fixup  "
                                                               "Checking mail/a.nsf]"});
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

// The task line goes into the debug line whole up to 4096 bytes; a longer one
// keeps its beginning up to a character boundary (4096 less room for the
// marker: 4054 bytes at most) and says how much was left out.
TEST(MaintenanceTasks, LoggedTaskLineIsBounded)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    FakeServer server;
    const std::string start = "Database Compactor  Compacting mail/a.nsf ";
    const std::string euro = "\xE2\x82\xAC";
    const std::string atLimit = start + std::string(4096 - start.size(), 'x');
    const std::string overLimit = atLimit + "y";
    // A euro sign over the cut at byte 4054, then 64 MiB.
    const std::string huge = start + std::string(4053 - start.size(), 'x') + euro + std::string(64 << 20, 'z');
    const struct {
        const std::string& line;
        std::string logged;
    } cases[] = {
        {atLimit, atLimit},
        {overLimit, overLimit.substr(0, 4054) + " [... 43 bytes left out]"},
        {huge, huge.substr(0, 4053) + " [... " + std::to_string(huge.size() - 4053) + " bytes left out]"},
    };
    for (const auto& c : cases) {
        server.answer("  " + c.line + "\r\n  Router  Idle\r\n");
        EXPECT_EQ(isDBMaintananceTaskRunning(kServer, "mail/a.nsf"), 1) << c.line.size();
        EXPECT_EQ(server.newDebugLines(),
                  std::vector<std::string>{"Found an active maintenance task [Database Compactor] running on "
                                           "[mail/a.nsf]. TaskInfo [" + c.logged + "]"})
            << c.line.size();
    }
    EXPECT_EQ(notestest::fakeLiveHandles(), 0u);
}

}  // namespace
