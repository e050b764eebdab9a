// Partition discovery: from the instance string through the four reads to
// notes.ini and the user switch; the failure lines, the critical event and
// the refusals of texts that do not fit.
// Every call runs in a forked child: a successful one switches users.

#include "instance_env_support.h"
#include "test_support.h"

#include "lndb/partition_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using lndbtest::ChildOutcome;
using lndbtest::configReadLines;
using lndbtest::Report;
using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;

using Values = lndbtest::SamplePartition::Values;

constexpr char kDelimiter = '\x12';
// The delimiter as the debug log shows it: control bytes are written escaped.
const std::string kLoggedDelimiter = "\\x12";
constexpr char kNotesIniMissing[] = "Notes.ini file not found.  Notes initialization will fail.";

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(prefix, 0) == 0;
    }));
}

class FindDataPartition : public ::testing::Test, protected lndbtest::SamplePartition {
protected:
    // Calls findDataPartition in a child with "Instance001", 0x12 and
    // `dataDirText` (or `instance` as given when `raw`), and reports the
    // result, the outputs, the ids and the Notes variables.
    ChildOutcome findInChild(const std::string& dataDirText, const char* subclient = nullptr,
                             bool raw = false)
    {
        const std::string instance =
            raw ? dataDirText : std::string("Instance001") + kDelimiter + dataDirText;
        return lndbtest::runReporting([&](const Report& report) {
            std::string text = instance;
            std::string subclientDir = subclient != nullptr ? subclient : "";
            char dataDir[1024], homeDir[1024], notesIni[1100];
            std::memset(dataDir, '#', sizeof dataDir);
            std::memset(homeDir, '#', sizeof homeDir);
            std::memset(notesIni, '#', sizeof notesIni);
            const bool found = findDataPartition(text.data(), dataDir, homeDir, notesIni,
                                                 subclient != nullptr ? subclientDir.data()
                                                                      : nullptr);
            report.put("result", found ? "true" : "false");
            report.put("dataDir", std::string(dataDir, strnlen(dataDir, sizeof dataDir)));
            report.put("homeDir", std::string(homeDir, strnlen(homeDir, sizeof homeDir)));
            report.put("notesIni", std::string(notesIni, strnlen(notesIni, sizeof notesIni)));
            lndbtest::reportCredentials(report);
            for (const char* name : {"LOTUS", "NOTES_DATA_DIR"})
                lndbtest::reportVariable(report, name);
            report.put("leaks", lndbtest::leaksInChild());
            return 0;
        });
    }

    std::vector<std::string> events() const
    {
        return lndbtest::readLines(install.logDir() + "/events.log");
    }
};

TEST_F(FindDataPartition, ResolvesThePartitionAndSwitchesToItsUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "switching users needs root";
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string subclient = install.root() + "/subclient";
    lndbtest::makeDirs(subclient);

    const ChildOutcome child = findInChild(data + "/", subclient.c_str());
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result"], "true");
    EXPECT_EQ(child["dataDir"], data);
    EXPECT_EQ(child["homeDir"], home);
    EXPECT_EQ(child["notesIni"], data + "/notes.ini");
    EXPECT_EQ(child["uids"], lndbtest::idTriple(nobody->pw_uid, nobody->pw_uid, 0));
    EXPECT_EQ(child["LOTUS"], home);
    EXPECT_EQ(child["NOTES_DATA_DIR"], data);

    const std::string e = home + "/notes/latest/linux";
    std::vector<std::string> expected;
    for (const auto& [name, value] : standardValues()) {
        const auto read = configReadLines(name, true, value);
        expected.insert(expected.end(), read.begin(), read.end());
    }
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string gid = std::to_string(nobody->pw_gid);
    expected.insert(expected.end(),
                    {"prepareUnixExecEnv: changed owner of subclient dir '" + subclient +
                         "' to uid(" + uid + ")",
                     "prepareUnixExecEnv: successfully changed user to nobody with egid=" + gid +
                         " and euid=" + uid,
                     "prepareUnixExecEnv: LD_LIBRARY_PATH set to /opt/lib:" + e,
                     "prepareUnixExecEnv: PATH set to " + std::string(std::getenv("PATH")) + ":" +
                         home + "/bin:" + data + ":" + e + ":" + e + "/res/C",
                     "found data directory " + data + ", exe directory " + home +
                         " and notes.ini path " + data + "/notes.ini (Instance001" + kLoggedDelimiter +
                         data + "/)"});
    EXPECT_EQ(install.debugLines(), expected);
    EXPECT_TRUE(events().empty());
}

TEST_F(FindDataPartition, NoDelimiterReadsNothing)
{
    const ChildOutcome child = findInChild("Instance001" + data, nullptr, true);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result"], "false");
    EXPECT_EQ(child["dataDir"], std::string(1024, '#'));
    EXPECT_EQ(install.debugLines(),
              std::vector<std::string>{"No delimiter found in instance name Instance001" + data + "."});
}

