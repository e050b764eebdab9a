// The one-pass task scan against the scan it replaced (kept here as the
// reference): the same task name and the same line, byte for byte, on answers
// built from line feeds, carriage returns, NULs and overlapping names.

#include "internal/task_scan.h"

#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The scan it replaced: every occurrence of every task name, in list order,
// each followed by a search of its line for the database.
std::optional<lndb::TaskLineMatch> referenceScan(std::string_view answer, std::string_view database,
                                                 const std::list<std::string>& taskNames)
{
    for (const std::string& name : taskNames) {
        if (name.empty())
            continue;
        for (size_t at = answer.find(name); at != std::string_view::npos; at = answer.find(name, at + 1)) {
            size_t end = answer.find('\n', at);
            if (end == std::string_view::npos)
                end = answer.size();
            else if (end > at && answer[end - 1] == '\r')
                --end;
            const std::string_view line = answer.substr(at, end - at);
            if (line.find(database) != std::string_view::npos)
                return lndb::TaskLineMatch{&name, line};
        }
    }
    return std::nullopt;
}

// Same task-name entry and same bytes of the answer, which its first NUL ends.
void expectSameMatch(const std::string& answer, const std::string& database, const std::list<std::string>& names)
{
    const std::optional<lndb::TaskLineMatch> expected = referenceScan(answer.c_str(), database, names);
    const std::optional<lndb::TaskLineMatch> found = lndb::findTaskLine(answer.c_str(), database, names);
    std::string what = "answer [" + answer + "] database [" + database + "] names";
    for (const std::string& name : names)
        what += " [" + name + "]";
    ASSERT_EQ(found.has_value(), expected.has_value()) << what;
    if (!expected)
        return;
    EXPECT_EQ(found->taskName, expected->taskName) << what;
    EXPECT_EQ(found->line.data(), expected->line.data()) << what;
    EXPECT_EQ(found->line.size(), expected->line.size()) << what;
}

TEST(TaskScan, ShapesThatTheLineLogicMustGetRight)
{
    const std::list<std::string> defaults = {"Database Compactor", "Index All", "Database Fixup"};
    struct Case {
        std::string answer;
        std::string database;
        std::list<std::string> names;
    };
    const Case cases[] = {
        {"Index All a.nsf\r\nDatabase Compactor a.nsf\r\n", "a.nsf", defaults},
        {"a.nsf Database Compactor\nIndex All\ra.nsf", "a.nsf", defaults},
        {"Database Compactor a.nsf\r\r\n", "a.nsf\r", defaults},
        {"Database Compactor a.nsf\r\n", "a.nsf\r", defaults},
        {"Database Compactor a.nsf\n", "a.nsf", defaults},
        {"Database Compactor a.ns\nf", "a.nsf", defaults},
        {"Database Compactor x\n", "", defaults},
        {"x\nIndex All", "", {"", "Database Fixup", "Index All"}},
        {"Index All\n", "\n", defaults},
        {"Database Fixup Database Compactor\n", "Database Compactor", defaults},
        {"Database Compactor Index All a.nsf", "All a.nsf", {"Index", "Index All", "Database"}},
        {"abab\nab", "b", {"ab\na", "bab", "\n"}},
        {"x\r\ny", "", {"\n", "\r\n"}},
        {std::string("Index All\0 a.nsf Database Compactor a.nsf", 41), "a.nsf", defaults},
        {std::string("Index All a.nsf\n\0Database Compactor a.nsf", 41), "a.nsf", defaults},
        {"Index All a.nsf" + std::string(70000, 'x') + std::string("\n\0Database Compactor a.nsf", 26), "a.nsf",
         defaults},
        {std::string("Index All\nb\0", 12), "l", {std::string("l\nb\0", 4), "Index"}},
        {"", "a.nsf", defaults},
        {"Database Compactor a.nsf", "a.nsf", {}},
    };
    for (const Case& c : cases)
        expectSameMatch(c.answer, c.database, c.names);
}

TEST(TaskScan, SameAsTheScanItReplacesOnRandomAnswers)
{
    // Few letters, so that names, database and line ends overlap often.
    const std::vector<std::string> pieces = {"a", "b", "ab", "ba", "\r", "\n", "\r\n", "aab", std::string(1, '\0')};
    const std::vector<std::string> namePool = {"ab", "b", "aba", "ba", "\r", "a\nb", "b\r", "", "ab",
                                               std::string("b\0", 2)};
    std::mt19937 random(20240611);
    auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };

    for (int round = 0; round < 200000; ++round) {
        std::string answer;
        for (size_t piece = pick(16); piece > 0; --piece)
            answer += pieces[pick(pieces.size())];
        std::string database;
        for (size_t piece = pick(4); piece > 0; --piece)
            database += pieces[pick(pieces.size())];
        std::list<std::string> names;
        for (size_t name = pick(5); name > 0; --name)
            names.push_back(namePool[pick(namePool.size())]);
        expectSameMatch(answer, database, names);
        if (testing::Test::HasFailure())
            return;
    }
}

// Long lines, a few things planted in them: names, database, line ends and
// NULs, close together around three places of a 192 KiB answer.
TEST(TaskScan, SameAsTheScanItReplacesOnLongAnswers)
{
    constexpr size_t kStretch = 64 * 1024;
    const std::list<std::string> names = {"Database Compactor", "Index All", "Database Fixup"};
    const std::vector<std::string> plants = {"Database Compactor", "Index All", "mail/a.nsf", "mail/a.nsf\r",
                                             "\n", "\r\n", std::string(1, '\0')};
    std::mt19937 random(7);
    for (int round = 0; round < 500; ++round) {
        std::string answer(3 * kStretch + 64, 'x');
        for (int plant = 0; plant < 6; ++plant) {
            const std::string& text = plants[random() % plants.size()];
            const size_t place = kStretch * (1 + random() % 3);
            answer.replace(place - 24 + random() % 48, text.size(), text);
        }
        expectSameMatch(answer, "mail/a.nsf", names);
        if (testing::Test::HasFailure())
            return;
    }
}

}  // namespace
