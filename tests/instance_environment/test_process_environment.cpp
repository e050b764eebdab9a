// The Notes process environment: the environment shims, and the switch to a
// Domino user with the Notes variables (as root, in forked children, with
// the machine's own users nobody and root).

#include "instance_env_support.h"
#include "test_support.h"

#include "lndb/process_environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::ChildOutcome;
using lndbtest::Report;
using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;

TEST(EnvironmentShims, GetEnvironmentVariableSizes)
{
    ScopedEnv five("LNDB_TEST_FIVE", "abcde");
    ScopedEnv empty("LNDB_TEST_EMPTY", "");
    ScopedEnv unset("LNDB_TEST_UNSET", nullptr);
    struct Case {
        const char* name;
        unsigned size;
        unsigned result;
        const char* buffer;  // null: untouched
    };
    const Case cases[] = {
        {"LNDB_TEST_UNSET", 16, 0, nullptr},
        {"LNDB_TEST_FIVE", 5, 6, nullptr},
        {"LNDB_TEST_FIVE", 6, 5, "abcde"},
        {"LNDB_TEST_FIVE", 1, 6, nullptr},
        {"LNDB_TEST_EMPTY", 1, 0, ""},
        {"LNDB_TEST_EMPTY", 0, 1, nullptr},
    };
    for (const Case& c : cases) {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(GetEnvironmentVariable(c.name, buffer, c.size), c.result) << c.name << " " << c.size;
        if (c.buffer == nullptr) {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'))
                << c.name << " " << c.size;
        } else {
            EXPECT_STREQ(buffer, c.buffer) << c.name << " " << c.size;
            EXPECT_EQ(buffer[std::strlen(c.buffer) + 1], '#') << "wrote past the terminator";
        }
    }
}

TEST(EnvironmentShims, SetEnvironmentVariable)
{
    ScopedEnv a("LNDB_TEST_SET", nullptr);
    ScopedEnv b("LNDB_TEST_SET_EMPTY", "before");

    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET", "a=b c"), 1);
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET"), "a=b c");
    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET", "second"), 1);
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET"), "second");
    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET_EMPTY", ""), 1);
    ASSERT_NE(std::getenv("LNDB_TEST_SET_EMPTY"), nullptr);
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET_EMPTY"), "");

    // The environment keeps its own copy: the caller's text may go away.
    std::string value = "transient";
    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET", value.c_str()), 1);
    value.assign("overwritten");
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET"), "transient");

    // Names putenv would misread are refused and change nothing.
    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET=x", "y"), 0);
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET"), "transient");
    EXPECT_EQ(SetEnvironmentVariable("", "y"), 0);
    EXPECT_EQ(SetEnvironmentVariable(nullptr, "y"), 0);
    EXPECT_EQ(SetEnvironmentVariable("LNDB_TEST_SET", nullptr), 0);
    EXPECT_STREQ(std::getenv("LNDB_TEST_SET"), "transient");
}

constexpr char kNoSuchUser[] = "lndb-test-no-such-user";

class PrepareUnixExecEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "switching users needs root";
        const struct passwd* entry = getpwnam("nobody");
        ASSERT_NE(entry, nullptr) << "the machine has no user nobody";
        nobodyUid = entry->pw_uid;
        nobodyGid = entry->pw_gid;
        lndbtest::openLogsToEveryone(install);
        lndbtest::makeDirs(subclient, 0755);
    }

    // Calls prepareUnixExecEnv in a child and reports the result, the ids and
    // the five variables. `before` runs first in the child.
    ChildOutcome prepareInChild(const std::string& user, const std::string& homeDir,
                                const char* subclientDir, int calls = 1,
                                const std::function<void()>& before = [] {})
    {
        return lndbtest::runReporting([&](const Report& report) {
            before();
            for (int call = 1; call <= calls; ++call) {
                std::string u = user, h = homeDir, d = data;
                std::string s = subclientDir != nullptr ? subclientDir : "";
                const bool ok = prepareUnixExecEnv(u.data(), h.data(), d.data(),
                                                   subclientDir != nullptr ? s.data() : nullptr);
                report.put("result" + std::to_string(call), ok ? "true" : "false");
            }
            lndbtest::reportCredentials(report);
            for (const char* name :
                 {"LOTUS", "Notes_ExecDirectory", "NOTES_DATA_DIR", "LD_LIBRARY_PATH", "PATH"})
                lndbtest::reportVariable(report, name);
            report.put("leaks", lndbtest::leaksInChild());
            return 0;
        });
    }

    std::string nobodyIds() const { return lndbtest::idTriple(nobodyUid, nobodyUid, 0); }
    std::string nobodyGids() const { return lndbtest::idTriple(nobodyGid, nobodyGid, 0); }
    std::string execDir(const std::string& homeDir) const
    {
        return homeDir + "/notes/latest/linux";
    }
    std::string pathAdditions(const std::string& homeDir) const
    {
        const std::string e = execDir(homeDir);
        return ":" + homeDir + "/bin:" + data + ":" + e + ":" + e + "/res/C";
    }
    struct stat statOf(const std::string& path) const
    {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st;
    }

    SampleInstallation install;
    const std::string home = install.root() + "/opt/hcl/domino";
    const std::string data = install.root() + "/data/notesdata1";
    const std::string subclient = install.root() + "/subclient";
    uid_t nobodyUid = 0;
    gid_t nobodyGid = 0;
    ScopedEnv libraryPath{"LD_LIBRARY_PATH", "/opt/lib"};
    ScopedEnv path{"PATH", "/usr/bin:/bin"};
    ScopedEnv lotus{"LOTUS", nullptr};
    ScopedEnv execDirectory{"Notes_ExecDirectory", nullptr};
    ScopedEnv dataDirectory{"NOTES_DATA_DIR", nullptr};
};

