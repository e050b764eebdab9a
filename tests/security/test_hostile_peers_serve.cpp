// The partition service against hostile peers and a hostile local user:
// `lndb partition serve` on a real socket running real scripts, and the
// handler itself on a socket pair. One case per fault class.

#include "CKrNetwork.h"
#include "lndb/partition_service.h"
#include "recording_script.h"
#include "serve_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <new>
#include <pwd.h>
#include <regex>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

// ---- allocation failures on demand ----
//
// While armed on a thread, the n-th allocation of that thread fails once with
// std::bad_alloc. Every form of operator new and delete goes through malloc
// and free here, so that the sanitizers see matching pairs.

namespace {

thread_local long allocationsBeforeFailure = -1;  // -1: none fails
thread_local bool allocationFailed = false;

void* allocate(std::size_t size)
{
    if (allocationsBeforeFailure >= 0 && allocationsBeforeFailure-- == 0) {
        allocationFailed = true;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size != 0 ? size : 1))
        return block;
    throw std::bad_alloc();
}

void* allocateOrNull(std::size_t size) noexcept
{
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

using lndbtest::connectTo;
using lndbtest::deleteRequest;
using lndbtest::readFile;
using lndbtest::readToEnd;
using lndbtest::recordedRuns;
using lndbtest::roundTrip;
using lndbtest::SampleInstallation;
using lndbtest::ScopedEnv;
using lndbtest::sendAll;
using lndbtest::wireFrame;
using Clock = std::chrono::steady_clock;
using Runs = std::vector<std::vector<std::string>>;

const std::string kDone = lndbtest::doneResponse();

std::string failed(const std::string& text)
{
    return lndbtest::failedResponse(text);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls `condition` every 10 ms for up to `seconds`.
bool within(double seconds, const std::function<bool()>& condition)
{
    const auto start = Clock::now();
    while (!condition()) {
        if (secondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A value of /proc/<pid>/status in kB ("VmRSS", "VmHWM").
long statusKb(pid_t pid, const std::string& name)
{
    for (const std::string& line : lndbtest::readLines("/proc/" + std::to_string(pid) + "/status")) {
        if (line.rfind(name + ":", 0) == 0)
            return std::atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

// Splits "<text> [... N bytes left out]" into the text and N; N is -1 when
// there is no marker.
std::pair<std::string, long long> splitMarker(const std::string& bounded)
{
    const std::string open = " [... ";
    const std::string close = " bytes left out]";
    const size_t at = bounded.rfind(open);
    if (at == std::string::npos || !bounded.ends_with(close))
        return {bounded, -1};
    const std::string count = bounded.substr(at + open.size(), bounded.size() - close.size() - at - open.size());
    if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos)
        return {bounded, -1};
    return {bounded.substr(0, at), std::stoll(count)};
}

// The text between `before` and `after` in `text`, or "<absent>".
std::string between(const std::string& text, const std::string& before, const std::string& after)
{
    const size_t start = text.find(before);
    if (start == std::string::npos)
        return "<absent>";
    const size_t end = text.find(after, start + before.size());
    return end == std::string::npos ? "<absent>" : text.substr(start + before.size(), end - start - before.size());
}

class HostilePeers : public ::testing::Test {
protected:
    void SetUp() override
    {
        lndbtest::installRecordingScript(installation.homeDir());
        socketPath = installation.root() + "/partition.sock";
        outputPath = installation.root() + "/server.out";
    }

    // Shell code the recording script runs after recording its arguments
    // ($dir is its directory, $3 the request's first value).
    void behave(const std::string& shell)
    {
        lndbtest::writeFile(installation.homeDir() + "/behaviour", shell);
    }
    std::string inHome(const std::string& name) const { return installation.homeDir() + "/" + name; }

    SampleInstallation installation;
    ScopedEnv fullReceiveWait{"KR_RECEIVE_TIMEOUT_MS", nullptr};  // the server waits 120 s for a request
    std::string socketPath;
    std::string outputPath;
};

// Silent and slow peers and a script that never ends each hold only their own
// connection; beyond 32 connections at once, peers wait their turn.
TEST_F(HostilePeers, APeerHoldsOnlyItsOwnConnection)
{
    behave("case \"$3\" in hang) echo $$ >\"$dir/hang.pid\"; exec sleep 600;; esac\n");
    lndbtest::ServeProcess server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());

    const int hanging = connectTo(socketPath);
    ASSERT_TRUE(sendAll(hanging, deleteRequest(1, "hang")));
    ASSERT_TRUE(within(10, [&] { return !readFile(inHome("hang.pid")).empty(); }));
    std::vector<int> held;
    for (int i = 0; i < 29; ++i)
        held.push_back(connectTo(socketPath));
    const int slow = connectTo(socketPath);
    ASSERT_TRUE(sendAll(slow, deleteRequest(9, "slow").substr(0, 30)));

    // One request after another used to wait 120 s per silent peer ahead.
    const auto start = Clock::now();
    EXPECT_EQ(roundTrip(socketPath, deleteRequest(2, "quick")), kDone);
    EXPECT_LT(secondsSince(start), 10.0);

    // With 32 connections held, the next one waits in the backlog...
    held.push_back(connectTo(socketPath));
    const int waiting = connectTo(socketPath);
    ASSERT_GE(waiting, 0);
    ASSERT_TRUE(sendAll(waiting, deleteRequest(3, "waits")));
    EXPECT_EQ(readToEnd(waiting, 500), "<timeout>");
    // ...until a held connection ends.
    close(held.back());
    held.pop_back();
    EXPECT_EQ(readToEnd(waiting, 10000), kDone);

    EXPECT_EQ(recordedRuns(installation.homeDir()),
              (Runs{{"delPartition", "1", "hang"}, {"delPartition", "2", "quick"}, {"delPartition", "3", "waits"}}));
    kill(std::atoi(readFile(inHome("hang.pid")).c_str()), SIGKILL);
    for (const int fd : held)
        close(fd);
    for (const int fd : {hanging, slow, waiting})
        close(fd);
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// On SIGTERM the server stops accepting at once, drops the peers still
// waiting for their request, lets the running script finish and answers its
// peer, then exits.
TEST_F(HostilePeers, StopDropsWaitingPeersAndLetsRunningScriptsFinish)
{
    behave("case \"$3\" in slow) sleep 2; : >\"$dir/slow.done\";; esac\n");
    lndbtest::ServeProcess server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());
    std::vector<int> silent;
    for (int i = 0; i < 5; ++i)
        silent.push_back(connectTo(socketPath));
    const int running = connectTo(socketPath);
    ASSERT_TRUE(sendAll(running, deleteRequest(1, "slow")));
    ASSERT_TRUE(within(10, [&] { return recordedRuns(installation.homeDir()).size() == 1; }));

    const auto signalled = Clock::now();
    kill(server.pid(), SIGTERM);
    EXPECT_TRUE(within(2, [&] { return !lndbtest::exists(socketPath); }));
    EXPECT_EQ(connectTo(socketPath), -1);
    for (const int fd : silent) {
        EXPECT_EQ(readToEnd(fd, 2000), failed("Invalid message recieved"));
        close(fd);
    }
    EXPECT_EQ(readToEnd(running, 10000), kDone);
    close(running);
    EXPECT_TRUE(lndbtest::exists(inHome("slow.done")));
    EXPECT_EQ(server.stop(0), 0);
    EXPECT_LT(secondsSince(signalled), 2.0 + 2.0);  // 2 s of script in flight
}

// A script that prints 100 MB on each stream: the peer gets its response with
// at most 64 KiB of the error output, the log line at most 64 KiB of each,
// both marked with the true count left out, and the server stays small.
TEST_F(HostilePeers, HugeScriptOutputsStillGetABoundedResponse)
{
    constexpr long long kFlood = 100'000'000;
    constexpr size_t kBound = 64 * 1024;
    behave("case \"$3\" in flood) head -c " + std::to_string(kFlood) + " /dev/zero | tr '\\0' o; head -c " +
           std::to_string(kFlood) + " /dev/zero | tr '\\0' e >&2; exit 1;; esac\n");
    lndbtest::ServeProcess server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());
    const long before = statusKb(server.pid(), "VmRSS");

    const std::string answer = roundTrip(socketPath, deleteRequest(4, "flood"));
    const long growth = statusKb(server.pid(), "VmHWM") - before;
    EXPECT_LT(growth, 16 * 1024) << "kB";

    const std::string errorString = between(answer, "id=\"12053727\">", "</string>");
    EXPECT_EQ(answer, failed(errorString));
    EXPECT_LE(errorString.size(), kBound);
    const auto [kept, leftOut] = splitMarker(errorString);
    EXPECT_EQ(kept, std::string(kept.size(), 'e'));
    EXPECT_EQ(static_cast<long long>(kept.size()) + leftOut, kFlood);

    std::string line;
    for (const std::string& candidate : installation.debugLines()) {
        if (candidate.find("return value for execution of") != std::string::npos)
            line = candidate;
    }
    EXPECT_LT(line.size(), 2 * kBound + 1024);
    const std::string error = line.substr(line.find("  error [") + 9);
    const std::pair<std::string, char> outputs[] = {
        {between(line, ". out [", "]  error ["), 'o'},
        {error.substr(0, error.size() - 1), 'e'},
    };
    for (const auto& [bounded, letter] : outputs) {
        SCOPED_TRACE(letter);
        const auto [text, count] = splitMarker(bounded);
        EXPECT_EQ(text, std::string(text.size(), letter));
        EXPECT_EQ(static_cast<long long>(text.size()) + count, kFlood);
    }
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// An unexpected failure (here each allocation of a request in turn failing
// once) still gives the peer one response with errorCode 1 and a reason; the
// line goes to the debug log at level 0 under the function's tag.
TEST_F(HostilePeers, AnUnexpectedFailureIsStillAnswered)
{
    const std::string request = deleteRequest(5, "abc");
    std::set<std::string> catchAllsSeen;
    // Two passes: the configuration store is parsed on every read until its
    // last change lies far enough back, so the first pass may see the
    // request's allocations change under it.
    for (long n = 0, pass = 0; pass < 2; ++n) {
        installation.clearDebugLog();
        unlink(inHome("runs").c_str());
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_TRUE(sendAll(fds[1], request));
        shutdown(fds[1], SHUT_WR);
        bool failedOnce;
        {
            CKrNetwork connection(fds[0]);
            allocationFailed = false;
            allocationsBeforeFailure = n;
            AddorDeletePartition(&connection, 0);
            allocationsBeforeFailure = -1;
            failedOnce = allocationFailed;
        }
        close(fds[0]);
        const std::string answer = readToEnd(fds[1], 5000);
        close(fds[1]);
        if (!failedOnce) {
            n = -1;  // every allocation of the request has failed once
            ++pass;
            continue;
        }

        SCOPED_TRACE("allocation " + std::to_string(n));
        const std::string log = readFile(installation.debugLogPath());
        EXPECT_LE(recordedRuns(installation.homeDir()).size(), 1u);
        EXPECT_EQ(log.find("AddorDeletePartition: unexpected failure"), std::string::npos);
        if (log.find("Error in sending response, returned [out of memory]") == std::string::npos) {
            ASSERT_GE(answer.size(), 4u) << log;
            EXPECT_EQ(answer, wireFrame(answer.substr(4))) << "one whole frame";
        }
        for (const std::string function : {"AddorDeletePartition", "RunPostInstallScript"}) {
            if (log.find("[" + function + "] unexpected failure: std::bad_alloc\n") == std::string::npos)
                continue;
            catchAllsSeen.insert(function);
            EXPECT_EQ(answer, failed("unexpected failure: std::bad_alloc")) << function;
        }
    }
    EXPECT_EQ(catchAllsSeen, (std::set<std::string>{"AddorDeletePartition", "RunPostInstallScript"}));
}

// Many requests at once: each is carried out once with its own values and
// answered, and every log line stays whole.
TEST_F(HostilePeers, ManyClientsAtOnce)
{
    constexpr int kClients = 32;
    behave("sleep 0.5\n");
    lndbtest::ServeProcess server(socketPath, outputPath);
    ASSERT_TRUE(server.ready());
    std::vector<std::string> answers(kClients);
    const auto start = Clock::now();
    {
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back([&, i] { answers[i] = roundTrip(socketPath, deleteRequest(i, "c" + std::to_string(i))); });
        for (std::thread& client : clients)
            client.join();
    }
    EXPECT_LT(secondsSince(start), 10.0) << "one after another takes 16 s";
    Runs expectedRuns;
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(answers[i], kDone) << i;
        expectedRuns.push_back({"delPartition", std::to_string(i), "c" + std::to_string(i)});
    }
    Runs runs = recordedRuns(installation.homeDir());
    std::sort(runs.begin(), runs.end());
    std::sort(expectedRuns.begin(), expectedRuns.end());
    EXPECT_EQ(runs, expectedRuns);

    const std::vector<std::string> lines = lndbtest::readLines(installation.debugLogPath());
    EXPECT_EQ(lines.size(), 2u * kClients);
    const std::regex whole(R"(^\d+ \d+ \d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \[RunPostInstallScript\] )"
                           R"((launching NotesPostInstall script with cmdline: <.*/NotesPostInstall delPartition (\d+) c\2>)"
                           R"(|return value for execution of \[.*/NotesPostInstall delPartition (\d+) c\3\]: 0 .*)$)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- a hostile local user in the socket's directory ----

struct User {
    uid_t uid;
    gid_t gid;
};

User nobody()
{
    const struct passwd* entry = getpwnam("nobody");
    return entry != nullptr ? User{entry->pw_uid, entry->pw_gid} : User{0, 0};
}

// Runs `steps` in a child process as the user nobody; its exit status.
int asNobody(const std::function<bool()>& steps)
{
    const User user = nobody();
    return lndbtest::runInChild([&] {
        if (user.uid == 0 || setgroups(0, nullptr) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0)
            return 100;
        return steps() ? 0 : 1;
    });
}

bool bindSocketAt(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

std::vector<std::string> entriesOf(const std::string& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// What happened in a directory, one "<event> <name>" per entry.
class DirectoryWatch {
public:
    explicit DirectoryWatch(const std::string& directory) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd_, directory.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB);
    }
    ~DirectoryWatch() { close(fd_); }
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    std::vector<std::string> events() const
    {
        std::vector<std::string> seen;
        alignas(inotify_event) char buffer[65536];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                std::string kind = event->mask & IN_CREATE      ? "create"
                                   : event->mask & IN_DELETE    ? "delete"
                                   : event->mask & IN_MOVED_TO  ? "moved-in"
                                   : event->mask & IN_MOVED_FROM ? "moved-out"
                                                                : "attributes";
                if (event->mask & IN_ISDIR)
                    kind += "-directory";
                seen.push_back(kind + " " + (event->len > 0 ? event->name : ""));
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return seen;
    }

private:
    int fd_;
};

TEST_F(HostilePeers, TheSocketCannotBeSwappedNorItsLockPlanted)
{
    ASSERT_EQ(geteuid(), 0u) << "the attack needs a second user";
    ASSERT_NE(nobody().uid, 0u);
    lndbtest::TempDir top;
    chmod(top.path().c_str(), 0711);
    const std::string shared = top / "shared";  // the attacker's directory
    lndbtest::makeDirs(shared, 0755);
    ASSERT_EQ(chown(shared.c_str(), nobody().uid, nobody().gid), 0);
    const std::string target = top / "root-only";
    lndbtest::writeFile(target, "secret", 0600);
    const std::string path = shared + "/partition.sock";
    const std::string lock = path + ".lock";

    // A lock file planted by the attacker is not used, and nothing is made.
    const std::string notUsed = "lndb: " + lock + " is not a regular file of this user with one link: not used\n";
    struct Plant {
        const char* what;
        std::function<bool()> steps;
        std::string error;
    };
    const Plant plants[] = {
        {"link to a root file", [&] { return symlink(target.c_str(), lock.c_str()) == 0; },
         "lndb: " + lock + " is a symbolic link: not used\n"},
        {"FIFO", [&] { return mkfifo(lock.c_str(), 0666) == 0; }, notUsed},
        {"the attacker's file",
         [&] {
             lndbtest::writeFile(lock, "x");
             return true;
         },
         notUsed},
    };
    for (const Plant& plant : plants) {
        SCOPED_TRACE(plant.what);
        ASSERT_EQ(asNobody(plant.steps), 0);
        lndbtest::ServeProcess refused(path, outputPath);
        EXPECT_EQ(refused.stop(0), 1);
        EXPECT_EQ(readFile(outputPath + ".err"), plant.error);
        EXPECT_EQ(entriesOf(shared), std::vector<std::string>{"partition.sock.lock"});
        unlink(lock.c_str());
    }
    struct stat targetStat {};
    ASSERT_EQ(stat(target.c_str(), &targetStat), 0);
    EXPECT_EQ(targetStat.st_mode & 07777, 0600u);
    EXPECT_EQ(targetStat.st_uid, 0u);
    EXPECT_EQ(readFile(target), "secret");

    // The socket is bound in a private directory of random name and only
    // renamed into the shared directory: no name there is predictable, no
    // mode is changed by path, the attacker's stale socket is replaced.
    ASSERT_EQ(asNobody([&] { return bindSocketAt(path); }), 0);
    const DirectoryWatch watch(shared);
    lndbtest::ServeProcess server(path, outputPath);
    ASSERT_TRUE(server.ready()) << readFile(outputPath + ".err");
    const std::vector<std::string> events = watch.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], "create partition.sock.lock");
    EXPECT_TRUE(std::regex_match(events[1], std::regex(R"(create-directory \.partition\.sock\.[0-9a-f]{16})")))
        << events[1];
    EXPECT_EQ(events[2], "moved-in partition.sock");
    EXPECT_EQ(events[3], "delete-directory " + events[1].substr(events[1].find(' ') + 1));
    for (const auto& [file, type] : {std::pair{path, S_IFSOCK}, std::pair{lock, S_IFREG}}) {
        struct stat st {};
        ASSERT_EQ(lstat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, static_cast<mode_t>(type)) << file;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
        EXPECT_EQ(st.st_uid, 0u) << file;
    }
    EXPECT_EQ(asNobody([&] { return connectTo(path) < 0; }), 0) << "only root may connect";

    // The attacker swaps the live socket for one of their own: on exit the
    // server removes its lock, and leaves their socket alone.
    ASSERT_EQ(asNobody([&] { return unlink(path.c_str()) == 0 && bindSocketAt(path); }), 0);
    EXPECT_EQ(server.stop(SIGTERM), 0);
    struct stat left {};
    ASSERT_EQ(lstat(path.c_str(), &left), 0);
    EXPECT_EQ(left.st_uid, nobody().uid);
    EXPECT_EQ(entriesOf(shared), std::vector<std::string>{"partition.sock"});
}

}  // namespace
