// Installation focus, platform directories and invalidKRPlatform.

#include "KRPI.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

using lndbtest::SampleInstallation;

TEST(PlatformFocus, ComesFromKrInstance)
{
    struct Case {
        const char* value;  // null: unset
        const char* expected;
    };
    const Case cases[] = {{nullptr, "Instance001"}, {"", "Instance001"}, {"Instance007", "Instance007"},
                          {" Spaced ", " Spaced "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
        lndbtest::ScopedEnv instance("KR_INSTANCE", c.value);
        EXPECT_EQ(KRPI_Focus::getFocus(), c.expected);
        EXPECT_EQ(KRPI_PlatformBase().focus(), c.expected);
        EXPECT_EQ(KRPI_CommClient().focus(), c.expected);
    }
}

TEST(PlatformDirectories, AnsweredWithoutTrailingSlash)
{
    struct Case {
        const char* stored;
        const char* expected;
    };
    const Case cases[] = {
        {"/opt/kr", "/opt/kr"},   {"/opt/kr/", "/opt/kr"}, {"/opt/kr///", "/opt/kr"},
        {"/", "/"},               {"///", "/"},            {"/opt/with blank/", "/opt/with blank"},
        {"relative/", "relative"}, {"/a//b/", "/a//b"},
    };
    SampleInstallation installation;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::string value = c.stored;
        lndbtest::writeFile(installation.storePath(), "[Platform]\nOrreryDirectory = " + value +
                                                          "\nBaseHomeDirectory = " + value +
                                                          "\nLogFilesDirectory = " + value + "\n");
        auto check = [&](const KRPI_PlatformBase& platform) {
            EXPECT_EQ(platform.getOrreryDirectory(), c.expected);
            EXPECT_EQ(platform.getBaseHomeDirectory(), c.expected);
            EXPECT_EQ(platform.getLogFilesDirectory(), c.expected);
            EXPECT_EQ(platform.invalidKRPlatform(), 0);
        };
        check(KRPI_PlatformBase());
        check(KRPI_CommClient());
    }
}

TEST(PlatformDirectories, EachNameIsReadFromPlatform)
{
    SampleInstallation installation;
    KRPI_PlatformBase platform;
    EXPECT_EQ(platform.getOrreryDirectory(), installation.installDir());
    EXPECT_EQ(platform.getBaseHomeDirectory(), installation.homeDir());
    EXPECT_EQ(platform.getLogFilesDirectory(), installation.logDir());
    EXPECT_EQ(platform.invalidKRPlatform(), 0);
}

TEST(PlatformDirectories, SetFocusSwitchesInstance)
{
    SampleInstallation installation("First");
    lndbtest::writeFile(installation.registryDir() + "/Second.ini",
                        "[Platform]\nOrreryDirectory = /second/install/\n");
    KRPI_CommClient platform;
    EXPECT_EQ(platform.getOrreryDirectory(), installation.installDir());
    platform.setFocus("Second");
    EXPECT_EQ(platform.focus(), "Second");
    EXPECT_EQ(platform.getOrreryDirectory(), "/second/install");
    EXPECT_EQ(platform.getLogFilesDirectory(), "");
    EXPECT_NE(platform.invalidKRPlatform(), 0);
    platform.setFocus("../registry/Second");
    EXPECT_EQ(platform.getOrreryDirectory(), "");
    EXPECT_NE(platform.invalidKRPlatform(), 0);
}

TEST(PlatformDirectories, InvalidWhenTheStoreOrADirectoryIsMissing)
{
    const std::string complete = "OrreryDirectory = /i\nBaseHomeDirectory = /h\nLogFilesDirectory = /l\n";
    struct Case {
        const char* what;
        const char* store;  // null: no file; "<dir>": a directory in its place
        bool invalid;
    };
    const std::string noOrrery = "[Platform]\nBaseHomeDirectory = /h\nLogFilesDirectory = /l\n";
    const std::string noHome = "[Platform]\nOrreryDirectory = /i\nLogFilesDirectory = /l\n";
    const std::string noLogs = "[Platform]\nOrreryDirectory = /i\nBaseHomeDirectory = /h\n";
    const std::string full = "[Platform]\n" + complete;
    const std::string emptyHome = "[Platform]\nOrreryDirectory = /i\nBaseHomeDirectory =\nLogFilesDirectory = /l\n";
    const std::string otherSection = "[platform]\n" + complete;
    const std::string commented = "[Platform]\n#OrreryDirectory = /i\nBaseHomeDirectory = /h\nLogFilesDirectory = /l\n";
    const Case cases[] = {
        {"complete", full.c_str(), false},
        {"no file", nullptr, true},
        {"a directory in the file's place", "<dir>", true},
        {"OrreryDirectory missing", noOrrery.c_str(), true},
        {"BaseHomeDirectory missing", noHome.c_str(), true},
        {"LogFilesDirectory missing", noLogs.c_str(), true},
        {"BaseHomeDirectory empty", emptyHome.c_str(), true},
        {"names in another section", otherSection.c_str(), true},
        {"a name commented out", commented.c_str(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleInstallation installation;
        unlink(installation.storePath().c_str());
        if (c.store != nullptr && std::string(c.store) == "<dir>")
            lndbtest::makeDirs(installation.storePath());
        else if (c.store != nullptr)
            lndbtest::writeFile(installation.storePath(), c.store);
        EXPECT_EQ(KRPI_PlatformBase().invalidKRPlatform() != 0, c.invalid);
        EXPECT_EQ(KRPI_CommClient().invalidKRPlatform() != 0, c.invalid);
    }
}

}  // namespace
