// The parsed-store cache: an unchanged file is not parsed again; any change
// (in place, by rename, within one clock tick, removal) is seen at once; a
// store only some users may read is not answered from the cache to others.
// And the parsed table itself against a plain model of the format.
// White-box: drives the library's store loader compiled into this test.

#include "config_store.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using krlib::loadStore;

std::string valueIn(const krlib::LoadedStore& loaded)
{
    if (!loaded.store)
        return "<" + loaded.error + ">";
    const std::optional<std::string_view> value = loaded.store->find("S", "v");
    return value ? std::string(*value) : "<missing>";
}

// A file whose change time lies well in the past counts as settled: the cache
// trusts it only then (times within a clock tick of a change are ambiguous).
void letSettle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void setModificationTime(const std::string& path, time_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(ConfigStoreCache, UnchangedFileIsParsedOnce)
{
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    lndbtest::writeFile(path, "[S]\nv = 1\n");
    letSettle();
    const auto first = loadStore(path);
    ASSERT_EQ(valueIn(first), "1");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(loadStore(path).store, first.store);
}

TEST(ConfigStoreCache, EachPathHasItsOwnEntry)
{
    lndbtest::TempDir dir;
    lndbtest::writeFile(dir / "a.ini", "[S]\nv = a\n");
    lndbtest::writeFile(dir / "b.ini", "[S]\nv = b\n");
    letSettle();
    const auto a = loadStore(dir / "a.ini");
    const auto b = loadStore(dir / "b.ini");
    EXPECT_EQ(valueIn(a), "a");
    EXPECT_EQ(valueIn(b), "b");
    EXPECT_EQ(loadStore(dir / "a.ini").store, a.store);
    EXPECT_EQ(loadStore(dir / "b.ini").store, b.store);
}

TEST(ConfigStoreCache, RewriteInPlaceWithSameSizeIsSeen)
{
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    lndbtest::writeFile(path, "[S]\nv = 1\n");
    setModificationTime(path, 1'000'000'000);
    letSettle();
    const auto before = loadStore(path);
    ASSERT_EQ(valueIn(before), "1");

    lndbtest::writeFile(path, "[S]\nv = 2\n");
    setModificationTime(path, 1'000'000'001);
    const auto after = loadStore(path);
    EXPECT_EQ(valueIn(after), "2");
    EXPECT_NE(after.store, before.store);
    EXPECT_EQ(valueIn(before), "1") << "a store handed out stays as it was";
}

TEST(ConfigStoreCache, ReplacementByRenameIsSeen)
{
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    lndbtest::writeFile(path, "[S]\nv = 1\n");
    setModificationTime(path, 1'000'000'000);
    letSettle();
    ASSERT_EQ(valueIn(loadStore(path)), "1");

    // Same size, same modification time: only the inode tells them apart.
    lndbtest::writeFile(dir / "new", "[S]\nv = 2\n");
    setModificationTime(dir / "new", 1'000'000'000);
    ASSERT_EQ(std::rename((dir / "new").c_str(), path.c_str()), 0);
    EXPECT_EQ(valueIn(loadStore(path)), "2");
}

TEST(ConfigStoreCache, RewritesWithinOneClockTickAreSeen)
{
    // Two same-size rewrites in place, microseconds apart, usually carry the
    // same inode, size and times: only the settling rule keeps the first
    // parse from being reused for the second content.
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    for (int i = 0; i < 200; ++i) {
        const std::string first = std::to_string(100 + i % 2 * 2);
        const std::string second = std::to_string(101 + i % 2 * 2);
        lndbtest::writeFile(path, "[S]\nv = " + first + "\n");
        ASSERT_EQ(valueIn(loadStore(path)), first) << "round " << i;
        lndbtest::writeFile(path, "[S]\nv = " + second + "\n");
        ASSERT_EQ(valueIn(loadStore(path)), second) << "round " << i;
    }
}

TEST(ConfigStoreCache, JustChangedFileIsParsedAgainUntilItSettles)
{
    // Kernels without fine-grained file times give a change made a moment
    // after a read the same times as the read saw, so a just-changed file is
    // parsed on every read until its change time is safely past. Only
    // attempts whose two reads came within 5 ms of the write count: a slower
    // machine may legitimately have let the file settle already.
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    int counted = 0;
    for (int attempt = 0; attempt < 50 && counted < 5; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        lndbtest::writeFile(path, "[S]\nv = " + std::to_string(attempt) + "\n");
        const auto first = loadStore(path).store;
        const auto second = loadStore(path).store;
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(5))
            continue;
        ++counted;
        EXPECT_NE(first, second) << "attempt " << attempt;
    }
    EXPECT_GT(counted, 0);
    letSettle();
    const auto settled = loadStore(path).store;
    EXPECT_EQ(loadStore(path).store, settled);
}

TEST(ConfigStoreCache, RemovedFileIsNotAnsweredFromTheCache)
{
    lndbtest::TempDir dir;
    const std::string path = dir / "a.ini";
    lndbtest::writeFile(path, "[S]\nv = 1\n");
    letSettle();
    ASSERT_EQ(valueIn(loadStore(path)), "1");
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(valueIn(loadStore(path)), "<configuration store " + path + " does not exist>");
}

TEST(ConfigStoreCache, StoreOthersCannotReadIsOpenedForEachRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to nobody";
    lndbtest::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // nobody may look, not read
    const std::string path = dir / "a.ini";
    lndbtest::writeFile(path, "[S]\nv = 1\n", 0600);
    letSettle();
    ASSERT_EQ(valueIn(loadStore(path)), "1");  // parsed and cached as root
    const int status = lndbtest::runInChild([&] {
        if (setresgid(65534, 65534, -1) != 0 || setresuid(65534, 65534, -1) != 0)
            return 10;
        return valueIn(loadStore(path)) == "<cannot read configuration store " + path + ": Permission denied>"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}

// Many names in sections whose headers come back, each set several times:
// every (section, name) answers its last value, and no other pair answers.
TEST(ConfigStoreTable, LastLineForEachNameWinsAmongManyNames)
{
    std::mt19937 random(7);
    std::map<std::pair<std::string, std::string>, std::string> model;
    std::string text = "before = any section\n";
    std::string section;
    for (int line = 0; line < 60'000; ++line) {
        if (line % 500 == 0) {
            section = "S" + std::to_string(random() % 12);
            text += "[" + section + "]\n";
        }
        const std::string name = "name " + std::to_string(random() % 20'000);
        const std::string value = "v" + std::to_string(line);
        text += "  " + name + "\t=  " + value + " \r\n";
        model[{section, name}] = value;
    }
    const krlib::ConfigStore store(text);
    for (const auto& [key, value] : model) {
        const std::optional<std::string_view> found = store.find(key.first, key.second);
        ASSERT_TRUE(found.has_value()) << key.first << "/" << key.second;
        EXPECT_EQ(*found, value) << key.first << "/" << key.second;
    }
    EXPECT_FALSE(store.find("S12", "name 1").has_value());
    EXPECT_FALSE(store.find("S1", "name 20000").has_value());
    EXPECT_FALSE(store.find("", "before").has_value());
}

// The line count sizes the parse's arrays: it must be exact for any length
// and any spacing of line feeds, including runs longer than one counting
// round.
TEST(ConfigStoreTable, LineFeedsAreCountedExactly)
{
    std::mt19937 random(11);
    for (const size_t length : {0UL, 1UL, 15UL, 16UL, 17UL, 4079UL, 4080UL, 4081UL, 8191UL, 100'000UL}) {
        for (const unsigned everyNth : {1U, 2U, 23U, 5000U}) {
            std::string text(length, 'x');
            for (char& c : text)
                if (random() % everyNth == 0)
                    c = '\n';
            EXPECT_EQ(krlib::StoreText::copyOf(text).lineFeeds(), static_cast<size_t>(std::count(text.begin(), text.end(), '\n')))
                << length << " bytes, one feed in " << everyNth;
        }
    }
}

// A parse reuses the memory of stores parsed before it: nothing of an
// earlier store may show through in a later one.
TEST(ConfigStoreTable, LaterStoreShowsNothingOfAnEarlierOne)
{
    const auto storeOf = [](int values, const std::string& value) {
        std::string text = "[S]\n";
        for (int i = 0; i < values; ++i)
            text += "name" + std::to_string(i) + " = " + value + "\n";
        return std::make_unique<krlib::ConfigStore>(text);
    };
    storeOf(40'000, "earlier").reset();
    const auto later = storeOf(30'000, "later");
    EXPECT_EQ(later->find("S", "name0"), std::optional<std::string_view>("later"));
    EXPECT_EQ(later->find("S", "name29999"), std::optional<std::string_view>("later"));
    EXPECT_FALSE(later->find("S", "name30000").has_value());
    EXPECT_FALSE(later->find("S", "name39999").has_value());
    int listed = 0;
    later->forEach([&](std::string_view, std::string_view, std::string_view value) {
        listed += value == "later" ? 1 : 1000;
    });
    EXPECT_EQ(listed, 30'000);
}

// The store's own pass over the text (sixteen bytes at a time) against the
// line-by-line reading the writer uses: for texts of every shape (names,
// signs, blanks, carriage returns, headers, comments, long and short lines)
// both give the same values.
TEST(ConfigStoreTable, ParseAgreesWithLineByLineReading)
{
    std::mt19937 random(5);
    const std::string alphabet = "ab==  \t\n\n\r[]#;x";
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const size_t length = random() % 600;
        for (size_t i = 0; i < length; ++i)
            text += alphabet[random() % alphabet.size()];
        std::map<std::pair<std::string, std::string>, std::string> expected;
        std::optional<std::string> section;
        krlib::forEachLine(text, [&](const krlib::RawLine& raw) {
            const krlib::ParsedLine line = krlib::parseLine(raw.content);
            if (line.kind == krlib::ParsedLine::Kind::Section)
                section = std::string(line.section);
            else if (line.kind == krlib::ParsedLine::Kind::Value && section)
                expected[{*section, std::string(line.name)}] = std::string(line.value);
        });
        std::map<std::pair<std::string, std::string>, std::string> parsed;
        krlib::ConfigStore(text).forEach([&](std::string_view inSection, std::string_view name, std::string_view value) {
            parsed[{std::string(inSection), std::string(name)}] = std::string(value);
        });
        ASSERT_EQ(parsed, expected) << "text: " << krlib::printable(text);
    }
}

}  // namespace
