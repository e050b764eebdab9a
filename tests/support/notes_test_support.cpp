#include "notes_test_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace notestest {

namespace {
constexpr char kSelectedTest[] = "LNDB_NOTES_TEST_IN_OWN_PROCESS";
// A file the fresh process creates when it runs the body, so that a filter
// that selects nothing cannot pass for a passed test.
constexpr char kRanMarker[] = "LNDB_NOTES_TEST_RAN_MARKER";
}

bool inProcessWithLibraryPath(const std::string& libraryDir)
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    const char* selected = std::getenv(kSelectedTest);
    if (selected != nullptr && name == selected) {
        if (const char* marker = std::getenv(kRanMarker))
            lndbtest::writeFile(marker, name);
        return true;
    }

    lndbtest::TempDir markerDir;
    const std::string marker = markerDir / "ran";

    const int status = lndbtest::runInChild([&] {
        setenv(kSelectedTest, name.c_str(), 1);
        setenv(kRanMarker, marker.c_str(), 1);
        setenv("LD_LIBRARY_PATH", libraryDir.c_str(), 1);
        std::string program = "/proc/self/exe";
        std::string filter = "--gtest_filter=" + name;
        char* argv[] = {program.data(), filter.data(), nullptr};
        execv(program.c_str(), argv);
        return 127;
    });
    EXPECT_EQ(status, 0) << name << " failed in its own process (its output is above)";
    EXPECT_EQ(lndbtest::readFile(marker), name) << name << " did not run in its own process";
    return false;
}

void* loadedNotesSymbol(const char* name)
{
    void* library = dlopen("libnotes.so", RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* address = dlsym(library, name);
    dlclose(library);  // drops only the reference taken here
    return address;
}

void abortMissingHook(const char* name)
{
    std::fprintf(stderr, "the loaded libnotes.so has no test hook %s\n", name);
    std::abort();
}

}  // namespace notestest
