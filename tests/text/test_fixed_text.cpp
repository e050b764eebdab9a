// FixedText: a text of fixed capacity that refuses, unchanged, what does not
// fit; and the refusal line.

#include "internal/fixed_text.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Text = lndb::FixedText<8>;  // 7 characters and the NUL

TEST(FixedText, ChangesThatDoNotFitLeaveTheTextAsItWas)
{
    struct Case {
        const char* name;
        bool (*change)(Text&);
        bool fits;
        const char* after;
    };
    const Case cases[] = {
        {"append to the capacity", [](Text& t) { return t.append("defg"); }, true, "abcdefg"},
        {"append one byte over", [](Text& t) { return t.append("defgh"); }, false, "abc"},
        {"format to the capacity", [](Text& t) { return t.format("%s", "1234567"); }, true, "1234567"},
        {"format one byte over", [](Text& t) { return t.format("%s", "12345678"); }, false, "abc"},
        {"assign one byte over", [](Text& t) { return t.assign("12345678"); }, false, "abc"},
    };
    for (const Case& c : cases) {
        Text text;
        ASSERT_TRUE(text.assign("abc"));
        EXPECT_EQ(c.change(text), c.fits) << c.name;
        EXPECT_STREQ(text.c_str(), c.after) << c.name;
        EXPECT_EQ(text.size(), std::strlen(c.after)) << c.name;
    }
}

TEST(FixedText, CopyOutWritesNothingWhereTheTextDoesNotFit)
{
    Text text;
    ASSERT_TRUE(text.assign("abcd"));
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(text.copyTo(small, sizeof small));
    EXPECT_EQ(std::string(small, 4), "xxxx");
    char exact[5] = {};
    EXPECT_TRUE(text.copyTo(exact, sizeof exact));
    EXPECT_STREQ(exact, "abcd");
}

TEST(FixedText, FillCutsATextLeftWithoutItsEnd)
{
    Text text;
    EXPECT_EQ(text.fill([](char* buffer, std::size_t size) {
        std::memset(buffer, 'z', size);
        return 7;
    }),
              7);
    EXPECT_STREQ(text.c_str(), "zzzzzzz");
    EXPECT_EQ(text.size(), 7u);
}

TEST(FixedText, RefusalIsOneDebugLineAndFalse)
{
    lndbtest::SampleInstallation install;
    EvEvent log;
    EXPECT_FALSE(lndb::refuse(log, "refused: '%s' does not fit %d bytes", "a\nb", 8));
    EXPECT_EQ(install.debugLines(), std::vector<std::string>{"refused: 'a\\nb' does not fit 8 bytes"});
}

}  // namespace
