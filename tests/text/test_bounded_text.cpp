// Bounded copies of outside texts: cut at a character boundary, marked with
// what was left out, never longer than the bound.

#include "internal/bounded_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BoundedText, CutsAtCharacterBoundaryAndCountsWhatIsLeftOut)
{
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    struct Case {
        std::string text;
        size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {"short", 64, "short"},
        {std::string(64, 'a'), 64, std::string(64, 'a')},
        // 180 bytes, limit 128: 128 - 42 = 86 kept, 94 left out.
        {std::string(180, 'a'), 128, std::string(86, 'a') + " [... 94 bytes left out]"},
        // The cut would fall inside the euro sign that starts at byte 85.
        {std::string(85, 'a') + euro + std::string(100, 'b'), 128,
         std::string(85, 'a') + " [... 103 bytes left out]"},
        // Bytes that are not UTF-8 are cut where they stand.
        {std::string(200, '\x80'), 128, std::string(86, '\x80') + " [... 114 bytes left out]"},
    };
    for (const Case& c : cases) {
        const std::string bounded = lndb::boundedText(c.text, c.limit);
        EXPECT_EQ(bounded, c.expected) << c.text.size();
        EXPECT_LE(bounded.size(), c.limit);
    }
}

// A text that is only the beginning of a longer one (a runner kept part of an
// output): the marker counts every byte of the whole that is not shown.
TEST(BoundedText, CountsWhatWasLeftOutBeforeItArrived)
{
    struct Case {
        std::string text;
        size_t wholeSize;
        std::string expected;
    };
    const Case cases[] = {
        {std::string(1000, 'a'), 100'000'000, std::string(86, 'a') + " [... 99999914 bytes left out]"},
        // Shorter than the room: all of it is shown, the rest counted.
        {"abc", 5000, "abc [... 4997 bytes left out]"},
        {"abc", 3, "abc"},
        {"abc", 0, "abc"},  // a whole smaller than the text is the text
    };
    for (const Case& c : cases) {
        const std::string bounded = lndb::boundedText(c.text, 128, c.wholeSize);
        EXPECT_EQ(bounded, c.expected) << c.wholeSize;
        EXPECT_LE(bounded.size(), 128u);
    }
}

}  // namespace
