// lndb check on a sample installation with one partition (number 1, user
// nobody): every check passes on the good setup; each broken setup gives
// exactly its FAIL line and status 1; the caller's ids, groups and
// environment stay as they were; the JSON document holds the same verdicts.

#include "check_internal.h"

#include "instance_env_support.h"
#include "notes_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace {

using lndbcheck::CheckRequest;
using lndbtest::makeDirs;
using lndbtest::writeFile;

const uid_t kNobody = getpwnam("nobody")->pw_uid;

// The process's ids, groups, environment and working directory.
std::vector<std::string> callerState()
{
    std::vector<std::string> state;
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    state.push_back("uids " + lndbtest::idTriple(ruid, euid, suid));
    state.push_back("gids " + lndbtest::idTriple(rgid, egid, sgid));
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    state.push_back("groups " + lndbtest::groupList(groups));
    state.push_back("cwd " + std::filesystem::current_path().string());
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    std::sort(variables.begin(), variables.end());
    state.insert(state.end(), variables.begin(), variables.end());
    return state;
}

// A sample installation that passes every check: discovery tools,
// NotesPostInstall, a partition whose data directory and notes.ini are
// nobody's, the fake libnotes.so and res/C in its program directory, and a
// subclient directory.
struct Installation {
    Installation()
    {
        const std::string& root = install.root();
        chmod(root.c_str(), 0755);
        for (const char* tool :
             {"lndbGleaner/nsfScout.exe", "lndbGleaner/nsfdocScout.exe", "lndbGleaner/nsfdbScout",
              "lndbGleaner/nsf6dbScout.exe", "Gleaner/nsfdocScout", "Gleaner/nsfdmScout"}) {
            const std::string path = install.installDir() + "/" + tool;
            makeDirs(path.substr(0, path.rfind('/')));
            writeFile(path, "#!/bin/sh\n", 0755);
        }
        writeFile(script(), "#!/bin/sh\nexit 0\n", 0755);
        makeDirs(data);
        writeFile(notesIni(), "[Notes]\nKeyFileName=server.id\n", 0600);
        chown(data.c_str(), kNobody, static_cast<gid_t>(-1));
        chown(notesIni().c_str(), kNobody, static_cast<gid_t>(-1));
        makeDirs(programFiles() + "/res/C");
        std::filesystem::copy_file(notestest::fakeNotesDir() + "/libnotes.so", library());
        makeDirs(subclient);
        install.appendToStore("[LotusNotesDBAgent]\n" + data + " = 1\nsDominoDataDir_1 = " + data +
                              "\n" + data + "_sDominoHomeDir = " + home +
                              "\nsDominoUser_1 = nobody\n");
        writeFile(install.debugLogPath(), "", 0644);
    }

    std::string script() const { return install.homeDir() + "/NotesPostInstall"; }
    std::string notesIni() const { return data + "/notes.ini"; }
    std::string programFiles() const { return home + "/notes/latest/linux"; }
    std::string library() const { return programFiles() + "/libnotes.so"; }

    struct Outcome {
        int status;
        std::string text;
        std::vector<std::string> lines;
    };

    Outcome check(CheckRequest request, bool json = false) const
    {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        const int status =
            lndbcheck::runCheck(request, json, out, lndbcheck::CheckSettings{holdPath});
        std::fclose(out);
        Outcome outcome{status, std::string(buffer, size), {}};
        std::free(buffer);
        size_t start = 0;
        while (start < outcome.text.size()) {
            const size_t end = outcome.text.find('\n', start);
            outcome.lines.push_back(outcome.text.substr(start, end - start));
            start = end + 1;
        }
        return outcome;
    }

    CheckRequest request() const
    {
        CheckRequest request;
        request.partition = 1;
        request.subclient = subclient;
        return request;
    }

    lndbtest::SampleInstallation install;
    const std::string data = install.root() + "/data/notesdata1";
    const std::string home = install.root() + "/opt/hcl/domino";
    const std::string subclient = install.root() + "/subclient/real";
    const std::string holdPath = install.root() + "/lndb_debug";
};

std::vector<std::string> linesOf(const std::vector<std::string>& lines, const std::string& verdict)
{
    std::vector<std::string> selected;
    for (const std::string& line : lines) {
        if (line.starts_with(verdict))
            selected.push_back(line);
    }
    return selected;
}

TEST(Check, GoodPartitionPassesEveryCheck)
{
    Installation installation;
    const std::vector<std::string> before = callerState();
    const auto outcome = installation.check(installation.request());
    EXPECT_EQ(outcome.status, 0) << outcome.text;
    EXPECT_EQ(linesOf(outcome.lines, "PASS").size(), outcome.lines.size()) << outcome.text;
    // The partition's own checks all ran, as its user.
    for (const std::string& line :
         {std::string("PASS  partition 1: user nobody: uid 65534, gid 65534, groups 65534"),
          "PASS  partition 1: notes.ini " + installation.notesIni() +
              ": readable and writable by user nobody",
          "PASS  partition 1: data directory " + installation.data +
              ": owned by and writable by user nobody",
          "PASS  partition 1: libnotes.so " + installation.library() +
              ": loads as user nobody with all 22 entry points",
          "PASS  subclient directory " + installation.subclient +
              ": a directory, reached through no link of another user"})
        EXPECT_NE(std::find(outcome.lines.begin(), outcome.lines.end(), line), outcome.lines.end())
            << line;
    EXPECT_EQ(callerState(), before);
}

