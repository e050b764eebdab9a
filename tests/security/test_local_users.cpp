// Attacks of a local user on the root process the library runs in. Each case
// does the attacker's steps as nobody, in a directory nobody owns (so the
// outcome does not rest on the kernel's protected_symlinks setting), then
// the library's call as root in a child, and checks what root did and did
// not touch: owners, modes, bytes, and that the call ended in time.

#include "lndb/notes_output_log.h"
#include "lndb/process_environment.h"

#include "EvDebug.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::readFile;
using Clock = std::chrono::steady_clock;

const std::string kExe = std::filesystem::read_symlink("/proc/self/exe").filename();
const std::string kNotesLogName = kExe + "_Instance001_NotesAPI.log";
const std::string kOldLogName = "Old_" + kNotesLogName;
const std::string kFull(5242881, 'x');  // one byte over the log's limit

uid_t ownerOf(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class LocalUser : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "replays attacks on a root process";
        const struct passwd* entry = getpwnam("nobody");
        ASSERT_NE(entry, nullptr);
        uid = entry->pw_uid;
        gid = entry->pw_gid;
        ASSERT_EQ(chmod(install.root().c_str(), 0755), 0);
        lndbtest::makeDirs(attacker + "/work", 0755);
        ASSERT_EQ(chown(attacker.c_str(), uid, gid), 0);
        lndbtest::writeFile(rootFile, "root's own\n", 0600);
    }

    bool becomeNobody() const
    {
        return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0;
    }
    // The attacker's move, as nobody in a child.
    void asNobody(const std::function<bool()>& step)
    {
        ASSERT_EQ(lndbtest::runInChild([&] { return becomeNobody() && step() ? 0 : 91; }), 0);
    }
    // A child of nobody that holds an exclusive flock on `path` until the
    // returned descriptor is closed.
    int nobodyHoldsLock(const std::string& path)
    {
        int ready[2], release[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0)
            return -1;
        std::fflush(nullptr);
        if (fork() == 0) {
            close(release[1]);
            const int fd = becomeNobody() ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
            char byte = 'r';
            if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], &byte, 1) == 1)
                while (read(release[0], &byte, 1) > 0) {
                }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        char byte = 0;
        const bool held = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        return held ? release[1] : -1;
    }

    // The library's call as root in a child working in the attacker's
    // directory, its standard output and error in root's files, ended by
    // SIGALRM should it hang; the call must end within 5 s.
    int asRoot(const std::function<int()>& call)
    {
        const auto start = Clock::now();
        const int status = lndbtest::runInChild([&] {
            alarm(30);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (dup2(out, 1) != 1 || dup2(err, 2) != 2 || chdir((attacker + "/work").c_str()) != 0)
                return 92;
            return call();
        });
        EXPECT_LT(secondsSince(start), 5.0);
        return status;
    }
    int redirectAsRoot()
    {
        return asRoot([] {
            DumpFileTimeAndVer(nullptr, 1);
            std::printf("after the call\n");
            return 0;
        });
    }

    void useLogDirectory(const std::string& directory)
    {
        install.appendToStore("[Platform]\nLogFilesDirectory = " + directory + "\n");
    }
    std::string lastDebugLine(size_t fromEnd = 1) const
    {
        const std::vector<std::string> lines = install.debugLines();
        return lines.size() >= fromEnd ? lines[lines.size() - fromEnd] : "";
    }
    void expectRootFileUntouched() const
    {
        struct stat st {};
        ASSERT_EQ(lstat(rootFile.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(readFile(rootFile), "root's own\n");
    }

    lndbtest::SampleInstallation install;
    uid_t uid = 0;
    gid_t gid = 0;
    const std::string attacker = install.root() + "/attacker";
    const std::string rootFile = install.root() + "/root-only";
    const std::string outPath = install.root() + "/stdout";
    const std::string errPath = install.root() + "/stderr";
};

// A link in the subclient path: only root's own links are followed.
TEST_F(LocalUser, SubclientHandOverFollowsOnlyRootsLinks)
{
    const std::string rootDir = install.root() + "/root-dir";
    lndbtest::makeDirs(rootDir + "/subclient", 0700);
    lndbtest::makeDirs(install.root() + "/real-subclient", 0755);
    ASSERT_EQ(symlink("real-subclient", (install.root() + "/alias").c_str()), 0);
    asNobody([&] {
        return symlink(rootFile.c_str(), (attacker + "/file").c_str()) == 0 &&
               symlink(rootDir.c_str(), (attacker + "/dir").c_str()) == 0;
    });
    lndbtest::ScopedEnv libraryPath("LD_LIBRARY_PATH", "/opt/lib");
    lndbtest::ScopedEnv path("PATH", "/usr/bin:/bin");
    const std::string alias = install.root() + "/alias";
    for (const std::string& dir : {attacker + "/file", attacker + "/dir/subclient", alias}) {
        install.clearDebugLog();
        EXPECT_EQ(asRoot([&] {
                      std::string user = "nobody", home = "/opt", data = "/data", sub = dir;
                      return prepareUnixExecEnv(user.data(), home.data(), data.data(), sub.data()) ? 0 : 1;
                  }),
                  0)
            << "the call goes on: " << dir;
        const bool ours = dir == alias;
        EXPECT_EQ(install.debugLines().at(0),
                  ours ? "prepareUnixExecEnv: changed owner of subclient dir '" + dir + "' to uid(" +
                             std::to_string(uid) + ")"
                       : "prepareUnixExecEnv: Failed to change ownership for subclientDir '" + dir + "'");
    }
    expectRootFileUntouched();
    EXPECT_EQ(ownerOf(rootDir), 0u);
    EXPECT_EQ(ownerOf(rootDir + "/subclient"), 0u);
    EXPECT_EQ(ownerOf(install.root() + "/real-subclient"), uid);
}

// A link, a FIFO or a second name at the logs' names: debug and event lines
// go to standard error, the Notes API log is not used, nothing hangs.
TEST_F(LocalUser, LogsAreNotWrittenThroughPlantedNames)
{
    struct Plant {
        std::function<bool(const std::string&)> at;
        std::string refusal;
    };
    const Plant plants[] = {
        {[&](const std::string& name) { return symlink(rootFile.c_str(), name.c_str()) == 0; },
         "it is a symbolic link"},
        {[](const std::string& name) { return mkfifo(name.c_str(), 0666) == 0; }, ""},
        {[](const std::string& name) {
             const std::string mine = name + ".mine";
             return close(creat(mine.c_str(), 0666)) == 0 && link(mine.c_str(), name.c_str()) == 0;
         },
         "it has 2 links"},
    };
    for (const Plant& plant : plants) {
        const std::string dir = attacker + "/" + std::to_string(&plant - plants);
        const std::string debugLog = dir + "/" + kExe + ".log";  // also the fallback name
        SCOPED_TRACE(dir);
        asNobody([&] {
            return mkdir(dir.c_str(), 0755) == 0 && plant.at(debugLog) && plant.at(dir + "/events.log") &&
                   plant.at(dir + "/" + kNotesLogName);
        });
        useLogDirectory(dir);
        lndbtest::ScopedEnv debugEnv("KR_DEBUG_LOG", debugLog.c_str());
        lndbtest::ScopedEnv eventEnv("KR_EVENT_LOG", (dir + "/events.log").c_str());
        EXPECT_EQ(asRoot([&] {
                      EvEvent().CriticalEvent(0x2A000001, 0, 0);
                      DumpFileTimeAndVer(nullptr, 1);
                      std::printf("after the call\n");
                      return 0;
                  }),
                  0);
        const std::string err = readFile(errPath);
        EXPECT_NE(err.find(" CRITICAL 0x2A000001 0 0\n"), std::string::npos) << err;
        EXPECT_NE(err.find("critical event 0x2A000001 raised (0, 0)\n"), std::string::npos) << err;
        if (!plant.refusal.empty()) {
            EXPECT_NE(err.find("DumpFileTimeAndVer() : '" + dir + "/" + kNotesLogName + "' is not used: " +
                               plant.refusal + "; standard output and error left as they were\n"),
                      std::string::npos)
                << err;
        }
        EXPECT_EQ(readFile(outPath), "after the call\n");
        EXPECT_EQ(readFile(debugLog + ".mine"), "");
    }
    expectRootFileUntouched();
}

// A value from the network cannot start a line of its own in a log.
TEST_F(LocalUser, NetworkValueStaysOnItsLine)
{
    EvDebug().DebugLvl("AddorDeletePartition", 0, "name = %s", "x\n* * * * * root /tmp/run\r");
    EXPECT_EQ(install.debugLines(),
              std::vector<std::string>{"[AddorDeletePartition] name = x\\n* * * * * root /tmp/run\\r"});
}

// A lock file planted, or held, by another user stalls no root call: the
// store write fails at once or after its 10 s, changing nothing, and the
// output log's rotation no longer locks the directory.
TEST_F(LocalUser, LocksOfOtherUsersStallNothing)
{
    const std::string store = attacker + "/Instance001.ini";
    asNobody([&] { return symlink((install.root() + "/made").c_str(), (store + ".lock").c_str()) == 0; });
    lndbtest::writeFile(store, "[S]\nn = 1\n");
    const std::string lndb = "timeout 60 " + lndbtest::binDir() + "/lndb";
    lndbtest::CommandResult result =
        lndbtest::runCommand("KR_REGISTRY_DIR=" + attacker + " " + lndb + " config set S n 2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lndb: cannot open lock file " + store + ".lock: it is a symbolic link\n");
    EXPECT_FALSE(lndbtest::exists(install.root() + "/made"));
    EXPECT_EQ(readFile(store), "[S]\nn = 1\n");

    // A lock file that an older writer left open to everyone, held by nobody.
    const std::string before = readFile(install.storePath());
    const std::string lock = install.storePath() + ".lock";
    lndbtest::writeFile(lock, "", 0644);
    int holder = nobodyHoldsLock(lock);
    ASSERT_GE(holder, 0);
    const auto start = Clock::now();
    result = lndbtest::runCommand(lndb + " config set S n 2");
    const double waited = secondsSince(start);
    close(holder);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "lndb: cannot lock " + lock + ": another process has held it for 10 s; nothing was written\n");
    EXPECT_GE(waited, 9.5);
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ(readFile(install.storePath()), before);
    struct stat st {};
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "no other user can open it from now on";

    // Nobody locks the log directory: a log over its limit is still rotated.
    useLogDirectory(attacker);
    lndbtest::writeFile(attacker + "/" + kNotesLogName, kFull);
    holder = nobodyHoldsLock(attacker);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(redirectAsRoot(), 0);
    close(holder);
    EXPECT_EQ(readFile(attacker + "/" + kOldLogName), kFull);
}

