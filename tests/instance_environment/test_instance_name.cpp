// The installation instance name: ORRERY_INST entries of ../orrery_vm found
// by search, piece-wise reading of long lines, the default name, the path
// next to "/" and to long working directories, and refused buffer sizes.

#include "instance_env_support.h"
#include "test_support.h"

#include "lndb/instance_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::SampleInstallation;
using lndbtest::ScopedCwd;

// The not-found line: it begins with a line break, which the logger writes
// as "\n" so that the line stays one line.
std::string notFoundLine(const std::string& path)
{
    return " \\nInstance name not found in " + path + "  so use Instance001 as default\n";
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class InstanceName : public ::testing::Test {
protected:
    void SetUp() override { lndbtest::makeDirs(cwd); }

    // Writes the instance file next to the working directory and reads the
    // name with `size`.
    bool readWith(const std::string& content, unsigned size, std::string& name)
    {
        lndbtest::writeFile(install.root() + "/orrery_vm", content);
        install.clearDebugLog();
        char out[1100];
        std::memset(out, '#', sizeof out);
        bool result;
        {
            ScopedCwd inside(cwd);
            result = GetInstanceName(out, size);
        }
        name.assign(out, strnlen(out, sizeof out));
        return result;
    }

    SampleInstallation install;
    const std::string cwd = install.root() + "/bin";
    const std::string filePath = cwd + "/../orrery_vm";
};

TEST_F(InstanceName, EntriesAreFoundBySearch)
{
    const std::string tooLongFor40 = "ORRERY_INST=\"" + std::string(40, 'v') + "\"\n";
    struct Case {
        const char* what;
        std::string content;
        unsigned size;
        std::string name;
    };
    const Case cases[] = {
        {"plain", "ORRERY_INST=\"Instance007\"\n", 1024, "Instance007"},
        {"blanks around =", "ORRERY_INST  =   \"Spaced\"\n", 1024, "Spaced"},
        {"after other text", "# ORRERY_INST=\"Commented\"\n", 1024, "Commented"},
        {"longer name", "MY_ORRERY_INSTANCE = \"Prefixed\"\n", 1024, "Prefixed"},
        {"empty value skipped", "ORRERY_INST=\"\"\nORRERY_INST=\"Second\"\n", 1024, "Second"},
        {"no closing quote skipped", "ORRERY_INST=\"Broken\nORRERY_INST=\"Good\"\n", 1024, "Good"},
        {"no = skipped", "ORRERY_INST \"NoEquals\"\nORRERY_INST=\"Good\"\n", 1024, "Good"},
        {"first of two wins", "x=1\nORRERY_INST=\"First\"\nORRERY_INST=\"Second\"\n", 1024, "First"},
        {"value of size or more skipped", tooLongFor40 + "ORRERY_INST=\"Next\"\n", 40, "Next"},
        {"entry in the second piece of a long line",
         std::string(39, '-') + "ORRERY_INST=\"Piece\"\n", 40, "Piece"},
        {"longest value of a piece", "ORRERY_INST=\"" + std::string(25, 'w') + "\"\n", 40,
         std::string(25, 'w')},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_TRUE(readWith(c.content, c.size, name)) << c.what;
        EXPECT_EQ(name, c.name) << c.what;
        EXPECT_TRUE(install.debugLines().empty()) << c.what;
    }
}

TEST_F(InstanceName, FileWithoutAnEntryGivesTheDefaultAndFalse)
{
    for (const std::string content : {"", "# nothing here\nOTHER=\"x\"\n", "ORRERY_INST=\"\"\n"}) {
        std::string name;
        EXPECT_FALSE(readWith(content, 1024, name)) << content;
        EXPECT_EQ(name, "Instance001") << content;
        EXPECT_TRUE(endsWith(lndbtest::readFile(install.debugLogPath()), notFoundLine(filePath)))
            << lndbtest::readFile(install.debugLogPath());
    }
}

TEST_F(InstanceName, MissingFileGivesTheDefaultAndTrue)
{
    char out[32];
    std::memset(out, '#', sizeof out);
    ScopedCwd inside(cwd);
    EXPECT_TRUE(GetInstanceName(out, 12));
    EXPECT_STREQ(out, "Instance001");
    EXPECT_EQ(out[12], '#');
    EXPECT_TRUE(install.debugLines().empty());
}

TEST_F(InstanceName, SizeOutside12To1024IsRefused)
{
    lndbtest::writeFile(install.root() + "/orrery_vm", "ORRERY_INST=\"Named\"\n");
    ScopedCwd inside(cwd);
    for (unsigned size : {0u, 1u, 11u, 1025u, 4096u}) {
        install.clearDebugLog();
        char out[16];
        std::memset(out, '#', sizeof out);
        EXPECT_FALSE(GetInstanceName(out, size)) << size;
        EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#')) << size;
        EXPECT_EQ(install.debugLines(),
                  std::vector<std::string>{"GetInstanceName: refused: buffer size " +
                                           std::to_string(size) + " is outside 12..1024"});
    }
    std::vector<char> out(1024, '#');
    EXPECT_TRUE(GetInstanceName(out.data(), 1024));
    EXPECT_STREQ(out.data(), "Named");
    // 12 is accepted, but its 11-character pieces are too short to hold any
    // entry: the file names no instance.
    std::fill(out.begin(), out.end(), '#');
    EXPECT_FALSE(GetInstanceName(out.data(), 12));
    EXPECT_STREQ(out.data(), "Instance001");
    EXPECT_FALSE(GetInstanceName(nullptr, 1024));
}

TEST_F(InstanceName, WorkingDirectoryThatIsGoneIsUnavailable)
{
    const std::string gone = install.root() + "/gone";
    lndbtest::makeDirs(gone);
    char out[16];
    std::memset(out, '#', sizeof out);
    ScopedCwd inside(gone);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    EXPECT_FALSE(GetInstanceName(out, sizeof out));
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
    EXPECT_EQ(install.debugLines(), std::vector<std::string>{"GetInstanceName()->getcwd() error"});
}

// "<cwd>/../orrery_vm" fits the 1,024-byte path buffer up to a working
// directory of 1,010 characters; a longer one counts as unavailable.
TEST_F(InstanceName, LongWorkingDirectory)
{
    auto directoryOfLength = [&](size_t length) {
        std::string path = install.root() + "/deep";
        while (path.size() < length) {
            // Components of at most 200 characters, none of them empty.
            const size_t remaining = length - path.size();
            size_t take = std::min<size_t>(201, remaining);
            if (remaining - take == 1)
                --take;
            path += "/" + std::string(take - 1, 'd');
        }
        EXPECT_EQ(path.size(), length);
        lndbtest::makeDirs(path);
        return path;
    };
    for (size_t length : {1010u, 1011u, 1023u, 1100u}) {
        const std::string dir = directoryOfLength(length);
        const std::string parent = dir.substr(0, dir.rfind('/'));
        lndbtest::writeFile(parent + "/orrery_vm", "ORRERY_INST=\"Deep\"\n");
        install.clearDebugLog();
        char out[32];
        std::memset(out, '#', sizeof out);
        ScopedCwd inside(dir);
        const bool result = GetInstanceName(out, sizeof out);
        if (length == 1010) {
            EXPECT_TRUE(result);
            EXPECT_STREQ(out, "Deep");
            EXPECT_TRUE(install.debugLines().empty());
        } else {
            EXPECT_FALSE(result) << length;
            EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#')) << length;
            EXPECT_EQ(install.debugLines(),
                      std::vector<std::string>{"GetInstanceName()->getcwd() error"})
                << length;
        }
    }
}

// A working directory of "/" gets no second "/": the path is "/../orrery_vm".
// Seen from inside a chroot, so that the machine's own "/" is left alone.
TEST_F(InstanceName, RootWorkingDirectoryGetsNoSecondSlash)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "chroot needs root";
    const std::string jail = install.root() + "/jail";
    lndbtest::makeDirs(jail);
    lndbtest::writeFile(jail + "/orrery_vm", "no entry\n");
    const lndbtest::ChildOutcome child = lndbtest::runReporting([&](const lndbtest::Report& report) {
        if (chroot(jail.c_str()) != 0 || chdir("/") != 0)
            return 2;
        setenv("KR_DEBUG_LOG", "/debug.log", 1);
        char out[16] = {};
        report.put("result", GetInstanceName(out, sizeof out) ? "true" : "false");
        report.put("name", out);
        return 0;
    });
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child["result"], "false");
    EXPECT_EQ(child["name"], "Instance001");
    EXPECT_TRUE(endsWith(lndbtest::readFile(jail + "/debug.log"), notFoundLine("/../orrery_vm")))
        << lndbtest::readFile(jail + "/debug.log");
}

}  // namespace