struct BrokenSetup {
    const char* name;
    std::function<void(Installation&, CheckRequest&)> breakIt;
    std::function<std::string(const Installation&)> failLine;
};

const BrokenSetup kBrokenSetups[] = {
    {"notes.ini missing", [](Installation& i, CheckRequest&) { unlink(i.notesIni().c_str()); },
     [](const Installation& i) {
         return "FAIL  partition 1: notes.ini " + i.notesIni() +
                ": missing: the Notes start-up stops here (critical event 0x2A000001) \u2014 fix: "
                "restore "
                "the partition's notes.ini in " +
                i.data;
     }},
    {"notes.ini unreadable by the user",
     [](Installation& i, CheckRequest&) { chown(i.notesIni().c_str(), 0, static_cast<gid_t>(-1)); },
     [](const Installation& i) {
         return "FAIL  partition 1: notes.ini " + i.notesIni() +
                ": not readable or writable by user nobody (mode 0600, owner root) \u2014 fix: "
                "chown nobody " +
                i.notesIni();
     }},
    {"data directory of another owner",
     [](Installation& i, CheckRequest&) { chown(i.data.c_str(), 0, static_cast<gid_t>(-1)); },
     [](const Installation& i) {
         return "FAIL  partition 1: data directory " + i.data +
                ": not owned by user nobody (mode 0755, owner root) \u2014 fix: chown nobody " +
                i.data;
     }},
    {"unknown user",
     [](Installation& i, CheckRequest&) {
         i.install.appendToStore("sDominoUser_1 = lndb-no-such-user\n");
     },
     [](const Installation&) {
         return std::string(
             "FAIL  partition 1: user lndb-no-such-user: no such user \u2014 fix: create the "
             "user, or name the partition's user: lndb config set LotusNotesDBAgent "
             "sDominoUser_1 USER");
     }},
    {"libnotes.so missing", [](Installation& i, CheckRequest&) { unlink(i.library().c_str()); },
     [](const Installation& i) {
         return "FAIL  partition 1: libnotes.so " + i.library() +
                ": missing \u2014 fix: install Domino's program files in " + i.home +
                ", or name the partition's program directory: lndb config set LotusNotesDBAgent " +
                i.data + "_sDominoHomeDir PROGRAMDIR";
     }},
    {"libnotes.so lacking an entry point",
     [](Installation& i, CheckRequest&) {
         std::filesystem::copy_file(notestest::fakeNotesWithoutSearchDir() + "/libnotes.so",
                                    i.library(), std::filesystem::copy_options::overwrite_existing);
     },
     [](const Installation& i) {
         return "FAIL  partition 1: libnotes.so " + i.library() +
                ": lacks 1 of the 22 entry points: NSFSearch \u2014 fix: install a complete Domino "
                "release in " +
                i.home;
     }},
    {"hold file present", [](Installation& i, CheckRequest&) { writeFile(i.holdPath, ""); },
     [](const Installation& i) {
         return "FAIL  debug hold " + i.holdPath +
                ": present: it holds every browse and every Notes start-up \u2014 fix: rm " +
                i.holdPath;
     }},
    {"NotesPostInstall writable by others",
     [](Installation& i, CheckRequest&) { chmod(i.script().c_str(), 0777); },
     [](const Installation& i) {
         return "FAIL  NotesPostInstall " + i.script() +
                ": writable by others (mode 0777, owner root) \u2014 fix: chmod go-w " + i.script();
     }},
    {"subclient directory behind a link of nobody's",
     [](Installation& i, CheckRequest& request) {
         const std::string link = i.install.root() + "/link";
         symlink((i.install.root() + "/subclient").c_str(), link.c_str());
         lchown(link.c_str(), kNobody, static_cast<gid_t>(-1));
         request.subclient = link + "/real";
     },
     [](const Installation& i) {
         return "FAIL  subclient directory " + i.install.root() +
                "/link/real: cannot be handed to the partition's user: " + i.install.root() +
                "/link: a symbolic link owned by uid 65534 (only links that root owns are "
                "followed) \u2014 fix: "
                "name a directory whose path holds no symbolic link that root does not own";
     }},
};

