// The lndb command's Notes API commands: notes tasks with the fake
// libnotes.so found through --notes-dir, and log redirect.

#include "notes_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using notestest::Partition;

constexpr char kInstance[] = "Inst7";

// An installation whose instance file names kInstance.
class OutputLog : public lndbtest::NamedInstance {
public:
    OutputLog() : NamedInstance(kInstance) {}
};

// The lndb command finds libnotes.so under the program directory named by
// --notes-dir and answers the check with its exit status.
TEST(NotesStartup, LndbTasksCommand)
{
    lndbtest::TempDir answers;
    chmod(answers.path().c_str(), 0755);
    lndbtest::writeFile(answers / "busy", "  Database Compactor  Compacting mail/a.nsf\r\n", 0644);
    Partition partition("", "FakeConsoleFile=" + answers / "busy" + "\n");
    lndbtest::makeDirs(partition.homeDir() + "/notes/latest/linux");
    ASSERT_EQ(symlink((notestest::fakeNotesDir() + "/libnotes.so").c_str(),
                      (partition.homeDir() + "/notes/latest/linux/libnotes.so").c_str()),
              0);
    // Only --notes-dir leads to libnotes.so.
    const lndbtest::ScopedEnv noLibraryPath("LD_LIBRARY_PATH", nullptr);
    // A process that has switched users cannot be inspected by the leak
    // checker at its exit (under the asan preset), so it is left out there.
    const std::string command = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" " + lndbtest::binDir() +
                                "/lndb notes tasks --notes-dir " +
                                lndbtest::shellQuote(partition.homeDir()) + " --instance A --data-dir " +
                                lndbtest::shellQuote(partition.dataDir()) + " --server Mail01/Acme ";

    struct Case {
        const char* database;
        int status;
        const char* printed;
    };
    for (const Case c : {Case{"mail/a.nsf", 0, "isDBMaintananceTaskRunning: 1\n"},
                         Case{"mail/b.nsf", 1, "isDBMaintananceTaskRunning: 0\n"}}) {
        const lndbtest::CommandResult result = lndbtest::runCommand(command + c.database);
        EXPECT_EQ(result.status, c.status) << result.out << result.err;
        EXPECT_EQ(result.out, std::string("loadNotesFunctions: true\ninitializeWithPartition: true\n") +
                                  c.printed);
    }
    lndbtest::writeFile(partition.notesIni(), "FakeConsoleStatus=291\n");
    const lndbtest::CommandResult failed = lndbtest::runCommand(command + "mail/a.nsf");
    EXPECT_EQ(failed.status, 3) << failed.out << failed.err;
    EXPECT_NE(failed.out.find("isDBMaintananceTaskRunning: -1\n"), std::string::npos) << failed.out;
}

TEST(NotesOutputLog, LndbLogRedirect)
{
    OutputLog log;
    const lndbtest::CommandResult result =
        lndbtest::runCommand("cd " + lndbtest::shellQuote(log.workDir()) + " && " + lndbtest::binDir() +
                             "/lndb log redirect");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const std::string lndbLog = log.installation().logDir() + "/lndb_" + kInstance + "_NotesAPI.log";
    const std::regex expected("\n\n===== .* '" + lndbtest::binDir() + "/lndb' \\(pid (\\d+)\\) =====\n"
                              "lndb log redirect: standard output of pid \\1\n"
                              "lndb log redirect: standard error of pid \\1\n");
    EXPECT_TRUE(std::regex_match(lndbtest::readFile(lndbLog), expected)) << lndbtest::readFile(lndbLog);
}

// A log that cannot be opened leaves the streams as they were: exit 1 with
// the library's reason and the debug log's path.
TEST(NotesOutputLog, LndbLogRedirectThatCannotOpenTheLog)
{
    OutputLog log;
    const std::string lndbLog = log.installation().logDir() + "/lndb_" + kInstance + "_NotesAPI.log";
    lndbtest::makeDirs(lndbLog);
    const lndbtest::CommandResult result = lndbtest::runCommand(
        "cd " + lndbtest::shellQuote(log.workDir()) + " && " + lndbtest::lndbCommand("log redirect"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "lndb: DumpFileTimeAndVer failed: DumpFileTimeAndVer() : cannot open '" + lndbLog +
                              "' - 21 (Is a directory); standard output and error left as they were\n"
                              "lndb: debug log: " + log.installation().debugLogPath() + "\n");
}

}  // namespace
