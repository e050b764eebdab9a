// Writing the configuration store: line-exact edits, refusals, the file's
// mode and owner, and concurrent writers and readers.

#include "KRPlatformInfo.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::SampleInstallation;

std::optional<std::string> lookUp(const std::string& section, const std::string& name)
{
    KRPlatformInfo store;
    char buffer[1024];
    unsigned int length = sizeof buffer;
    if (store.getString(section.c_str(), name.c_str(), buffer, &length) == 0)
        return std::nullopt;
    return std::string(buffer, length);
}

struct stat statOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

std::set<std::string> namesIn(const std::string& directory)
{
    std::set<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.insert(entry->d_name);
    }
    closedir(dir);
    return names;
}

// A forked child running `body`, for writers that must run at the same time.
pid_t startChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

int waitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ConfigStoreWrite, OnlyTheAffectedLinesChange)
{
    struct Case {
        const char* what;
        std::optional<std::string> before;  // nullopt: no store file yet
        const char* section;
        const char* name;
        std::optional<std::string> value;   // nullopt: unsetString
        std::string after;
    };
    const Case cases[] = {
        {"the effective (last) line is replaced", "# c = 0\n[S]\nv = 1\nv = 2\n# tail\n", "S", "v", "3",
         "# c = 0\n[S]\nv = 1\nv = 3\n# tail\n"},
        {"the line keeps what precedes its value", "[S]\n  v\t=\t old  \n", "S", "v", "new", "[S]\n  v\t=\t new\n"},
        {"CRLF lines stay CRLF", "[S]\r\nv = 1\r\n; c\r\n", "S", "v", "9", "[S]\r\nv = 9\r\n; c\r\n"},
        {"the same name elsewhere is left alone", "[T]\nv = t\n[S]\nw = 1\n\n", "S", "v", "s",
         "[T]\nv = t\n[S]\nw = 1\nv = s\n\n"},
        {"a new name follows the section's last value", "[S]\na = 1\n\n# about T\n[T]\nb = 2\n", "S", "new", "x",
         "[S]\na = 1\nnew = x\n\n# about T\n[T]\nb = 2\n"},
        {"a new name in a section given twice goes to its last part", "[S]\na = 1\n[T]\n[S]\nb = 2\n[U]\n", "S",
         "c", "3", "[S]\na = 1\n[T]\n[S]\nb = 2\nc = 3\n[U]\n"},
        {"a new name in a CRLF file", "[S]\r\na = 1\r\n", "S", "new", "x", "[S]\r\na = 1\r\nnew = x\r\n"},
        {"a new name after a header without line feed", "[S]", "S", "a", "1", "[S]\na = 1\n"},
        {"a new section at the end", "[S]\na = 1\n", "N", "new", "x", "[S]\na = 1\n[N]\nnew = x\n"},
        {"a new section after a last line without line feed", "[S]\na = 1", "N", "new", "x",
         "[S]\na = 1\n[N]\nnew = x\n"},
        {"a new section in a CRLF file", "[S]\r\na = 1\r\n", "N", "new", "x", "[S]\r\na = 1\r\n[N]\r\nnew = x\r\n"},
        {"an empty value", "[S]\nv = 1\n", "S", "v", "", "[S]\nv = \n"},
        {"a value with '=', '#' and inner blanks", "[S]\n", "S", "v", "a=b # c  d", "[S]\nv = a=b # c  d\n"},
        {"a missing store is created", std::nullopt, "S", "v", "1", "[S]\nv = 1\n"},
        {"an empty store", "", "S", "v", "1", "[S]\nv = 1\n"},
        {"unset removes every line of the name in the section",
         "[S]\nv = 1\n# keep\r\n  v=2\r\n[T]\nv = 3\n[S]\nv = 4", "S", "v", std::nullopt,
         "[S]\n# keep\r\n[T]\nv = 3\n[S]\n"},
        {"unset of an absent name changes nothing", "[S]\r\nw = 1\n#v = 1\n", "S", "v", std::nullopt,
         "[S]\r\nw = 1\n#v = 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleInstallation installation;
        if (c.before)
            lndbtest::writeFile(installation.storePath(), *c.before);
        else
            unlink(installation.storePath().c_str());
        KRPlatformInfo store;
        const int result = c.value ? store.setString(c.section, c.name, c.value->c_str())
                                   : store.unsetString(c.section, c.name);
        EXPECT_NE(result, 0) << store.getLastErrorMsg();
        EXPECT_EQ(lndbtest::readFile(installation.storePath()), c.after);
        EXPECT_EQ(lookUp(c.section, c.name), c.value);
    }
}

TEST(ConfigStoreWrite, NothingToDoLeavesTheFileAlone)
{
    SampleInstallation installation;
    const struct stat before = statOf(installation.storePath());
    KRPlatformInfo store;
    EXPECT_NE(store.unsetString("Platform", "Absent"), 0);
    EXPECT_NE(store.setString("Platform", "OrreryDirectory", installation.installDir().c_str()), 0);
    const struct stat after = statOf(installation.storePath());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);

    // Removing from a store that does not exist creates none.
    unlink(installation.storePath().c_str());
    EXPECT_NE(store.unsetString("Platform", "OrreryDirectory"), 0);
    EXPECT_FALSE(lndbtest::exists(installation.storePath()));
}

