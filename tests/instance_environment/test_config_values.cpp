// Typed configuration values: the value-name type rule, partition suffixes,
// the log lines of a read, the registry-style shims, the refusal of names
// that do not fit, and reads while another process rewrites the store.

#include "instance_env_support.h"
#include "test_support.h"

#include "lndb/config_values.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using lndbtest::SampleInstallation;
using lndbtest::configReadLines;

constexpr unsigned char kGuard = 0xAB;

// Storage for a read with guard bytes everywhere, so that the bytes a read
// wrote can be counted.
struct Storage {
    unsigned char bytes[1100];
    Storage() { std::memset(bytes, kGuard, sizeof bytes); }
    size_t written() const
    {
        size_t last = sizeof bytes;
        while (last > 0 && bytes[last - 1] == kGuard)
            --last;
        return last;
    }
    std::int32_t int32() const
    {
        std::int32_t v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
    std::int64_t int64() const
    {
        std::int64_t v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
    std::string text() const { return reinterpret_cast<const char*>(bytes); }
};

class ConfigValues : public ::testing::Test {
protected:
    void SetUp() override { install.appendToStore(lndbtest::kSampleAgentValues); }
    SampleInstallation install;
};

TEST_F(ConfigValues, TypeAndNameFollowTheValueName)
{
    enum Kind { Int32, Int64, Text };
    struct Case {
        const char* valueName;
        const char* partition;
        std::string composed;
        Kind kind;
        long long number;
        std::string text;
        std::string logged;  // the value text as the store holds it
    };
    const Case cases[] = {
        {"nCount", nullptr, "nCount", Int32, 12, "", "12abc"},
        {"nWord", nullptr, "nWord", Int32, 0, "", "abc"},
        {"llBig", nullptr, "llBig", Int64, 9876543210123LL, "", "9876543210123"},
        {"llNegative", nullptr, "llNegative", Int64, -42, "", "-42"},
        {"lText", nullptr, "lText", Text, 0, "hello", "hello"},
        {"sDominoUser", "3", "sDominoUser_3", Text, 0, "three", "three"},
        {"sDominoUser", "", "sDominoUser_", Text, 0, "empty partition", "empty partition"},
        {"sDominoUser", nullptr, "sDominoUser", Text, 0, "bare", "bare"},
        {"/local/notesdata", nullptr, "/local/notesdata", Text, 0, "2", "2"},
    };
    for (const Case& c : cases) {
        install.clearDebugLog();
        Storage out;
        EXPECT_TRUE(GetLndbUnixRegValue(out.bytes, c.valueName, c.partition)) << c.composed;
        switch (c.kind) {
        case Int32:
            EXPECT_EQ(out.written(), 4u) << c.composed;
            EXPECT_EQ(out.int32(), c.number) << c.composed;
            break;
        case Int64:
            EXPECT_EQ(out.written(), 8u) << c.composed;
            EXPECT_EQ(out.int64(), c.number) << c.composed;
            break;
        case Text:
            EXPECT_EQ(out.written(), c.text.size() + 1) << c.composed;
            EXPECT_EQ(out.text(), c.text) << c.composed;
            break;
        }
        EXPECT_EQ(install.debugLines(), configReadLines(c.composed, true, c.logged)) << c.composed;
    }
}

TEST_F(ConfigValues, MissingValueIsFalseWithTheStoresReason)
{
    struct Case {
        const char* valueName;
        const char* partition;
        std::string composed;
        size_t written;  // 0 or the empty text
    };
    const Case cases[] = {
        {"sDominoUser", "4", "sDominoUser_4", 1},
        {"sOnlyElsewhere", nullptr, "sOnlyElsewhere", 1},
        {"nMissing", nullptr, "nMissing", 4},
        {"llMissing", nullptr, "llMissing", 8},
    };
    for (const Case& c : cases) {
        install.clearDebugLog();
        Storage out;
        EXPECT_FALSE(GetLndbUnixRegValue(out.bytes, c.valueName, c.partition)) << c.composed;
        EXPECT_EQ(out.written(), c.written) << c.composed;
        for (size_t i = 0; i < c.written; ++i)
            EXPECT_EQ(out.bytes[i], 0) << c.composed;
        std::vector<std::string> lines = install.debugLines();
        ASSERT_EQ(lines.size(), 4u) << c.composed;
        const std::string lastError = lines.back();
        lines.pop_back();
        EXPECT_EQ(lines, configReadLines(c.composed, false, "")) << c.composed;
        EXPECT_EQ(lastError.rfind("Last Error = ", 0), 0u) << lastError;
        EXPECT_GT(lastError.size(), std::strlen("Last Error = ")) << "no reason given";
    }
}

TEST_F(ConfigValues, NullStorageReadsNothing)
{
    EXPECT_FALSE(GetLndbUnixRegValue(nullptr, "sDominoUser", nullptr));
    EXPECT_EQ(GetRegistryValue("key", "sDominoUser", nullptr, 0), 0);
    EXPECT_TRUE(install.debugLines().empty());
}

TEST_F(ConfigValues, ReadsTheFocusedInstance)
{
    SampleInstallation other("Instance002");
    other.appendToStore("[LotusNotesDBAgent]\nsDominoUser = other user\n");
    Storage out;
    EXPECT_TRUE(GetLndbUnixRegValue(out.bytes, "sDominoUser", nullptr));
    EXPECT_EQ(out.text(), "other user");
    EXPECT_EQ(other.debugLines(), configReadLines("sDominoUser", true, "other user", "Instance002"));
}

TEST_F(ConfigValues, ComposedNameLongerThan1023IsRefused)
{
    const std::string name1021 = "s" + std::string(1020, 'x');
    install.appendToStore("[LotusNotesDBAgent]\n" + name1021 + "_a = longest\n");
    struct Case {
        std::string valueName;
        const char* partition;
        bool read;
    };
    const Case cases[] = {
        {name1021, "a", true},          // 1,023 characters
        {name1021, "ab", false},        // 1,024
        {name1021 + "xyz", nullptr, false},
        {std::string(5000, 's'), "1", false},
    };
    for (const Case& c : cases) {
        install.clearDebugLog();
        Storage out;
        const bool result = GetLndbUnixRegValue(out.bytes, c.valueName.c_str(), c.partition);
        const std::vector<std::string> lines = install.debugLines();
        if (c.read) {
            EXPECT_TRUE(result);
            EXPECT_EQ(out.text(), "longest");
            EXPECT_EQ(lines.size(), 3u);
            continue;
        }
        EXPECT_FALSE(result) << c.valueName.size();
        EXPECT_EQ(out.written(), 0u) << "wrote to out";
        ASSERT_EQ(lines.size(), 1u) << "the store must not be read";
        EXPECT_EQ(lines[0], "GetLndbUnixRegValue: refused: value name '" + c.valueName +
                                "' with partition '" + (c.partition ? c.partition : "(null)") +
                                "' is longer than 1023 characters");
    }
}

TEST_F(ConfigValues, RegistryShims)
{
    Storage out;
    EXPECT_EQ(GetRegistryValue("ignored", "lText", out.bytes, 0), 1);
    EXPECT_EQ(out.text(), "hello");
    EXPECT_EQ(GetRegistryValue(nullptr, "sDominoUser_3", out.bytes, 1024), 1);
    EXPECT_EQ(out.text(), "three");
    EXPECT_EQ(GetRegistryValue(nullptr, "sMissing", out.bytes, 1024), 0);

    // The 32-bit read writes exactly the 4 bytes of the number.
    struct {
        unsigned before = 0xAAAAAAAA;
        unsigned value = 0xBBBBBBBB;
        unsigned after = 0xCCCCCCCC;
    } framed;
    EXPECT_EQ(GetVMRegistryValue("key", "nCount", framed.value), 1);
    EXPECT_EQ(framed.value, 12u);
    EXPECT_EQ(framed.before, 0xAAAAAAAA);
    EXPECT_EQ(framed.after, 0xCCCCCCCC);

    // Any other name would write past the number: refused, nothing written.
    install.clearDebugLog();
    for (const char* name : {"lText", "llBig", "sDominoUser"}) {
        framed.value = 0xBBBBBBBB;
        EXPECT_EQ(GetVMRegistryValue("key", name, framed.value), 0) << name;
        EXPECT_EQ(framed.value, 0xBBBBBBBB) << name;
        EXPECT_EQ(framed.after, 0xCCCCCCCC) << name;
    }
    const std::vector<std::string> lines = install.debugLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "GetVMRegistryValue: refused: value name 'llBig' does not begin with \"n\" "
                        "(a 32-bit number)");
}

TEST_F(ConfigValues, RegistryValueWithAltReadsTwiceOnlyAfterASuccess)
{
    auto readsLogged = [&] {
        size_t reads = 0;
        for (const std::string& line : install.debugLines())
            reads += line.rfind("key = ", 0) == 0;
        return reads;
    };
    Storage out;
    install.clearDebugLog();
    EXPECT_EQ(GetRegistryValueWithAlt("key", "alt", "sMissing", out.bytes, 1024), 0);
    EXPECT_EQ(readsLogged(), 1u);

    install.clearDebugLog();
    EXPECT_EQ(GetRegistryValueWithAlt("key", "alt", "lText", out.bytes, 1024), 1);
    EXPECT_EQ(out.text(), "hello");
    EXPECT_EQ(readsLogged(), 2u);
}

// Readers on eight threads against a writer process that keeps rewriting the
// store: every read sees a whole file, never a half-written one.
TEST(ConfigValuesReliability, ReadersSeeWholeValuesWhileTheStoreIsRewritten)
{
    SampleInstallation install;
    lndbtest::ScopedEnv quiet("KR_DEBUG_LOG", "/dev/null");
    constexpr int kThreads = 8;
    constexpr int kReads = 10000;
    std::string store = "[LotusNotesDBAgent]\nsChurn = start\n";
    for (int t = 0; t < kThreads; ++t)
        store += "sValue_" + std::to_string(t) + " = value " + std::to_string(t) + " " +
                 std::string(200, static_cast<char>('a' + t)) + "\nnNumber_" + std::to_string(t) +
                 " = " + std::to_string(1000 + t) + "\n";
    install.appendToStore(store);

    const std::string stop = install.root() + "/stop";
    const std::string writer = "i=0; while [ ! -e " + lndbtest::shellQuote(stop) +
                               " ]; do i=$((i+1)); " +
                               lndbtest::shellQuote(lndbtest::binDir() + "/lndb") +
                               " config set LotusNotesDBAgent sChurn \"churn $i\" || exit 1; done; "
                               "echo $i";
    lndbtest::CommandResult writes{};
    std::thread writerThread([&] { writes = lndbtest::runCommand(writer); });

    // Start reading once the writer has rewritten the store at least once.
    unsigned char churn[1024] = {};
    for (int i = 0; i < 10000; ++i) {
        GetLndbUnixRegValue(churn, "sChurn", nullptr);
        if (std::strncmp(reinterpret_cast<char*>(churn), "churn ", 6) == 0)
            break;
        usleep(1000);
    }
    EXPECT_EQ(std::strncmp(reinterpret_cast<char*>(churn), "churn ", 6), 0) << "writer never wrote";

    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&, t] {
            const std::string name = "sValue_" + std::to_string(t);
            const std::string expected =
                "value " + std::to_string(t) + " " + std::string(200, static_cast<char>('a' + t));
            const std::string number = "nNumber_" + std::to_string(t);
            for (int i = 0; i < kReads; ++i) {
                char text[1024];
                std::int32_t n = 0;
                if (!GetLndbUnixRegValue(reinterpret_cast<unsigned char*>(text), name.c_str(),
                                         nullptr) ||
                    expected != text)
                    ++failures;
                if (i % 10 == 0 &&
                    (!GetLndbUnixRegValue(reinterpret_cast<unsigned char*>(&n), number.c_str(),
                                          nullptr) ||
                     n != 1000 + t))
                    ++failures;
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    lndbtest::writeFile(stop, "");
    writerThread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(writes.status, 0) << writes.err;
    EXPECT_GT(std::atoi(writes.out.c_str()), 1) << "the store was not rewritten during the reads";
}

}  // namespace
