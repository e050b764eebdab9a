// Text and file-name utilities, through the exported interface.

#include "lndb/text_utils.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::unique_ptr<char, decltype(&std::free)> logName(const std::string& path)
{
    return {GetLogFilename(path.c_str()), &std::free};
}

TEST(GetLogFilename, NamesFromPaths)
{
    struct Case {
        std::string path;
        const char* expected;  // null: no name
    };
    const Case cases[] = {
        {"/var/log/backup.log", "backup"},
        {"tool", "tool"},
        {"ab.cd.ef", "ab"},
        {"a.b.c", nullptr},
        {"/opt/agent/ab.", "ab"},
        {"/opt/agent/", nullptr},
        {"/opt/agent/x", nullptr},
        {"/opt/agent/x.log", nullptr},
        {"/opt/agent/.profile", ".profile"},
        {"/opt/agent/.x.log", ".x"},
        {"/opt/agent/...", "..."},
        {"", nullptr},
        {"/", nullptr},
    };
    for (const Case& c : cases) {
        auto name = logName(c.path);
        if (c.expected == nullptr)
            EXPECT_EQ(name, nullptr) << c.path << " gave " << (name ? name.get() : "");
        else if (name == nullptr)
            ADD_FAILURE() << c.path << " gave null, expected " << c.expected;
        else
            EXPECT_STREQ(name.get(), c.expected) << c.path;
    }
}

TEST(GetLogFilename, LeadingDotsStayWithTheName)
{
    // strtok(".", ...) skips the leading dots, so the cut falls after "log":
    // nothing is cut and the whole name stays.
    auto name = logName("/x/..log");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name.get(), "..log");
    auto cut = logName("/x/..ab.c");
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(cut.get(), "..ab");
}

TEST(GetLogFilename, LongPathIsCutAt1023Bytes)
{
    const std::string letters(1500, 'q');
    auto name = logName(letters);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name.get()), std::string(1023, 'q'));

    // A '/' beyond byte 1023 is not seen: the base name starts at the last
    // '/' inside the first 1023 bytes.
    const std::string path = "/dir/" + std::string(1100, 'a') + "/tail";
    auto fromLong = logName(path);
    ASSERT_NE(fromLong, nullptr);
    EXPECT_EQ(std::string(fromLong.get()), std::string(1023 - 5, 'a'));
}

TEST(GetLogFilename, InputIsNotChanged)
{
    const char path[] = "/opt/agent/backup.log";
    char copy[sizeof path];
    std::memcpy(copy, path, sizeof path);
    auto name = logName(copy);
    EXPECT_STREQ(copy, path);
}

TEST(KRNormalizeText, BlanksWhatAFileNameMustNotHold)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a/b:c", "a b c"},
        {"50%", "50 "},
        {"tab\there", "tab here"},
        {"line\nfeed", "line feed"},
        {"\x01\x1f", "  "},
        {"x\xffy", "x y"},
        {"\\/:*?\"<>|%", "          "},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"del\x7f", "del\x7f"},
        {"\x80\xfe", "\x80\xfe"},
        {"keep-these_.,;'!@#$^&()[]{}=+~` ", "keep-these_.,;'!@#$^&()[]{}=+~` "},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        KRNormalizeText(text.data());
        EXPECT_EQ(text, c.out) << "input: " << c.in;
        EXPECT_EQ(text.size(), c.in.size());
    }
}

TEST(KRNormalizeText, NullIsLeftAlone)
{
    KRNormalizeText(nullptr);  // must not crash
    char text[] = "a:b";
    KRNormalizeText(text);
    EXPECT_STREQ(text, "a b");
}

TEST(Strlwr, LowerCasesInPlaceInThePosixLocale)
{
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"ABC-def_GHI1", "abc-def_ghi1"},
        {"", ""},
        {"\xc3\x89T\xc3\x89", "\xc3\x89t\xc3\x89"},  // bytes from 0x80 up stay
        {"@[`{", "@[`{"},                            // neighbours of A-Z and a-z
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        char* result = strlwr(text.data());
        EXPECT_EQ(result, text.data());
        EXPECT_EQ(text, c.out);
    }
}

}  // namespace