TEST(ConfigStoreWrite, RefusesWhatCouldNotBeReadBack)
{
    struct Case {
        const char* section;
        const char* name;
        const char* value;  // null: unsetString
        const char* expected;
    };
    const Case cases[] = {
        {"S", "a=b", "v", "refused: name \"a=b\" holds '='"},
        {"S", "a\nb", "v", "refused: name \"a?b\" holds a line break"},
        {"S", "a\rb", nullptr, "refused: name \"a?b\" holds a line break"},
        {"S", "", "v", "refused: the value name is empty"},
        {"S", " a", "v", "refused: name \" a\" begins or ends with a blank or tab"},
        {"S", "a\t", nullptr, "refused: name \"a?\" begins or ends with a blank or tab"},
        {"S", "#a", "v", "refused: name \"#a\" begins with '#', ';' or '['"},
        {"S", ";a", "v", "refused: name \";a\" begins with '#', ';' or '['"},
        {"S", "[a", "v", "refused: name \"[a\" begins with '#', ';' or '['"},
        {"a]b", "n", "v", "refused: section name \"a]b\" holds ']'"},
        {"a\nb", "n", "v", "refused: section name \"a?b\" holds a line break"},
        {"", "n", "v", "refused: the section name is empty"},
        {" S", "n", nullptr, "refused: section name \" S\" begins or ends with a blank or tab"},
        {"S", "n", "a\nb", "refused: value \"a?b\" holds a line break"},
        {"S", "n", "a\r", "refused: value \"a?\" holds a line break"},
        {"S", "n", " a", "refused: value \" a\" begins or ends with a blank or tab"},
        {"S", "n", "a\t", "refused: value \"a?\" begins or ends with a blank or tab"},
        {nullptr, "n", "v", "refused: no section or no name given"},
        {"S", nullptr, nullptr, "refused: no section or no name given"},
    };
    SampleInstallation installation;
    const std::string before = lndbtest::readFile(installation.storePath());
    const ino_t inode = statOf(installation.storePath()).st_ino;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        KRPlatformInfo store;
        const int result = c.value != nullptr ? store.setString(c.section, c.name, c.value)
                                              : store.unsetString(c.section, c.name);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::string(store.getLastErrorMsg()), c.expected);
    }
    KRPlatformInfo store;
    EXPECT_EQ(store.setString("S", "n", nullptr), 0);
    EXPECT_EQ(std::string(store.getLastErrorMsg()), "refused: no value given");
    EXPECT_EQ(lndbtest::readFile(installation.storePath()), before);
    EXPECT_EQ(statOf(installation.storePath()).st_ino, inode);
}