TEST_F(PrepareUnixExecEnv, SwitchesToTheUserAndSetsTheFiveVariables)
{
    const ChildOutcome child = prepareInChild("nobody", home, subclient.c_str());
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result1"], "true");
    // Real and effective ids become the user's; the saved ids stay root's.
    EXPECT_EQ(child["uids"], nobodyIds());
    EXPECT_EQ(child["gids"], nobodyGids());
    EXPECT_EQ(child["groups"], lndbtest::groupsOf("nobody", nobodyGid));
    const std::string e = execDir(home);
    EXPECT_EQ(child["LOTUS"], home);
    EXPECT_EQ(child["Notes_ExecDirectory"], e);
    EXPECT_EQ(child["NOTES_DATA_DIR"], data);
    EXPECT_EQ(child["LD_LIBRARY_PATH"], "/opt/lib:" + e);
    EXPECT_EQ(child["PATH"], "/usr/bin:/bin" + pathAdditions(home));

    const struct stat st = statOf(subclient);
    EXPECT_EQ(st.st_uid, nobodyUid);
    EXPECT_EQ(st.st_gid, nobodyGid);

    const std::vector<std::string> expected = {
        "prepareUnixExecEnv: changed owner of subclient dir '" + subclient + "' to uid(" +
            std::to_string(nobodyUid) + ")",
        "prepareUnixExecEnv: successfully changed user to nobody with egid=" +
            std::to_string(nobodyGid) + " and euid=" + std::to_string(nobodyUid),
        "prepareUnixExecEnv: LD_LIBRARY_PATH set to /opt/lib:" + e,
        "prepareUnixExecEnv: PATH set to /usr/bin:/bin" + pathAdditions(home),
    };
    EXPECT_EQ(install.debugLines(), expected);
}

TEST_F(PrepareUnixExecEnv, SecondCallAppendsAgain)
{
    // root may take its own ids any number of times; nobody could not call
    // a second time (see the initgroups failure below).
    const ChildOutcome child = prepareInChild("root", home, nullptr, 2);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result1"], "true");
    EXPECT_EQ(child["result2"], "true");
    const std::string e = execDir(home);
    EXPECT_EQ(child["LD_LIBRARY_PATH"], "/opt/lib:" + e + ":" + e);
    EXPECT_EQ(child["PATH"], "/usr/bin:/bin" + pathAdditions(home) + pathAdditions(home));
    EXPECT_EQ(child["LOTUS"], home);
    EXPECT_EQ(install.debugLines().size(), 6u);
}

TEST_F(PrepareUnixExecEnv, NoSuchUserChangesNothing)
{
    const ChildOutcome child = prepareInChild(kNoSuchUser, home, subclient.c_str());
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result1"], "false");
    EXPECT_EQ(child["uids"], "0,0,0");
    EXPECT_EQ(child["gids"], "0,0,0");
    EXPECT_EQ(child["LOTUS"], "(unset)");
    EXPECT_EQ(child["LD_LIBRARY_PATH"], "/opt/lib");
    EXPECT_EQ(statOf(subclient).st_uid, 0u);
    EXPECT_EQ(install.debugLines(),
              std::vector<std::string>{"prepareUnixExecEnv: getpwnam failed with error=2"});
}

TEST_F(PrepareUnixExecEnv, InitgroupsFailsOnceTheProcessIsNobody)
{
    const ChildOutcome child = prepareInChild("nobody", home, nullptr, 2);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result1"], "true");
    EXPECT_EQ(child["result2"], "false");
    EXPECT_EQ(child["uids"], nobodyIds());
    // The second call stopped before the variables.
    EXPECT_EQ(child["LD_LIBRARY_PATH"], "/opt/lib:" + execDir(home));
    const std::vector<std::string> lines = install.debugLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "prepareUnixExecEnv: initgroups failed with error=1 notesusr <nobody>");
}

