// The debug hold: a call waits while an operator's hold file exists, and a
// file that anyone could have planted does not stop it.

#include "internal/debug_hold.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using lndbtest::CaptureFd;
using lndbtest::TempDir;

std::string holdMessage(const std::string& path)
{
    return "sleeping: Please remove the file " + path + " to proceed\n";
}

// Runs the hold on `path` with standard output captured. A helper thread
// removes `path` after `removeAfter` (so a hold that should have been ignored
// cannot hang the test); returns what the hold wrote.
std::string holdOutput(const std::string& path, std::chrono::milliseconds removeAfter)
{
    CaptureFd out(1);
    std::atomic<bool> done{false};
    std::thread remover([&] {
        const auto deadline = std::chrono::steady_clock::now() + removeAfter;
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        unlink(path.c_str());
    });
    lndb::waitAtDebugHold(path.c_str());
    done = true;
    remover.join();
    return out.finish();
}

TEST(DebugHold, AbsentFileLetsTheCallGoOnSilently)
{
    TempDir dir;
    EXPECT_EQ(holdOutput(dir / "lndb_debug", std::chrono::milliseconds(0)), "");
}

TEST(DebugHold, PresentFileHoldsUntilRemovedAndSaysSoOnce)
{
    TempDir dir;
    const std::string path = dir / "lndb_debug";
    lndbtest::writeFile(path, "");
    // Long enough for several one-second checks: the message must still be
    // written only once.
    EXPECT_EQ(holdOutput(path, std::chrono::milliseconds(2500)), holdMessage(path));
    EXPECT_FALSE(lndbtest::exists(path));
}

TEST(DebugHold, TheAgentsHoldFileGivesTheExactMessage)
{
    const std::string path = lndb::kDebugHoldPath;
    ASSERT_FALSE(lndbtest::exists(path)) << path << " exists before the test; remove it";
    lndbtest::writeFile(path, "");
    const std::string out = holdOutput(path, std::chrono::milliseconds(1200));
    EXPECT_EQ(out, "sleeping: Please remove the file /tmp/lndb_debug to proceed\n");
    EXPECT_EQ(out.size(), 60u);
}

TEST(DebugHold, PlantedFilesAreIgnored)
{
    TempDir dir;
    const std::string target = dir / "target";
    lndbtest::writeFile(target, "");

    // A symbolic link to a hold-worthy file: not followed, not a hold.
    const std::string link = dir / "link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(holdOutput(link, std::chrono::milliseconds(3000)), "");

    // A directory is not a hold file either.
    const std::string directory = dir / "directory";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    EXPECT_EQ(holdOutput(directory, std::chrono::milliseconds(3000)), "");
    rmdir(directory.c_str());

    // A file of another user (only root can make one here).
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    const std::string foreign = dir / "foreign";
    lndbtest::writeFile(foreign, "");
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(holdOutput(foreign, std::chrono::milliseconds(3000)), "");
}

}  // namespace