TEST_F(FindDataPartition, OnlyTheLastTrailingSlashIsRemoved)
{
    // "<data>//" is looked up as "<data>/", which names no partition.
    const ChildOutcome child = findInChild(data + "//");
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result"], "false");
    const std::vector<std::string> lines = install.debugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "key = LotusNotesDBAgent, valName = " + data + "/");
    EXPECT_TRUE(contains(lines, "Could not get partition number for instance " + data +
                                    "/ from registry. Using default partition number 0"));
}

// Partition 0 when the data directory has none; its notes.ini is missing, so
// the call ends with the critical event and no user switch.
TEST_F(FindDataPartition, DefaultPartitionAndMissingNotesIni)
{
    const std::string other = install.root() + "/data/unnumbered";
    lndbtest::makeDirs(other);
    writeValues({{"sDominoDataDir_0", other},
                 {other + "_sDominoHomeDir", home},
                 {"sDominoUser_0", "nobody"}});
    const ChildOutcome child = findInChild(other);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result"], "false");
    EXPECT_EQ(child["uids"], lndbtest::idTriple(getuid(), geteuid(), geteuid()));
    EXPECT_EQ(child["LOTUS"], "(unset)");

    const std::vector<std::string> lines = install.debugLines();
    EXPECT_TRUE(contains(lines, "Could not get partition number for instance " + other +
                                    " from registry. Using default partition number 0"));
    EXPECT_TRUE(contains(lines, "key = LotusNotesDBAgent, valName = sDominoDataDir_0"));
    EXPECT_TRUE(contains(lines, "key = LotusNotesDBAgent, valName = sDominoUser_0"));
    EXPECT_TRUE(contains(lines, kNotesIniMissing));
    EXPECT_EQ(countStartingWith(lines, "prepareUnixExecEnv"), 0u);

    const std::vector<std::string> raised = events();
    ASSERT_EQ(raised.size(), 1u);
    const std::string tail = " CRITICAL 0x2A000001 0 0";
    EXPECT_TRUE(raised[0].size() > tail.size() &&
                raised[0].compare(raised[0].size() - tail.size(), tail.size(), tail) == 0)
        << raised[0];
}

// The program directory belongs to the stored data directory, not to the
// text of the instance string.
TEST_F(FindDataPartition, ProgramDirectoryOfTheStoredDataDirectory)
{
    const std::string stored = install.root() + "/data/stored";
    const std::string storedHome = install.root() + "/opt/stored";
    writeValues({{data, "5"},
                 {"sDominoDataDir_5", stored},
                 {data + "_sDominoHomeDir", "/wrong"},
                 {stored + "_sDominoHomeDir", storedHome},
                 {"sDominoUser_5", "lndb-test-no-such-user"}});
    lndbtest::makeDirs(stored);
    lndbtest::writeFile(stored + "/notes.ini", "");

    const ChildOutcome child = findInChild(data);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["leaks"], "0");
    EXPECT_EQ(child["result"], "false");
    EXPECT_EQ(child["dataDir"], stored);
    EXPECT_EQ(child["homeDir"], storedHome);
    EXPECT_EQ(child["notesIni"], stored + "/notes.ini");
    const std::vector<std::string> lines = install.debugLines();
    EXPECT_TRUE(contains(lines, "key = LotusNotesDBAgent, valName = " + stored + "_sDominoHomeDir"));
    // The user does not exist: the environment step fails after the lookup.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "prepareUnixExecEnv: getpwnam failed with error=2");
    EXPECT_EQ(lines.back(), "Failed setting unix env for instance Instance001" + kLoggedDelimiter + data +
                                "(user=lndb-test-no-such-user;home=" + storedHome +
                                ";data=" + stored + ")");
}

TEST_F(FindDataPartition, MissingValuesEndTheCall)
{
    struct Case {
        const char* missing;
        std::string lastLine;
    };
    const Case cases[] = {
        {"sDominoDataDir_1", "Could not get Domino Data Directory from registry(Partition=1)"},
        {"_sDominoHomeDir", "Could not get Domino Home Directory from registry"},
        {"sDominoUser_1", "Could not get Domino User from registry(Partition=1)"},
    };
    // Without notes.ini too: a missing user ends the call before notes.ini
    // is looked at.
    unlink((data + "/notes.ini").c_str());
    for (const Case& c : cases) {
        Values values;
        for (const auto& value : standardValues())
            if (value.first.find(c.missing) == std::string::npos)
                values.push_back(value);
        writeValues(values);
        install.clearDebugLog();
        const ChildOutcome child = findInChild(data);
        ASSERT_EQ(child.status, 0) << c.missing;
        EXPECT_EQ(child["leaks"], "0") << c.missing;
        EXPECT_EQ(child["result"], "false") << c.missing;
        const std::vector<std::string> lines = install.debugLines();
        ASSERT_FALSE(lines.empty()) << c.missing;
        EXPECT_EQ(lines.back(), c.lastLine) << c.missing;
        EXPECT_FALSE(contains(lines, kNotesIniMissing)) << c.missing;
    }
    EXPECT_TRUE(events().empty());
}

