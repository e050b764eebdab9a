// browse(): the discovery tool of an application type started from the
// install directory with the request on its command line.

#include "lndb/browse.h"

#include "KrProcess.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;

const char* const kLndbGleanerTools[] = {"nsfScout.exe", "nsfdocScout.exe", "nsfdbScout",
                                         "nsf6dbScout.exe"};
const char* const kGleanerTools[] = {"nsfdocScout", "nsfdmScout"};

// Copies the sample discovery tool under every tool name of `installDir`.
void installTools(const std::string& installDir)
{
    const std::string scout = lndbtest::readFile(lndbtest::binDir() + "/sample_scout");
    ASSERT_FALSE(scout.empty());
    lndbtest::makeDirs(installDir + "/lndbGleaner");
    lndbtest::makeDirs(installDir + "/Gleaner");
    for (const char* tool : kLndbGleanerTools)
        lndbtest::writeFile(installDir + "/lndbGleaner/" + tool, scout, 0755);
    for (const char* tool : kGleanerTools)
        lndbtest::writeFile(installDir + "/Gleaner/" + tool, scout, 0755);
}

// The argument vectors the sample tool recorded, in order of the runs.
std::vector<std::vector<std::string>> recordedRuns(const std::string& path)
{
    const std::string text = lndbtest::readFile(path);
    std::vector<std::vector<std::string>> runs;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t countEnd = text.find('\n', pos);
        const int count = std::stoi(text.substr(pos, countEnd - pos));
        pos = countEnd + 1;
        std::vector<std::string> argv;
        for (int i = 0; i < count; ++i) {
            const size_t blank = text.find(' ', pos);
            const size_t length = std::stoul(text.substr(pos, blank - pos));
            argv.push_back(text.substr(blank + 1, length));
            pos = blank + 1 + length + 1;
        }
        runs.push_back(argv);
    }
    return runs;
}

class Browse : public ::testing::Test {
protected:
    void SetUp() override
    {
        installTools(install.installDir());
        lndbtest::makeDirs(install.root() + "/data");
    }

    int callBrowse(std::string& path, long long sequence, std::string client,
                   std::string instance, int appType)
    {
        return browse(path.data(), sequence, client.data(), instance.data(), appType);
    }

    std::vector<std::vector<std::string>> runs() const { return recordedRuns(argvLog); }

    SampleInstallation install;
    std::string argvLog = install.root() + "/argv.log";
    ScopedEnv recordArgv{"LNDB_SCOUT_ARGV_LOG", argvLog.c_str()};
};

TEST_F(Browse, EachApplicationTypeStartsItsTool)
{
    struct Case {
        int appType;
        const char* tool;  // below the install directory
    };
    const Case cases[] = {
        {6, "/lndbGleaner/nsfScout.exe"},    {7, "/lndbGleaner/nsfdocScout.exe"},
        {51, "/lndbGleaner/nsfdbScout"},     {52, "/Gleaner/nsfdocScout"},
        {59, "/lndbGleaner/nsf6dbScout.exe"}, {60, "/lndbGleaner/nsfdocScout.exe"},
        {77, "/lndbGleaner/nsfdbScout"},     {90, "/Gleaner/nsfdmScout"},
    };
    const std::string data = install.root() + "/data";
    for (const Case& c : cases) {
        std::string path = data;
        EXPECT_EQ(callBrowse(path, 7, "client1", "Instance001", c.appType), 0) << c.appType;
    }
    const auto started = runs();
    ASSERT_EQ(started.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::vector<std::string> expected = {
            install.installDir() + cases[i].tool, "-browse",
            "client1|" + std::to_string(cases[i].appType) + "|Instance001|" + data + "|7"};
        EXPECT_EQ(started[i], expected) << cases[i].appType;
    }
}

TEST_F(Browse, LogsTheRequestAndRewritesBackslashes)
{
    std::string path = "C:\\notes\\data\\mail";
    EXPECT_EQ(callBrowse(path, -5, "cl", "inst", 51), 0);
    EXPECT_EQ(path, "C:/notes/data/mail");
    const std::vector<std::string> expected = {
        "[lnBrowse] client[cl], appType[51], instanceName[inst]",
        "[lnBrowse] path = [C:\\notes\\data\\mail], sequenceNumber = -5",
        "Calling [nsfdbScout -browse \"cl|51|inst|C:/notes/data/mail|-5\"]",
    };
    EXPECT_EQ(install.debugLines(), expected);
    // The tool could not read that path and exited 1: still a completed launch.
    ASSERT_EQ(runs().size(), 1u);
    EXPECT_EQ(runs()[0][2], "cl|51|inst|C:/notes/data/mail|-5");
}

TEST_F(Browse, UnknownApplicationTypesStartNothing)
{
    for (int appType : {53, 91, 0, -1}) {
        install.clearDebugLog();
        std::string path = "C:\\data";
        EXPECT_EQ(callBrowse(path, 1, "c", "i", appType), 0);
        EXPECT_EQ(path, "C:\\data");
        const std::vector<std::string> expected = {
            "[lnBrowse] client[c], appType[" + std::to_string(appType) + "], instanceName[i]",
            "[lnBrowse] path = [C:\\data], sequenceNumber = 1",
            "Invalid AppType: " + std::to_string(appType),
        };
        EXPECT_EQ(install.debugLines(), expected);
    }
    EXPECT_TRUE(runs().empty());
}

