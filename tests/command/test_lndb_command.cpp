// The lndb command: help at every level, one-line usage errors with exit
// status 2, and the sub-commands of the foundation.

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using lndbtest::runCommand;
using lndbtest::SampleInstallation;
using lndbtest::shellQuote;

const auto lndb = lndbtest::lndbCommand;

size_t countLines(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

TEST(LndbCommand, HelpAtEveryLevel)
{
    for (const char* args : {"--help", "help", "help partition find", "browse --help", "text --help", "text normalize --help",
                             "text lower -h", "text logname --help", "config --help",
                             "config set --help", "config unset --help"}) {
        const auto result = runCommand(lndb(args));
        EXPECT_EQ(result.status, 0) << args << ": " << result.err;
        EXPECT_EQ(result.out.rfind("usage: lndb", 0), 0u) << args << ": " << result.out;
        EXPECT_EQ(result.err, "") << args;
    }
}

TEST(LndbCommand, BadArgumentsGiveOneLineAndStatus2)
{
    struct Case {
        const char* args;
        const char* error;
    };
    const Case cases[] = {
        {"", "lndb: missing command (try 'lndb --help')\n"},
        {"frobnicate", "lndb: unknown command 'frobnicate' (try 'lndb --help')\n"},
        {"text", "lndb: missing command (try 'lndb text --help')\n"},
        {"text upper x", "lndb: unknown command 'upper' (try 'lndb text --help')\n"},
        {"text lower", "lndb: TEXT is required (try 'lndb text lower --help')\n"},
        {"text lower a b", "lndb: The following argument was not expected: b (try 'lndb text lower --help')\n"},
        {"browse --type 51 --client c --instance i /p", "lndb: --seq is required (try 'lndb browse --help')\n"},
        {"browse --type x --client c --instance i --seq 1 /p",
         "lndb: Could not convert: --type = x (try 'lndb browse --help')\n"},
        {"browse --type 51 --client c --instance i --seq 1 --bogus /p",
         "lndb: The following argument was not expected: --bogus (try 'lndb browse --help')\n"},
        {"browse --type 51 --client c --instance i --seq", "lndb: --seq: 1 required SEQ missing (try 'lndb browse --help')\n"},
        {"config set Section name", "lndb: VALUE is required (try 'lndb config set --help')\n"},
        {"help frobnicate", "lndb: unknown command 'lndb frobnicate' (try 'lndb --help')\n"},
    };
    for (const Case& c : cases) {
        const auto result = runCommand(lndb(c.args));
        EXPECT_EQ(result.status, 2) << c.args;
        EXPECT_EQ(result.err, c.error) << c.args;
        EXPECT_EQ(countLines(result.err), 1u) << c.args;
        EXPECT_EQ(result.out, "") << c.args;
    }
}

TEST(LndbCommand, TextUtilities)
{
    struct Case {
        std::string args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {"text normalize " + shellQuote("a/b:c|50%"), 0, "a b c 50 \n"},
        {"text lower ABC-def_GHI1", 0, "abc-def_ghi1\n"},
        {"text logname /var/log/backup.log", 0, "backup\n"},
        {"text logname /opt/agent/x.log", 1, "(null)\n"},
        {"text lower -- --UPPER", 0, "--upper\n"},
    };
    for (const Case& c : cases) {
        const auto result = runCommand(lndb(c.args));
        EXPECT_EQ(result.status, c.status) << c.args << ": " << result.err;
        EXPECT_EQ(result.out, c.out) << c.args;
    }
}

TEST(LndbCommand, BrowsePrintsAndExitsWithTheResult)
{
    SampleInstallation install;  // no discovery tools installed: the start fails
    const auto failed = runCommand(lndb("browse --type 51 --client c --instance i --seq 5 /data"));
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(failed.out, "browse result: 3\n");

    const auto unknown = runCommand(lndb("browse --type 53 --client c --instance i --seq 5 'C:\\x'"));
    EXPECT_EQ(unknown.status, 0) << unknown.err;
    EXPECT_EQ(unknown.out, "browse result: 0\n");
    const auto lines = install.debugLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Invalid AppType: 53");
}

TEST(LndbCommand, ConfigSetAndUnsetWriteTheStore)
{
    SampleInstallation install;
    ASSERT_EQ(runCommand(lndb("config set LotusNotesDBAgent sDominoUser_1 notes")).status, 0);
    ASSERT_EQ(runCommand(lndb("config set LotusNotesDBAgent " + shellQuote("/data/a b") + " 1")).status, 0);
    std::string store = lndbtest::readFile(install.storePath());
    EXPECT_NE(store.find("[LotusNotesDBAgent]\n"), std::string::npos) << store;
    EXPECT_NE(store.find("sDominoUser_1 = notes\n"), std::string::npos) << store;
    EXPECT_NE(store.find("/data/a b = 1\n"), std::string::npos) << store;
    EXPECT_EQ(store.rfind("[Platform]\n", 0), 0u) << "the rest of the store stays: " << store;

    ASSERT_EQ(runCommand(lndb("config unset LotusNotesDBAgent sDominoUser_1")).status, 0);
    store = lndbtest::readFile(install.storePath());
    EXPECT_EQ(store.find("sDominoUser_1"), std::string::npos) << store;
    EXPECT_NE(store.find("/data/a b = 1\n"), std::string::npos) << store;

    const auto refused = runCommand(lndb("config set LotusNotesDBAgent " + shellQuote("a=b") + " 1"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(countLines(refused.err), 1u) << refused.err;
    EXPECT_EQ(refused.err.rfind("lndb: ", 0), 0u) << refused.err;
}

}  // namespace
