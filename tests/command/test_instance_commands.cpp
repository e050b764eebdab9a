// The lndb command's views of the instance environment: config get,
// instance-name and partition find, each against a sample installation.

#include "instance_env_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace {

using lndbtest::SampleInstallation;

class ConfigValues : public ::testing::Test {
protected:
    void SetUp() override { install.appendToStore(lndbtest::kSampleAgentValues); }
    SampleInstallation install;
};

TEST_F(ConfigValues, LndbConfigGetPrintsTheNamedType)
{
    struct Case {
        const char* args;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"nCount", 1, "", "lndb: nCount: the stored text '12abc' is not a 32-bit number\n"},
        {"nWord", 1, "", "lndb: nWord: the stored text 'abc' is not a 32-bit number\n"},
        {"llNegative", 0, "-42\n", ""},
        {"llBig", 0, "9876543210123\n", ""},
        {"lText", 0, "hello\n", ""},
        {"sDominoUser --partition 3", 0, "three\n", ""},
        {"sDominoUser --partition ''", 0, "empty partition\n", ""},
        {"sDominoUser_3", 0, "three\n", ""},
        {"sMissing", 1, "", "lndb: sMissing not found in section LotusNotesDBAgent"},
        {"sDominoUser --partition 9", 1, "", "lndb: sDominoUser_9 not found in section LotusNotesDBAgent"},
    };
    const std::string debugLog = "lndb: debug log: " + install.debugLogPath() + "\n";
    for (const Case& c : cases) {
        const auto result = lndbtest::runCommand(
            lndbtest::shellQuote(lndbtest::binDir() + "/lndb") + " config get " + c.args);
        EXPECT_EQ(result.status, c.status) << c.args;
        EXPECT_EQ(result.out, c.out) << c.args;
        // A failure names its reason, then the debug log.
        const std::string err = result.err.empty() ? "" : result.err.substr(0, std::strlen(c.err));
        EXPECT_EQ(err, c.err) << c.args;
        if (c.status != 0) {
            EXPECT_TRUE(result.err.ends_with(debugLog)) << c.args << ": " << result.err;
        }
    }
}

class InstanceName : public ::testing::Test {
protected:
    void SetUp() override { lndbtest::makeDirs(cwd); }
    SampleInstallation install;
    const std::string cwd = install.root() + "/bin";
};

TEST_F(InstanceName, LndbInstanceName)
{
    const std::string command = "cd " + lndbtest::shellQuote(cwd) + " && " +
                                lndbtest::shellQuote(lndbtest::binDir() + "/lndb") +
                                " instance-name";
    lndbtest::writeFile(install.root() + "/orrery_vm", "ORRERY_INST=\"FromCommand\"\n");
    auto result = lndbtest::runCommand(command);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "FromCommand\n");

    lndbtest::writeFile(install.root() + "/orrery_vm", "nothing\n");
    result = lndbtest::runCommand(command);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out, "Instance001\n");
}

class PartitionFindCommand : public ::testing::Test, protected lndbtest::SamplePartition {
protected:
    // A process that has changed its user is no longer dumpable, so the
    // sanitizers' leak checker could not attach to it at exit; it is off for
    // the command (the suites check the library's calls for leaks in their
    // children).
    lndbtest::CommandResult find(const std::string& dataDir)
    {
        return lndbtest::runCommand(
            "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 " +
            lndbtest::shellQuote(lndbtest::binDir() + "/lndb") +
            " partition find --instance Instance001 --data-dir " + lndbtest::shellQuote(dataDir));
    }
};

TEST_F(PartitionFindCommand, PrintsThePartitionTheIdsAndTheVariables)
{
    // A data directory the store does not know: exit 1, no directories.
    auto result = find(install.root() + "/data/elsewhere");
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out.rfind("findDataPartition: false\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("LOTUS is not set\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("data directory:"), std::string::npos) << result.out;

    if (geteuid() != 0)
        GTEST_SKIP() << "switching users needs root";
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    result = find(data + "/");
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string gid = std::to_string(nobody->pw_gid);
    for (const std::string& line :
         {std::string("findDataPartition: true\n"), "data directory:    " + data + "\n",
          "program directory: " + home + "\n", "notes.ini:         " + data + "/notes.ini\n",
          "user ids:  real " + uid + ", effective " + uid + ", saved 0\n",
          "group ids: real " + gid + ", effective " + gid + ", saved 0\n",
          "LOTUS=" + home + "\n", "Notes_ExecDirectory=" + home + "/notes/latest/linux\n",
          "NOTES_DATA_DIR=" + data + "\n",
          "LD_LIBRARY_PATH=/opt/lib:" + home + "/notes/latest/linux\n"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "in:\n" << result.out;
}

}  // namespace