TEST_F(Browse, FieldsArePutIntoTheCommandLineUnchanged)
{
    struct Case {
        std::string client, instance, path;
        std::string argument;
    };
    const Case cases[] = {
        {"a|b", "in|st", "/x|y", "a|b|51|in|st|/x|y|9"},
        {"c", "i", "", "c|51|i||9"},
    };
    for (const Case& c : cases) {
        install.clearDebugLog();
        std::string path = c.path;
        EXPECT_EQ(callBrowse(path, 9, c.client, c.instance, 51), 0);
        const auto lines = install.debugLines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], "Calling [nsfdbScout -browse \"" + c.argument + "\"]");
    }
}

TEST_F(Browse, MissingToolIsAFailedStart)
{
    unlink((install.installDir() + "/Gleaner/nsfdmScout").c_str());
    std::string path = "/data";
    EXPECT_EQ(callBrowse(path, 3, "c", "i", 90), 3);
    const std::string program = install.installDir() + "/Gleaner/nsfdmScout";
    const std::string full = program + " -browse \"c|90|i|/data|3\"";

    KrProcess probe;
    std::string platformError;
    ASSERT_FALSE(probe.StartProcess(program.c_str(), full.c_str(), &platformError, 0));
    const auto lines = install.debugLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "Could not StartProcess <" + full + "> error: " +
                            platformError.substr(0, 99) + ".");
    EXPECT_TRUE(runs().empty());
}

TEST_F(Browse, OversizedRequestsAreRefusedAndStartNothing)
{
    const std::string data = install.root() + "/data";
    const size_t fixed = ("nsfdbScout -browse \"|51|i|" + data + "|1\"").size();
    std::string path = data;
    EXPECT_EQ(callBrowse(path, 1, std::string(1023 - fixed, 'c'), "i", 51), 0);
    EXPECT_EQ(runs().size(), 1u) << "a command line of 1023 characters fits";

    install.clearDebugLog();
    EXPECT_EQ(callBrowse(path, 1, std::string(1024 - fixed, 'c'), "i", 51), 3);
    auto lines = install.debugLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Browse request refused: the command line does not fit its 1024-byte buffer");
    EXPECT_EQ(runs().size(), 1u);
}

// An install directory whose length makes the program path or the full
// command line overflow its buffer.
TEST(BrowseBuffers, LongInstallDirectoriesAreRefused)
{
    struct Case {
        size_t installLength;
        size_t pathLength;
        const char* line;
    };
    // "nsfdbScout -browse \"c|51|i|<path>|1\"" is 31 characters besides the
    // path; the program path is the install directory, "/lndbGleaner/" (13)
    // and "nsfdbScout" (10).
    const Case cases[] = {
        {1290, 0, "Browse request refused: the program path does not fit its 1296-byte buffer"},
        {1275, 0, "Browse request refused: the program path does not fit its 1296-byte buffer"},
        {1272, 0, nullptr},  // 1272 + 13 + 10 = 1295 characters: fits
        {900, 700, "Browse request refused: the full command line does not fit its 1552-byte buffer"},
    };
    for (const Case& c : cases) {
        SampleInstallation install;
        const std::string longDir = "/" + std::string(c.installLength - 1, 'd');
        install.appendToStore("[Platform]\nOrreryDirectory = " + longDir + "\n");
        std::string path(c.pathLength, 'p');
        std::string client = "c", instance = "i";
        const int result = browse(path.data(), 1, client.data(), instance.data(), 51);
        const auto lines = install.debugLines();
        ASSERT_FALSE(lines.empty());
        if (c.line != nullptr) {
            EXPECT_EQ(result, 3) << c.installLength;
            EXPECT_EQ(lines.back(), c.line) << c.installLength;
        } else {
            // Fits every buffer: the start is tried (and fails: no such tool).
            EXPECT_EQ(result, 3) << c.installLength;
            EXPECT_EQ(lines.back().rfind("Could not StartProcess <" + longDir + "/lndbGleaner/nsfdbScout -browse", 0), 0u)
                << lines.back();
        }
    }
}

TEST(BrowseInstallDirectory, BlankInTheNameStillStartsTheTool)
{
    SampleInstallation install;
    const std::string spaced = install.root() + "/Program Files/agent";
    installTools(spaced);
    install.appendToStore("[Platform]\nOrreryDirectory = " + spaced + "\n");
    const std::string argvLog = install.root() + "/argv.log";
    ScopedEnv record("LNDB_SCOUT_ARGV_LOG", argvLog.c_str());
    std::string path = install.root();
    std::string client = "c", instance = "i";
    EXPECT_EQ(browse(path.data(), 2, client.data(), instance.data(), 52), 0);
    const auto started = recordedRuns(argvLog);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], (std::vector<std::string>{spaced + "/Gleaner/nsfdocScout", "-browse",
                                                    "c|52|i|" + install.root() + "|2"}));
}

}  // namespace
