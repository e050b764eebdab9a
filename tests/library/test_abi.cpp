// liblndb.so.1 against its committed ABI baseline (abi/liblndb.abi, written
// by scripts/abi-baseline.sh): abidiff reports any change of an exported
// function, global or of their types, additions included, so none slips in
// unnoticed.

#include "test_support.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <string>

namespace {

using lndbtest::shellQuote;

// abidiff's exit status is a set of bits: 1 tool error, 2 usage error,
// 4 ABI change, 8 incompatible ABI change.
constexpr int kAbidiffFailed = 1 | 2;
constexpr int kAbiChanged = 4;

std::string baselinePath() { return lndbtest::sourceDir() + "/abi/liblndb.abi"; }

lndbtest::CommandResult abidiff(const std::string& baseline)
{
    std::string command = "abidiff ";
    // A sanitizer's own globals beside the library's are not its interface.
    if (LNDB_SANITIZED)
        command += "--suppressions " + shellQuote(lndbtest::sourceDir() + "/abi/sanitizer.suppr") + " ";
    return lndbtest::runCommand(command + shellQuote(baseline) + " " + shellQuote(LNDB_SHARED_LIBRARY) + " 2>&1");
}

bool hasDebugInformation(const std::string& library)
{
    return lndbtest::runCommand("readelf -S " + shellQuote(library) + " | grep -q '\\.debug_info'").status == 0;
}

class Abi : public testing::Test {
protected:
    void SetUp() override
    {
        if (!hasDebugInformation(LNDB_SHARED_LIBRARY))
            GTEST_SKIP() << "the library was built without debug information (-g), which holds the types";
    }
};

TEST_F(Abi, LibraryMatchesTheBaseline)
{
    const lndbtest::CommandResult result = abidiff(baselinePath());
    EXPECT_EQ(result.status, 0) << result.out
                                << "\nAfter a deliberate change of the interface: scripts/abi-baseline.sh";
}

TEST_F(Abi, ChangedTypeOfAGlobalIsCaught)
{
    // A copy of the baseline in which loggingLevel was a long.
    pugi::xml_document baseline;
    ASSERT_TRUE(baseline.load_file(baselinePath().c_str())) << baselinePath();
    const pugi::xml_node longType = baseline.select_node("//type-decl[@name='long int']").node();
    const pugi::xml_node variable = baseline.select_node("//var-decl[@name='loggingLevel']").node();
    ASSERT_TRUE(longType && variable) << "the baseline lacks long int or loggingLevel";
    variable.attribute("type-id").set_value(longType.attribute("id").value());
    lndbtest::TempDir dir;
    const std::string changed = dir / "changed.abi";
    // abidiff tells an ABI file by its first element: no XML declaration.
    ASSERT_TRUE(baseline.save_file(changed.c_str(), "  ", pugi::format_default | pugi::format_no_declaration));

    const lndbtest::CommandResult result = abidiff(changed);
    EXPECT_EQ(result.status & kAbidiffFailed, 0) << result.out;
    EXPECT_NE(result.status & kAbiChanged, 0) << result.out;
    EXPECT_NE(result.out.find("'long int loggingLevel' was changed to 'int loggingLevel'"), std::string::npos)
        << result.out;
}

}  // namespace
