// The lndb command's contract with scripts: exit statuses, the reason on a
// failure, usage errors found before any library call, and --json output
// that parses whatever bytes the store holds.

#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

using lndbtest::runCommand;
using lndbtest::SampleInstallation;
using lndbtest::shellQuote;

const auto lndb = lndbtest::lndbCommand;

TEST(CommandContract, ExitStatusAndWhatStandardErrorSays)
{
    SampleInstallation install;
    // Partition 4 has no notes.ini: the reason is the line before the one
    // that names the critical event.
    const std::string data = install.root() + "/data4";
    lndbtest::makeDirs(data);
    install.appendToStore("[LotusNotesDBAgent]\n" + data + " = 4\nsDominoDataDir_4 = " + data + "\n" + data +
                          "_sDominoHomeDir = /opt/hcl\nsDominoUser_4 = nobody\n");
    struct Case {
        std::string args;
        int status;
        std::string err;
    };
    const std::string debugLog = "lndb: debug log: " + install.debugLogPath() + "\n";
    const Case cases[] = {
        {"text lower -- -ABC", 0, ""},
        {"config get --partition=3 sDominoUser", 1,
         "lndb: sDominoUser_3 not found in section LotusNotesDBAgent (no value sDominoUser_3 in section "
         "[LotusNotesDBAgent] of " + install.storePath() + ")\n" + debugLog},
        {"partition find --instance A --data-dir=/nowhere", 1,
         "lndb: findDataPartition failed: Could not get Domino Data Directory from registry(Partition=0)\n" +
             debugLog},
        {"partition find --instance A --data-dir " + shellQuote(data), 1,
         "lndb: findDataPartition failed: Notes.ini file not found.  Notes initialization will fail.\n" +
             debugLog},
        {"browse --type 51 --type 52 --client c --instance i --seq 1 /p", 2,
         "lndb: --type: At Most 1 required but received 2 (try 'lndb browse --help')\n"},
        {"config get --partition 1 --partition 2 sDominoUser", 2,
         "lndb: --partition: At Most 1 required but received 2 (try 'lndb config get --help')\n"},
        {"text lower --bogus x", 2, "lndb: The following argument was not expected: --bogus (try 'lndb text "
                                    "lower --help')\n"},
    };
    for (const Case& c : cases) {
        const auto result = runCommand(lndb(c.args));
        EXPECT_EQ(result.status, c.status) << c.args << ": " << result.err;
        EXPECT_EQ(result.err, c.err) << c.args;
    }
    // --opt=value is the same as --opt value.
    const auto spelled = runCommand(lndb("browse --type=53 --client=c --instance=i --seq=1 /p"));
    EXPECT_EQ(spelled.status, 0) << spelled.err;
    EXPECT_EQ(spelled.out, "browse result: 0\n");
}

// A missing argument is found before libnotes.so is loaded or anything is
// logged: the debug log stays empty.
TEST(CommandContract, UsageCheckedBeforeAnyLibraryCall)
{
    SampleInstallation install;
    for (const char* args : {"notes tasks --instance A --data-dir /d mail/a.nsf",
                             "notes tasks --instance A --data-dir /d --server S",
                             "notes init --data-dir /d", "partition find --instance A",
                             "notes load --notes-dir"}) {
        const auto result = runCommand(lndb(args));
        EXPECT_EQ(result.status, 2) << args;
        EXPECT_EQ(result.out, "") << args;
        EXPECT_EQ(result.err.rfind("lndb: ", 0), 0u) << args << ": " << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << args << ": " << result.err;
        EXPECT_EQ(install.debugLines(), std::vector<std::string>{}) << args;
    }
}

// Texts holding a quote, a control byte and a byte that is not UTF-8 come
// out as JSON strings; --registry-dir and --instance name the store in place
// of the environment.
TEST(CommandContract, JsonParsesWhateverBytesTheStoreHolds)
{
    SampleInstallation install("Other");
    const std::string odd = "/data/a\"b\x01" "c\xff";
    install.appendToStore("[LotusNotesDBAgent]\nsDominoDataDir_2 = " + odd + "\nsDominoUser_2 = notes\n" +
                          odd + "_sDominoHomeDir = /opt/hcl\nnCount = -7\n");
    const lndbtest::ScopedEnv elsewhere("KR_REGISTRY_DIR", "/nonexistent");
    const lndbtest::ScopedEnv focus("KR_INSTANCE", "Instance001");
    const std::string global = "--registry-dir " + shellQuote(install.registryDir()) + " --instance Other ";
    const std::string replaced = "/data/a\"b\x01" "c\xef\xbf\xbd";  // U+FFFD for the stray byte

    const auto list = runCommand(lndb(global + "partition list --json"));
    ASSERT_EQ(list.status, 0) << list.err;
    const nlohmann::json partitions = nlohmann::json::parse(list.out);
    EXPECT_NE(list.out.find("\\\"b\\u0001c"), std::string::npos) << list.out;
    const nlohmann::json expected = {{"partition", "2"},
                                     {"dataDirectory", replaced},
                                     {"programDirectory", "/opt/hcl"},
                                     {"user", "notes"},
                                     {"notesIni", false}};
    EXPECT_EQ(partitions["store"], install.storePath());
    EXPECT_EQ(partitions["partitions"], nlohmann::json::array({expected}));

    const auto value = runCommand(lndb(global + "config get sDominoDataDir --partition 2 --json"));
    ASSERT_EQ(value.status, 0) << value.err;
    EXPECT_EQ(nlohmann::json::parse(value.out),
              (nlohmann::json{{"name", "sDominoDataDir_2"}, {"type", "text"}, {"value", replaced}}));
    const auto number = runCommand(lndb(global + "config get nCount --json"));
    EXPECT_EQ(nlohmann::json::parse(number.out),
              (nlohmann::json{{"name", "nCount"}, {"type", "int32"}, {"value", -7}}));

    const auto config = runCommand(lndb(global + "config list LotusNotesDBAgent --json"));
    ASSERT_EQ(config.status, 0) << config.err;
    EXPECT_EQ(nlohmann::json::parse(config.out)["sections"]["LotusNotesDBAgent"]["sDominoUser_2"], "notes");
}

}  // namespace
