// Reading the configuration store: format rules, the length rule of
// getString and its error texts.

#include "KRPlatformInfo.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using lndbtest::SampleInstallation;

std::optional<std::string> lookUp(KRPlatformInfo& store, const std::string& section, const std::string& name)
{
    char buffer[1024];
    unsigned int length = sizeof buffer;
    if (store.getString(section.c_str(), name.c_str(), buffer, &length) == 0)
        return std::nullopt;
    EXPECT_EQ(length, std::strlen(buffer));
    return std::string(buffer, length);
}

TEST(ConfigStoreFormat, LinesAreReadAsTheFormatSays)
{
    SampleInstallation installation;
    lndbtest::writeFile(installation.storePath(),
                        "# comment = not a value\n"
                        "; semicolon = not a value\n"
                        "   \t# indented = not a value\n"
                        "early = before any section\n"
                        "\n"
                        "   \t\n"
                        "[Alpha]\n"
                        "plain = one\n"
                        "  spaced\t=\t  two words \t\n"
                        "crlf = three\r\n"
                        "dup = first\n"
                        "dup = second\n"
                        "empty =\n"
                        "tight=packed\n"
                        "with/slash = 4\n"
                        "with_under.dot = 5\n"
                        "name with blanks = 6\n"
                        "equals = a=b=c\n"
                        "hash = x # not a comment\n"
                        "no equals sign here\n"
                        "= nameless\n"
                        "  [Beta]  \n"
                        "plain = beta\n"
                        "[alpha]\n"
                        "plain = lower case section\n"
                        "[Alpha]\n"
                        "later = back in Alpha\n"
                        "[Gamma\n"
                        "gamma = still in Alpha\n"
                        "[Crlf]\r\n"
                        "\r\n"
                        "v = w\r\n"
                        "[ Spaced ]\n"
                        "inner = section name keeps its inner blanks\n"
                        "last = no final line feed");
    KRPlatformInfo store;

    struct Case {
        const char* section;
        const char* name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"Alpha", "plain", "one"},
        {"Alpha", "spaced", "two words"},
        {"Alpha", "crlf", "three"},
        {"Alpha", "dup", "second"},
        {"Alpha", "empty", ""},
        {"Alpha", "tight", "packed"},
        {"Alpha", "with/slash", "4"},
        {"Alpha", "with_under.dot", "5"},
        {"Alpha", "name with blanks", "6"},
        {"Alpha", "equals", "a=b=c"},
        {"Alpha", "hash", "x # not a comment"},
        {"Alpha", "later", "back in Alpha"},
        {"Alpha", "gamma", "still in Alpha"},
        {"Beta", "plain", "beta"},
        {"alpha", "plain", "lower case section"},
        {"Crlf", "v", "w"},
        {" Spaced ", "inner", "section name keeps its inner blanks"},
        {" Spaced ", "last", "no final line feed"},
        // ignored lines and lookups that must miss
        {"Alpha", "# comment", std::nullopt},
        {"Alpha", "; semicolon", std::nullopt},
        {"Alpha", "early", std::nullopt},
        {"", "early", std::nullopt},
        {"Alpha", "no equals sign here", std::nullopt},
        {"Alpha", "", std::nullopt},
        {"Alpha", "PLAIN", std::nullopt},
        {"ALPHA", "plain", std::nullopt},
        {"Alpha", "name  with blanks", std::nullopt},
        {"Alpha", " spaced", std::nullopt},
        {"Gamma", "gamma", std::nullopt},
        {"Spaced", "inner", std::nullopt},
        {"Crlf\r", "v", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("[") + c.section + "] " + c.name);
        EXPECT_EQ(lookUp(store, c.section, c.name), c.expected);
    }
}

TEST(ConfigStoreFormat, BytesBeyondAsciiAreKept)
{
    SampleInstallation installation;
    installation.appendToStore("[Text]\nname = caf\xc3\xa9 \xff\xfe\n");
    KRPlatformInfo store;
    EXPECT_EQ(lookUp(store, "Text", "name"), "caf\xc3\xa9 \xff\xfe");
}

