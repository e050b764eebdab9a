// initializeWithPartition with the fake libnotes.so on a partition of a
// sample installation. Each start-up switches the process to the system's
// user nobody, so it runs in a forked child (we are root).

#include "lndb/notes_entry_table.h"
#include "lndb/notes_startup.h"

#include "notes_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using notestest::kDirectoryFromNotes;
using notestest::Partition;

uid_t nobodyUid()
{
    const struct passwd* entry = getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 0;
}

// Runs the start-up in a forked child; `check` tests its outcome there.
int startInChild(const std::string& instance, const std::function<void(bool, const char*)>& check)
{
    return lndbtest::runInChild([&] {
        EXPECT_TRUE(loadNotesFunctions());
        std::string text = instance;
        char dataDir[1024] = {};
        const bool started = initializeWithPartition(text.data(), dataDir, nullptr);
        check(started, dataDir);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

std::vector<std::string> tail(const std::vector<std::string>& lines, size_t count)
{
    return {lines.end() - static_cast<long>(std::min(count, lines.size())), lines.end()};
}

TEST(NotesStartup, StartsThePartition)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    Partition partition;
    const std::string instance = "A\x12" + partition.dataDir();

    const int status = startInChild(instance, [&](bool started, const char* dataDir) {
        EXPECT_TRUE(started);
        EXPECT_TRUE(notesAPIInitialized);
        EXPECT_STREQ(g_lnInstanceName, "A");
        EXPECT_EQ(sNotesIniPath, partition.notesIni());
        EXPECT_EQ(sServerIDPath, "server.id");
        EXPECT_STREQ(noteInitArgv[0], partition.homeDir().c_str());
        EXPECT_EQ(std::string(noteInitArgv[1]), "=" + partition.notesIni());
        EXPECT_STREQ(dataDir, kDirectoryFromNotes);  // replaced by the Notes variable
        EXPECT_EQ(notestest::fakeInitRecord(), "argc=3 argv[0]=" + partition.homeDir() +
                                                   " argv[1]==" + partition.notesIni() +
                                                   " argv[2]=(null)");
        EXPECT_EQ(geteuid(), nobodyUid());
    });
    EXPECT_EQ(status, 0);
    const std::vector<std::string> lines = partition.debugLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Calling NotesInitExtended."), 1);
    EXPECT_EQ(tail(lines, 3), (std::vector<std::string>{
                                  "Calling NotesInitExtended.", "Called NotesInitExtended (0).",
                                  std::string("confirmed data directory ") + kDirectoryFromNotes + "."}));
}

TEST(NotesStartup, NotesInitExtendedFails)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    Partition partition("", "FakeInitStatus=421\n");

    const int status = startInChild("A\x12" + partition.dataDir(), [&](bool started, const char*) {
        EXPECT_FALSE(started);
        EXPECT_FALSE(notesAPIInitialized);
        // Set before the call; the rest keeps its value at load.
        EXPECT_EQ(sNotesIniPath, partition.notesIni());
        EXPECT_EQ(std::string(noteInitArgv[1]), "=" + partition.notesIni());
        EXPECT_STREQ(g_lnInstanceName, "");
        EXPECT_EQ(sServerIDPath, "");
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tail(partition.debugLines(), 2),
              (std::vector<std::string>{"Calling NotesInitExtended.", "Called NotesInitExtended (421)."}));
}

TEST(NotesStartup, InstanceNameSplit)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    // A first byte 0x12 is skipped in the search but kept in the copy.
    {
        Partition partition;
        const std::string instance = "\x12" + partition.dataDir();
        EXPECT_EQ(startInChild(instance, [&](bool started, const char*) {
                      EXPECT_TRUE(started);
                      EXPECT_EQ(std::string(g_lnInstanceName), instance);
                  }),
                  0);
    }
    // Nothing but 0x12 bytes: found as partition 0, Notes started, no name.
    {
        Partition partition("", "", "0");
        EXPECT_EQ(startInChild("\x12\x12", [&](bool started, const char* dataDir) {
                      EXPECT_FALSE(started);
                      EXPECT_TRUE(notesAPIInitialized);
                      EXPECT_STREQ(g_lnInstanceName, "");
                      EXPECT_EQ(sServerIDPath, "");
                      EXPECT_EQ(sNotesIniPath, partition.notesIni());
                      EXPECT_EQ(std::string(dataDir), partition.dataDir());
                  }),
                  0);
        EXPECT_EQ(tail(partition.debugLines(), 2),
                  (std::vector<std::string>{"Called NotesInitExtended (0).",
                                            // control bytes are logged escaped
                                            "No delimiter found in instance name \\x12\\x12."}));
    }
}

TEST(NotesStartup, PartitionNotFound)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    Partition partition;
    const int status = startInChild("A\x12/nowhere", [&](bool started, const char*) {
        EXPECT_FALSE(started);
        EXPECT_EQ(sNotesIniPath, "");
        EXPECT_STREQ(noteInitArgv[0], "");
        EXPECT_EQ(notestest::fakeInitRecord(), "");
        EXPECT_EQ(geteuid(), 0u);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tail(partition.debugLines(), 1), std::vector<std::string>{"Cannot get notes directory"});
}

// A data directory whose notes.ini path has `length` characters.
std::string dataDirWithNotesIniLength(const std::string& root, size_t length)
{
    std::string dir = root;
    const size_t target = length - std::string("/notes.ini").size();
    while (dir.size() < target) {
        const size_t part = std::min<size_t>(200, target - dir.size() - 1);
        dir += "/" + std::string(part, 'd');
    }
    return dir;
}

TEST(NotesStartup, LengthLimits)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    lndbtest::TempDir base;
    chmod(base.path().c_str(), 0755);
    // The longest data directory that partition discovery accepts (its
    // program-directory value name must fit 1,024 bytes) gives a notes.ini
    // path of 1,018 characters, which fits behind the "=" of the argument.
    {
        const size_t length = 1018;
        Partition partition(dataDirWithNotesIniLength(base.path(), length));
        ASSERT_EQ(partition.notesIni().size(), length);
        EXPECT_EQ(startInChild("A\x12" + partition.dataDir(), [&](bool started, const char*) {
                      EXPECT_TRUE(started);
                      EXPECT_EQ(std::string(noteInitArgv[1]), "=" + partition.notesIni());
                      EXPECT_EQ(sNotesIniPath, partition.notesIni());
                  }),
                  0);
    }
    // Instance string: 1,023 characters are taken, 1,024 refused at once.
    Partition partition;
    const std::string path = "\x12" + partition.dataDir();
    const std::string longestName(1023 - path.size(), 'A');
    EXPECT_EQ(startInChild(longestName + path, [&](bool started, const char*) {
                  EXPECT_TRUE(started);
                  EXPECT_EQ(std::string(g_lnInstanceName), longestName);
              }),
              0);
    const std::string tooLong = longestName + "A" + path;
    EXPECT_EQ(startInChild(tooLong, [&](bool started, const char*) {
                  EXPECT_FALSE(started);
                  EXPECT_EQ(notestest::fakeInitRecord(), "");
                  EXPECT_EQ(geteuid(), 0u);
              }),
              0);
    EXPECT_EQ(tail(partition.debugLines(), 1),
              std::vector<std::string>{
                  "Notes start-up refused: the instance name has 1024 characters, at most 1023 fit"});
}

TEST(NotesStartup, ProxyStartHasNoEffect)
{
    lndbtest::SampleInstallation installation;
    char instance[] = "A\x12/notesdata";
    EXPECT_FALSE(initializePartitionForProxy(nullptr));
    EXPECT_FALSE(initializePartitionForProxy(instance));
    EXPECT_FALSE(notesAPIInitialized);
    EXPECT_STREQ(g_lnInstanceName, "");
    EXPECT_FALSE(lndbtest::exists(installation.debugLogPath()));
}

}  // namespace