// Descriptors 1 and 2 closed on entry: no log takes them, and the redirect
// leaves both on the Notes API log, so a file opened later gets nothing.
TEST_F(LocalUser, ClosedStandardStreamsAreNotTakenByLogs)
{
    const std::string database = install.root() + "/database.nsf";
    const std::string notesLog = install.logDir() + "/" + kNotesLogName;
    EXPECT_EQ(asRoot([&] {
                  close(1);
                  close(2);
                  EvDebug().debug("first line");
                  if (fcntl(1, F_GETFD) != -1 || fcntl(2, F_GETFD) != -1)
                      return 2;
                  DumpFileTimeAndVer(nullptr, 1);
                  const int opened = open(database.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                  std::printf("notes output\n");
                  std::fflush(stdout);
                  std::fputs("notes error\n", stderr);
                  struct stat out {}, err {}, log {};
                  const bool onLog = fstat(1, &out) == 0 && fstat(2, &err) == 0 &&
                                     stat(notesLog.c_str(), &log) == 0 && out.st_ino == log.st_ino &&
                                     err.st_ino == log.st_ino;
                  return onLog && opened > 2 ? 0 : 3;
              }),
              0);
    EXPECT_EQ(readFile(database), "");
    EXPECT_NE(readFile(notesLog).find("notes output\nnotes error\n"), std::string::npos);
    EXPECT_EQ(install.debugLines().at(0), "first line");
}

// An instance name from a file another user writes never becomes a path.
TEST_F(LocalUser, InstanceNameThatIsAPathIsNotUsed)
{
    for (const std::string name : {"../../../escaped", "a/b", "..", "."}) {
        asNobody([&] {
            std::FILE* file = std::fopen((attacker + "/orrery_vm").c_str(), "we");
            return file != nullptr && std::fprintf(file, "ORRERY_INST=\"%s\"\n", name.c_str()) > 0 &&
                   std::fclose(file) == 0;
        });
        EXPECT_EQ(redirectAsRoot(), 0);
        EXPECT_EQ(lastDebugLine(),
                  "DumpFileTimeAndVer() : instance name '" + name +
                      "' cannot be part of a file name; output not redirected");
        EXPECT_EQ(readFile(outPath), "after the call\n");
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(install.root()))
        EXPECT_EQ(entry.path().string().find("NotesAPI.log"), std::string::npos) << entry.path();
}

// A log over its limit whose rotation a planted name blocks is not written
// further, and the planted name stays; a lock merely busy with a rotation of
// our own lets the call append.
TEST_F(LocalUser, PlantedNameCannotStopRotation)
{
    const std::string lockName = kNotesLogName + ".lock";
    const auto makeFile = [](const std::string& path) { return close(creat(path.c_str(), 0600)) == 0; };
    struct Case {
        std::string name;  // planted in the log directory; empty: none
        std::function<bool(const std::string&)> plant;
        std::string blocker;  // how the debug line names it; empty: appended
    };
    const Case cases[] = {
        {kOldLogName, [](const std::string& p) { return mkdir(p.c_str(), 0755) == 0; }, "is a directory"},
        {kOldLogName, makeFile, "belongs to another user"},
        {lockName, makeFile,
         "is not used (it is owned by uid " + std::to_string(uid) + ", not by this process's user)"},
        {lockName, nullptr, ""},
    };
    for (const Case& c : cases) {
        const std::string dir = attacker + "/" + std::to_string(&c - cases);
        const std::string planted = dir + "/" + c.name;
        const std::string log = dir + "/" + kNotesLogName;
        SCOPED_TRACE(planted);
        asNobody([&] { return mkdir(dir.c_str(), 0755) == 0 && (!c.plant || c.plant(planted)); });
        useLogDirectory(dir);
        lndbtest::writeFile(log, kFull);
        const int ours = c.plant ? -1 : open(planted.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_TRUE(c.plant || flock(ours, LOCK_EX) == 0);
        EXPECT_EQ(redirectAsRoot(), 0);
        close(ours);
        const std::string written = readFile(log);
        if (c.blocker.empty()) {
            EXPECT_EQ(lastDebugLine(2), "DumpFileTimeAndVer() : '" + log +
                                            "' not rotated: another process holds '" + planted +
                                            "'; output appended");
            EXPECT_EQ(written.compare(0, kFull.size(), kFull), 0);
            EXPECT_NE(written.find("after the call\n", kFull.size()), std::string::npos);
            continue;
        }
        const std::string what = c.name == lockName ? "lock file '" + planted + "' " : "'" + planted + "' ";
        EXPECT_EQ(lastDebugLine(),
                  "DumpFileTimeAndVer() : '" + log + "' cannot be rotated: " + what + c.blocker +
                      "; output not redirected");
        EXPECT_EQ(written.size(), kFull.size()) << "not written further";
        EXPECT_EQ(readFile(outPath), "after the call\n");
        EXPECT_EQ(ownerOf(planted), uid) << "left in place";
    }
}

}  // namespace