TEST_F(PrepareUnixExecEnv, SubclientDirectoryOwnership)
{
    const std::string missing = install.root() + "/no-such-subclient";
    struct Case {
        const char* what;
        const char* subclientDir;
        std::string ownershipLine;  // empty: none
    };
    const Case cases[] = {
        {"null", nullptr, ""},
        {"missing directory", missing.c_str(),
         "prepareUnixExecEnv: Failed to change ownership for subclientDir '" + missing + "'"},
    };
    for (const Case& c : cases) {
        install.clearDebugLog();
        lndbtest::openLogsToEveryone(install);
        const ChildOutcome child = prepareInChild("nobody", home, c.subclientDir);
        ASSERT_EQ(child.status, 0) << c.what;
        EXPECT_EQ(child["leaks"], "0") << c.what;
        // The user switch happens whatever became of the directory.
        EXPECT_EQ(child["result1"], "true") << c.what;
        EXPECT_EQ(child["uids"], nobodyIds()) << c.what;
        const std::vector<std::string> lines = install.debugLines();
        ASSERT_EQ(lines.size(), c.ownershipLine.empty() ? 3u : 4u) << c.what;
        if (!c.ownershipLine.empty()) {
            EXPECT_EQ(lines[0], c.ownershipLine) << c.what;
        }
        EXPECT_EQ(lines[lines.size() - 3].rfind("prepareUnixExecEnv: successfully changed user", 0),
                  0u)
            << c.what;
    }
    EXPECT_EQ(statOf(subclient).st_uid, 0u) << "no call was given the subclient directory";
}

TEST_F(PrepareUnixExecEnv, SearchPathsMustBeSetAndNotEmpty)
{
    const std::string e = execDir(home);
    struct Case {
        const char* name;
        const char* value;  // null: unset
        std::string lastLine;
        std::string libraryPath;
    };
    const Case cases[] = {
        {"LD_LIBRARY_PATH", nullptr,
         "prepareUnixExecEnv: failed to get length of LD_LIBRARY_PATH env variable", "(unset)"},
        {"LD_LIBRARY_PATH", "", "prepareUnixExecEnv: failed to get length of LD_LIBRARY_PATH env variable",
         ""},
        {"PATH", nullptr, "prepareUnixExecEnv: failed to get length of PATH env variable",
         "/opt/lib:" + e},
        {"PATH", "", "prepareUnixExecEnv: failed to get length of PATH env variable",
         "/opt/lib:" + e},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(c.name) + (c.value == nullptr ? " unset" : " empty");
        install.clearDebugLog();
        lndbtest::openLogsToEveryone(install);
        const ChildOutcome child = prepareInChild("nobody", home, nullptr, 1, [&] {
            if (c.value == nullptr)
                unsetenv(c.name);
            else
                setenv(c.name, c.value, 1);
        });
        ASSERT_EQ(child.status, 0) << what;
        EXPECT_EQ(child["leaks"], "0") << what;
        EXPECT_EQ(child["result1"], "false") << what;
        // Everything before the failing step stays done.
        EXPECT_EQ(child["uids"], nobodyIds()) << what;
        EXPECT_EQ(child["LOTUS"], home) << what;
        EXPECT_EQ(child["Notes_ExecDirectory"], e) << what;
        EXPECT_EQ(child["NOTES_DATA_DIR"], data) << what;
        EXPECT_EQ(child["LD_LIBRARY_PATH"], c.libraryPath) << what;
        const std::vector<std::string> lines = install.debugLines();
        ASSERT_FALSE(lines.empty()) << what;
        EXPECT_EQ(lines.back(), c.lastLine) << what;
    }
}

TEST_F(PrepareUnixExecEnv, ProgramDirectoryMustLeaveRoomForTheExecutableDirectory)
{
    // "<homeDir>/notes/latest/linux" lives in 1,024 bytes: 1,004 characters fit.
    const std::string longest = "/" + std::string(1003, 'h');
    const ChildOutcome fits = prepareInChild("nobody", longest, nullptr);
    ASSERT_EQ(fits.status, 0);
    EXPECT_EQ(fits["leaks"], "0");
    EXPECT_EQ(fits["result1"], "true");
    EXPECT_EQ(fits["Notes_ExecDirectory"].size(), 1023u);
    EXPECT_EQ(fits["Notes_ExecDirectory"], execDir(longest));

    install.clearDebugLog();
    lndbtest::openLogsToEveryone(install);
    const std::string tooLong = longest + "h";
    const ChildOutcome refused = prepareInChild("nobody", tooLong, subclient.c_str());
    ASSERT_EQ(refused.status, 0);
    EXPECT_EQ(refused["leaks"], "0");
    EXPECT_EQ(refused["result1"], "false");
    // Refused before the user lookup: nothing changed.
    EXPECT_EQ(refused["uids"], "0,0,0");
    EXPECT_EQ(refused["LOTUS"], "(unset)");
    EXPECT_EQ(statOf(subclient).st_uid, 0u);
    EXPECT_EQ(install.debugLines(),
              std::vector<std::string>{"prepareUnixExecEnv: refused: homeDir '" + tooLong +
                                       "' is longer than 1004 characters"});
}

}  // namespace