// Texts that would not fit their buffers are refused with one line that
// names them, before the process changes.
TEST_F(FindDataPartition, TextsThatDoNotFitAreRefused)
{
    const std::string longText = "/" + std::string(1023, 't');            // 1,024 characters
    const std::string longestText = "/" + std::string(1022, 't');         // 1,023
    const std::string storedTooLong = "/" + std::string(1008, 's');       // 1,009: name 1,024
    const std::string storedLongest = "/" + std::string(1007, 's');       // 1,008: name 1,023
    const std::string user64(64, 'u');
    const std::string user63(63, 'u');
    const std::string longHome = "/" + std::string(1004, 'h');
    struct Case {
        const char* what;
        std::string instanceText;
        Values values;
        std::string refusal;  // empty: accepted, and the call goes on to `next`
        std::string next;
    };
    const Case cases[] = {
        {"partition number of 4", data, {{data, "1234"}},
         "findDataPartition: refused: partition number '1234' of " + data +
             " is longer than 3 characters",
         ""},
        {"partition number of 3", data, {{data, "123"}}, "",
         "Could not get Domino Data Directory from registry(Partition=123)"},
        {"user of 64", data,
         {{data, "1"}, {"sDominoDataDir_1", data}, {data + "_sDominoHomeDir", home},
          {"sDominoUser_1", user64}},
         "findDataPartition: refused: user name '" + user64 +
             "' of partition 1 is longer than 63 characters",
         ""},
        {"user of 63", data,
         {{data, "1"}, {"sDominoDataDir_1", data}, {data + "_sDominoHomeDir", home},
          {"sDominoUser_1", user63}},
         "", "prepareUnixExecEnv: getpwnam failed with error=2"},
        {"instance text of 1024", longText, {},
         "findDataPartition: refused: data directory text '" + longText +
             "' of the instance string is longer than 1023 characters",
         ""},
        {"instance text of 1023", longestText, {}, "",
         "key = LotusNotesDBAgent, valName = " + longestText},
        {"stored data directory of 1009", data,
         {{data, "1"}, {"sDominoDataDir_1", storedTooLong}},
         "findDataPartition: refused: stored data directory '" + storedTooLong +
             "' of partition 1 is too long for the value name of its program directory (1024 "
             "bytes)",
         ""},
        {"stored data directory of 1008", data,
         {{data, "1"}, {"sDominoDataDir_1", storedLongest}}, "",
         "key = LotusNotesDBAgent, valName = " + storedLongest + "_sDominoHomeDir"},
        {"stored data directory of 1024", data, {{data, "1"}, {"sDominoDataDir_1", longText}},
         "", "Could not get Domino Data Directory from registry(Partition=1)"},
        // No room for the Notes executable directory: refused by the
        // environment step, before the user lookup.
        {"stored program directory of 1005", data,
         {{data, "1"}, {"sDominoDataDir_1", data}, {data + "_sDominoHomeDir", longHome},
          {"sDominoUser_1", "nobody"}},
         "", "prepareUnixExecEnv: refused: homeDir '" + longHome + "' is longer than 1004 characters"},
    };
    for (const Case& c : cases) {
        writeValues(c.values);
        install.clearDebugLog();
        const ChildOutcome child = findInChild(c.instanceText);
        ASSERT_EQ(child.status, 0) << c.what;
        EXPECT_EQ(child["leaks"], "0") << c.what;
        EXPECT_EQ(child["result"], "false") << c.what;
        EXPECT_EQ(child["uids"], lndbtest::idTriple(getuid(), geteuid(), geteuid())) << c.what;
        EXPECT_EQ(child["LOTUS"], "(unset)") << c.what;
        const std::vector<std::string> lines = install.debugLines();
        ASSERT_FALSE(lines.empty()) << c.what;
        if (!c.refusal.empty()) {
            EXPECT_EQ(lines.back(), c.refusal) << c.what;
            EXPECT_EQ(countStartingWith(lines, "findDataPartition: refused"), 1u) << c.what;
        } else {
            EXPECT_TRUE(contains(lines, c.next)) << c.what;
            EXPECT_EQ(countStartingWith(lines, "findDataPartition: refused"), 0u) << c.what;
        }
    }
    // The instance text that did not fit was not copied anywhere.
    writeValues({});
    EXPECT_EQ(findInChild(longText)["dataDir"], std::string(1024, '#'));
}

}  // namespace