TEST(ConfigStoreRead, ValueMustBeShorterThanTheBuffer)
{
    SampleInstallation installation;
    installation.appendToStore("[S]\nfive = 12345\n");
    KRPlatformInfo store;

    char buffer[16];
    std::memset(buffer, 'X', sizeof buffer);
    unsigned int length = 6;  // five bytes and the NUL
    ASSERT_NE(store.getString("S", "five", buffer, &length), 0);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::string(buffer, 7), std::string("12345\0X", 7));

    for (unsigned int tooShort : {5u, 1u, 0u}) {
        SCOPED_TRACE(tooShort);
        std::memset(buffer, 'X', sizeof buffer);
        length = tooShort;
        EXPECT_EQ(store.getString("S", "five", buffer, &length), 0);
        EXPECT_EQ(length, tooShort);
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'X'));
        EXPECT_EQ(std::string(store.getLastErrorMsg()),
                  "value five in section [S] is too long: 5 bytes for a buffer of " + std::to_string(tooShort));
    }
}

TEST(ConfigStoreRead, FailuresSayWhyInOneLine)
{
    SampleInstallation installation;
    const std::string path = installation.storePath();
    KRPlatformInfo store;

    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* section;
        const char* name;
        std::string expected;
    };
    const Case cases[] = {
        {"name missing", [] {}, "Platform", "Nothing", "no value Nothing in section [Platform] of " + path},
        {"section missing", [] {}, "Nowhere", "OrreryDirectory",
         "no value OrreryDirectory in section [Nowhere] of " + path},
        {"line break in the name", [] {}, "Platform", "a\nb", "no value a?b in section [Platform] of " + path},
        {"file missing", [&] { unlink(path.c_str()); }, "Platform", "OrreryDirectory",
         "configuration store " + path + " does not exist"},
        {"not a regular file", [&] { lndbtest::makeDirs(path); }, "Platform", "OrreryDirectory",
         "cannot read configuration store " + path + ": not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        char buffer[32];
        std::memset(buffer, 'X', sizeof buffer);
        unsigned int length = sizeof buffer;
        EXPECT_EQ(store.getString(c.section, c.name, buffer, &length), 0);
        EXPECT_EQ(std::string(store.getLastErrorMsg()), c.expected);
        EXPECT_EQ(length, sizeof buffer);
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'X'));
    }
}

TEST(ConfigStoreRead, FocusSelectsTheInstanceFile)
{
    SampleInstallation installation("First");
    lndbtest::writeFile(installation.registryDir() + "/Second.ini", "[S]\nv = second\n");
    installation.appendToStore("[S]\nv = first\n");

    KRPlatformInfo store;
    EXPECT_EQ(store.storePath(), installation.storePath());
    EXPECT_EQ(lookUp(store, "S", "v"), "first");
    store.setFocus("Second");
    EXPECT_EQ(store.storePath(), installation.registryDir() + "/Second.ini");
    EXPECT_EQ(lookUp(store, "S", "v"), "second");

    // A focus that would lead out of the registry directory names no store.
    for (const char* bad : {"", ".", "..", "../Second", "a/b"}) {
        SCOPED_TRACE(bad);
        store.setFocus(bad);
        EXPECT_EQ(store.storePath(), "");
        EXPECT_EQ(lookUp(store, "S", "v"), std::nullopt);
        EXPECT_EQ(std::string(store.getLastErrorMsg()),
                  std::string("invalid installation instance name \"") + bad + "\"");
    }
}

TEST(ConfigStoreRead, RegistryDirectoryDefaultsToEtcKragent)
{
    lndbtest::ScopedEnv instance("KR_INSTANCE", "Some");
    for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
        lndbtest::ScopedEnv dir("KR_REGISTRY_DIR", unset);
        EXPECT_EQ(KRPlatformInfo().storePath(), "/etc/kragent/Some.ini");
    }
}

}  // namespace
