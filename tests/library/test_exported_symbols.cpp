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

// Every export is bound to this version node, as the default version ("@@").
constexpr char kVersionNode[] = "LNDB_1.0";

struct DynamicSymbols {
    std::set<std::string> names;        // without their version suffix
    std::set<std::string> unversioned;  // names not bound to the version node
};

DynamicSymbols definedDynamicSymbols(const std::string& library)
{
    const auto result = lndbtest::runCommand("nm -D --defined-only --format=posix " +
                                             lndbtest::shellQuote(library));
    EXPECT_EQ(result.status, 0) << result.err;
    // Linker-made markers of the segments, not names of the library.
    const std::set<std::string> markers = {"__bss_start", "_edata", "_end", "_init", "_fini"};
    const std::string suffix = std::string("@@") + kVersionNode;
    DynamicSymbols symbols;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) {
        std::string name = line.substr(0, line.find(' '));
        // The version node's own definition.
        if (name == kVersionNode)
            continue;
        const size_t at = name.find('@');
        const bool versioned = at != std::string::npos && name.compare(at, std::string::npos, suffix) == 0;
        name = name.substr(0, at);
        // AddressSanitizer adds an ODR indicator beside each exported global.
        const bool sanitizerIndicator = name.rfind("__odr_asan", 0) == 0;
        if (name.empty() || markers.count(name) != 0 || sanitizerIndicator)
            continue;
        symbols.names.insert(name);
        if (!versioned)
            symbols.unversioned.insert(line.substr(0, line.find(' ')));
    }
    return symbols;
}

TEST(ExportedSymbols, ExactlyTheInterface)
{
    const std::set<std::string> expected = expectedSymbols();
    const std::set<std::string> actual = definedDynamicSymbols(LNDB_SHARED_LIBRARY).names;
    ASSERT_FALSE(expected.empty());
    for (const std::string& name : expected)
        EXPECT_TRUE(actual.count(name)) << "not exported: " << name;
    for (const std::string& name : actual)
        EXPECT_TRUE(expected.count(name)) << "exported but not part of the interface: " << name;
}

TEST(ExportedSymbols, EveryExportCarriesTheVersionNode)
{
    const DynamicSymbols symbols = definedDynamicSymbols(LNDB_SHARED_LIBRARY);
    ASSERT_FALSE(symbols.names.empty());
    for (const std::string& name : symbols.unversioned)
        ADD_FAILURE() << "not bound to " << kVersionNode << ": " << name;
}

TEST(ExportedSymbols, SonameIsVersionOne)
{
    const auto result = lndbtest::runCommand("objdump -p " + lndbtest::shellQuote(LNDB_SHARED_LIBRARY));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("SONAME               liblndb.so.1"), std::string::npos) << result.out;
}

}  // namespace