TEST(Check, EachBrokenSetupGivesExactlyItsFailLine)
{
    for (const BrokenSetup& setup : kBrokenSetups) {
        SCOPED_TRACE(setup.name);
        Installation installation;
        CheckRequest request = installation.request();
        setup.breakIt(installation, request);
        const std::vector<std::string> before = callerState();

        const auto text = installation.check(request);
        EXPECT_EQ(text.status, 1);
        EXPECT_EQ(linesOf(text.lines, "FAIL"),
                  std::vector<std::string>{setup.failLine(installation)})
            << text.text;
        EXPECT_EQ(linesOf(text.lines, "WARN"), std::vector<std::string>{}) << text.text;

        // The same verdicts in the JSON document, in the same order.
        const auto json = installation.check(request, true);
        EXPECT_EQ(json.status, 1);
        const nlohmann::json document = nlohmann::json::parse(json.text);
        EXPECT_EQ(document["status"], "fail");
        ASSERT_EQ(document["checks"].size(), text.lines.size());
        for (size_t i = 0; i < text.lines.size(); ++i) {
            const nlohmann::json& entry = document["checks"][i];
            EXPECT_EQ(text.lines[i].substr(0, 4), entry["verdict"].get<std::string>());
            if (entry["verdict"] == "FAIL") {
                const std::string prefix = entry.contains("partition")
                                               ? "partition " + entry["partition"].dump() + ": "
                                               : std::string();
                EXPECT_EQ(text.lines[i], "FAIL  " + prefix + entry["what"].get<std::string>() +
                                             ": " + entry["reason"].get<std::string>() +
                                             " \u2014 fix: " + entry["fix"].get<std::string>());
            }
        }
        EXPECT_EQ(callerState(), before);
    }
}

// Bytes of any kind in a path: the text line shows control bytes escaped,
// the JSON document stays valid.
TEST(Check, HostileBytesAreShownEscapedAndJsonStaysValid)
{
    Installation installation;
    CheckRequest request = installation.request();
    request.subclient = installation.install.root() + "/bad\xff\x1b[2Jdir";
    const auto text = installation.check(request);
    const std::vector<std::string> fails = linesOf(text.lines, "FAIL");
    ASSERT_EQ(fails.size(), 1u) << text.text;
    EXPECT_NE(fails[0].find("/bad\xff\\x1B[2Jdir: cannot be handed"), std::string::npos)
        << fails[0];
    const auto json = installation.check(request, true);
    const nlohmann::json document = nlohmann::json::parse(json.text);
    EXPECT_EQ(document["status"], "fail");
}

// --init and --server start Notes as the agent does, in a child: the PASS
// lines, and for a failed start the library's own reason from the debug log.
TEST(Check, InitStartsNotesAndNamesTheLibrarysReason)
{
    Installation installation;
    lndbtest::ScopedEnv libraryPath("LD_LIBRARY_PATH", "/opt/lib");
    // The fake answers "SHOW TASKS" from the file that notes.ini names.
    const std::string tasks = installation.data + "/show_tasks.txt";
    writeFile(tasks, "  Task                   Description\r\n  Database Server        Idle\r\n");
    writeFile(installation.notesIni(), "[Notes]\nFakeConsoleFile=" + tasks + "\n", 0600);
    chown(installation.notesIni().c_str(), kNobody, static_cast<gid_t>(-1));
    CheckRequest request = installation.request();
    request.server = "Mail01/Acme";
    const std::vector<std::string> before = callerState();
    const auto good = installation.check(request);
    EXPECT_EQ(good.status, 0) << good.text;
    const std::vector<std::string> started = {
        "PASS  partition 1: Notes start-up for " + installation.data +
            ": Notes started as user nobody (Notes' data directory: " + installation.data + ")",
        "PASS  partition 1: server Mail01/Acme: answered the task query"};
    EXPECT_EQ(std::vector<std::string>(good.lines.end() - 2, good.lines.end()), started);

    writeFile(installation.notesIni(), "[Notes]\nFakeInitStatus=421\n", 0600);
    chown(installation.notesIni().c_str(), kNobody, static_cast<gid_t>(-1));
    const auto failed = installation.check(request);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(linesOf(failed.lines, "FAIL"),
              std::vector<std::string>{
                  "FAIL  partition 1: Notes start-up for " + installation.data +
                  ": initializeWithPartition answered false; the debug log " +
                  installation.install.debugLogPath() +
                  " says: Called NotesInitExtended (421). \u2014 fix: correct what the "
                  "debug line names"})
        << failed.text;
    EXPECT_EQ(callerState(), before);
}

// The command: 0 when nothing failed, 1 when a check failed, 2 for a usage
// error (before any check).
TEST(Check, CommandExitStatuses)
{
    Installation installation;
    const std::string lndb = lndbtest::binDir() + "/lndb check --partition 1";
    EXPECT_EQ(lndbtest::runCommand(lndb).status, 0);
    chmod(installation.script().c_str(), 0777);
    const lndbtest::CommandResult failed = lndbtest::runCommand(lndb + " --json");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(nlohmann::json::parse(failed.out)["status"], "fail");
    const lndbtest::CommandResult usage = lndbtest::runCommand(lndb + " --all");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, "");
}

}  // namespace
