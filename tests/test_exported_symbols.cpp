// liblndb.so exports exactly the names of its interface: a missing export
// breaks the agent, an extra one leaks an internal into its namespace.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> expectedSymbols()
{
    std::set<std::string> names;
    for (const std::string& line : lndbtest::readLines(LNDB_EXPECTED_SYMBOLS)) {
        if (!line.empty() && line[0] != '#')
            names.insert(line);
    }
    return names;
}

std::set<std::string> definedDynamicSymbols(const std::string& library)
{
    const auto result = lndbtest::runCommand("nm -D --defined-only --format=posix " +
                                             lndbtest::shellQuote(library));
    EXPECT_EQ(result.status, 0) << result.err;
    // Linker-made markers of the segments, not names of the library.
    const std::set<std::string> markers = {"__bss_start", "_edata", "_end", "_init", "_fini"};
    std::set<std::string> names;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) {
        const std::string name = line.substr(0, line.find(' '));
        // AddressSanitizer's one-definition-rule indicators of exported
        // globals (asan preset) are the sanitizer's, not the library's.
        if (!name.empty() && markers.count(name) == 0 && name.rfind("__odr_asan", 0) != 0)
            names.insert(name);
    }
    return names;
}

TEST(ExportedSymbols, ExactlyTheInterface)
{
    const std::set<std::string> expected = expectedSymbols();
    const std::set<std::string> actual = definedDynamicSymbols(LNDB_SHARED_LIBRARY);
    ASSERT_FALSE(expected.empty());
    for (const std::string& name : expected)
        EXPECT_TRUE(actual.count(name)) << "not exported: " << name;
    for (const std::string& name : actual)
        EXPECT_TRUE(expected.count(name)) << "exported but not part of the interface: " << name;
}

TEST(ExportedSymbols, SonameIsVersionOne)
{
    const auto result = lndbtest::runCommand("objdump -p " + lndbtest::shellQuote(LNDB_SHARED_LIBRARY));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("SONAME               liblndb.so.1"), std::string::npos) << result.out;
}

}  // namespace