TEST(ConfigStoreWrite, ModeAndOwnerAreKept)
{
    SampleInstallation installation;
    const std::string path = installation.storePath();
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    for (mode_t mode : {0600, 0640, 0444}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        KRPlatformInfo store;
        ASSERT_NE(store.setString("S", "mode", std::to_string(mode).c_str()), 0) << store.getLastErrorMsg();
        const struct stat st = statOf(path);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_uid, nobody->pw_uid);
        EXPECT_EQ(st.st_gid, nobody->pw_gid);
    }
    // A new store is 0644 whatever the umask; no temporary file is left.
    unlink(path.c_str());
    EXPECT_EQ(lndbtest::runInChild([] {
                  umask(077);
                  return KRPlatformInfo().setString("S", "v", "1") != 0 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(statOf(path).st_mode & 07777, 0644u);
    EXPECT_EQ(namesIn(installation.registryDir()),
              (std::set<std::string>{"Instance001.ini", "Instance001.ini.lock"}));
}

TEST(ConfigStoreWrite, MissingRegistryDirectoryIsAnError)
{
    SampleInstallation installation;
    const std::string missing = installation.root() + "/no-such-dir";
    lndbtest::ScopedEnv dir("KR_REGISTRY_DIR", missing.c_str());
    KRPlatformInfo store;
    EXPECT_EQ(store.setString("S", "v", "1"), 0);
    EXPECT_EQ(std::string(store.getLastErrorMsg()),
              "cannot open lock file " + missing + "/Instance001.ini.lock: No such file or directory");
}

TEST(ConfigStoreWrite, ConcurrentProcessesAndThreadsLoseNoValue)
{
    SampleInstallation installation;
    auto writer = [](const std::string& prefix, int count) {
        KRPlatformInfo store;
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i);
            if (store.setString("Race", name.c_str(), std::to_string(i).c_str()) == 0)
                return 1;
        }
        return 0;
    };
    const pid_t first = startChild([&] { return writer("first", 200); });
    const pid_t second = startChild([&] { return writer("second", 200); });
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(waitChild(first), 0);
    EXPECT_EQ(waitChild(second), 0);

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            if (writer("thread" + std::to_string(t) + "_", 50) != 0)
                ++failures;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);

    for (const std::string prefix : {"first", "second"}) {
        for (int i = 0; i < 200; ++i)
            EXPECT_EQ(lookUp("Race", prefix + std::to_string(i)), std::to_string(i)) << prefix << i;
    }
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(lookUp("Race", "thread" + std::to_string(t) + "_" + std::to_string(i)), std::to_string(i));
    }
    EXPECT_EQ(lookUp("Platform", "LogFilesDirectory"), installation.logDir());
}

TEST(ConfigStoreWrite, ReadersNeverSeeAHalfWrittenStore)
{
    SampleInstallation installation;
    std::string filler = "[Data]\n";
    for (int i = 0; i < 100; ++i)
        filler += "fill" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    installation.appendToStore(filler + "marker = even\n");

    // The writer toggles the marker (two sizes) until told to stop, and says
    // when its first write is done.
    int stop[2];
    int ready[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t writer = startChild([&] {
        close(stop[1]);
        KRPlatformInfo store;
        for (long i = 1;; ++i) {
            if (store.setString("Data", "marker", i % 2 != 0 ? "odd-and-longer" : "even") == 0)
                return 1;
            if (i == 1 && write(ready[1], "r", 1) != 1)
                return 2;
            pollfd p{stop[0], POLLIN, 0};
            if (poll(&p, 1, 0) != 0)
                return i > 1 ? 0 : 3;
        }
    });
    ASSERT_GT(writer, 0);
    close(stop[0]);
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            KRPlatformInfo store;
            for (int i = 0; i < 10'000; ++i) {
                char buffer[64];
                unsigned int length = sizeof buffer;
                const bool marker = store.getString("Data", "marker", buffer, &length) != 0;
                if (!marker || (std::string(buffer) != "even" && std::string(buffer) != "odd-and-longer"))
                    ++wrong;
                length = sizeof buffer;
                if (store.getString("Data", "fill99", buffer, &length) == 0 || std::string(buffer) != "99")
                    ++wrong;
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    close(stop[1]);
    EXPECT_EQ(waitChild(writer), 0);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
