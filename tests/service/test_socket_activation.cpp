// lndb partition serve on a socket that systemd passes (LISTEN_FDS): a real
// request through systemd-socket-activate running the sample script, the
// readiness and stop reported on NOTIFY_SOCKET, and what it refuses to serve.

#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using lndbtest::readFile;
using lndbtest::runCommand;
using lndbtest::shellQuote;

const std::string kLndb = lndbtest::binDir() + "/lndb";
const std::string kSocketActivate = "/usr/bin/systemd-socket-activate";

// A Unix socket of `type` bound at `path` (listening when a stream socket).
int boundSocket(int type, const std::string& path)
{
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The datagrams sd_notify sends, as systemd receives them.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path), fd_(boundSocket(SOCK_DGRAM, path)) {}
    ~NotifySocket() { close(fd_); }
    const std::string& path() const { return path_; }
    // The next message, or "<none>" after 30 s.
    std::string next()
    {
        pollfd entry{fd_, POLLIN, 0};
        char message[4096];
        if (poll(&entry, 1, 30000) != 1)
            return "<none>";
        const ssize_t n = recv(fd_, message, sizeof message, 0);
        return n < 0 ? "<none>" : std::string(message, static_cast<size_t>(n));
    }

private:
    std::string path_;
    int fd_;
};

// Starts `argv` with its output in `out` and `out`.err, and `passed` handed
// over as systemd hands sockets over: descriptors 3..., LISTEN_FDS and
// LISTEN_PID (the program's own pid unless `listenPid`).
pid_t start(std::vector<std::string> argv, const std::string& out, const std::vector<int>& passed = {},
            const char* listenPid = nullptr)
{
    std::vector<char*> words;
    for (std::string& word : argv)
        words.push_back(word.data());
    words.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Out of the way first, then into place (dup2 clears close-on-exec).
    std::vector<int> moved;
    for (int fd : passed)
        moved.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
    for (size_t i = 0; i < moved.size(); ++i)
        dup2(moved[i], 3 + static_cast<int>(i));
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 1);
    dup2(open((out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 2);
    if (!passed.empty()) {
        setenv("LISTEN_FDS", std::to_string(passed.size()).c_str(), 1);
        setenv("LISTEN_PID", listenPid != nullptr ? listenPid : std::to_string(getpid()).c_str(), 1);
    }
    execv(words[0], words.data());
    _exit(127);
}

// The exit status of `pid` (128 + signal), killing it after 30 s.
int waitFor(pid_t pid)
{
    int status = 0;
    for (int i = 0; waitpid(pid, &status, WNOHANG) != pid; ++i) {
        if (i == 3000)
            kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ino_t inodeOf(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(SocketActivation, ServesARealRequestAndReportsToSystemd)
{
    if (access(kSocketActivate.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSocketActivate << " is missing (Debian package systemd)";
    lndbtest::SampleInstallation installation;
    lndbtest::writeFile(installation.homeDir() + "/NotesPostInstall",
                        readFile(lndbtest::sourceDir() + "/examples/sample/NotesPostInstall"), 0755);
    const std::string dataDir = installation.root() + "/notesdata1";
    const std::string programDir = installation.root() + "/domino";
    lndbtest::makeDirs(dataDir);
    lndbtest::makeDirs(programDir);
    const std::string run = installation.root() + "/run";
    lndbtest::makeDirs(run);
    const std::string socketPath = run + "/partition.sock";
    const std::string out = installation.root() + "/server.out";
    NotifySocket notify(installation.root() + "/notify");

    // As systemd would: a clean environment but for what the unit sets.
    const pid_t server = start({kSocketActivate, "--listen=" + socketPath, "-E", "KR_REGISTRY_DIR", "-E",
                                "KR_INSTANCE", "-E", "KR_DEBUG_LOG", "-E", "LNDB=" + kLndb, "-E",
                                "NOTIFY_SOCKET=" + notify.path(), kLndb, "partition", "serve"},
                               out);
    ASSERT_GT(server, 0);
    for (int i = 0; i < 3000 && inodeOf(socketPath) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const ino_t listening = inodeOf(socketPath);
    ASSERT_NE(listening, 0u) << readFile(out + ".err");

    // The first connection starts the server, which answers it.
    const auto added = runCommand(shellQuote(kLndb) + " partition add --socket " + shellQuote(socketPath) +
                                  " --number 1 " + shellQuote(dataDir) + " " + shellQuote(programDir) + " nobody");
    EXPECT_EQ(added.out, "errorCode: 0\n") << added.err << readFile(out + ".err");
    EXPECT_EQ(runCommand(shellQuote(kLndb) + " config get sDominoDataDir_1").out, dataDir + "\n");
    EXPECT_EQ(notify.next(), "READY=1\nSTATUS=Serving partition requests");
    EXPECT_EQ(readFile(out), "serving partition requests on the socket passed by systemd\n");

    // systemd's socket is used as it is: not replaced, no lock, nothing made
    // beside it; and it outlives the server.
    EXPECT_EQ(runCommand("ls -A " + shellQuote(run)).out, "partition.sock\n");
    kill(server, SIGTERM);
    EXPECT_EQ(waitFor(server), 0);
    EXPECT_EQ(notify.next(), "STOPPING=1\nSTATUS=Stopping: answering the requests already received");
    EXPECT_EQ(inodeOf(socketPath), listening);
}

TEST(SocketActivation, RefusesWhatItCannotServe)
{
    lndbtest::TempDir dir;
    const int listening = boundSocket(SOCK_STREAM, dir / "listening");
    const int second = boundSocket(SOCK_STREAM, dir / "second");
    const int datagram = boundSocket(SOCK_DGRAM, dir / "datagram");
    const int unbound = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(tcp, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(listen(tcp, 1), 0);
    lndbtest::writeFile(dir / "file", "");
    const int file = open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC);
    const std::string own = dir / "own.sock";
    const std::string notAListener = "lndb: the descriptor systemd passed is not a listening Unix stream socket\n";

    struct Case {
        const char* what;
        std::vector<int> fds;
        std::vector<std::string> extra;
        const char* listenPid;
        int status;
        std::string error;
    };
    const Case cases[] = {
        {"two sockets", {listening, second}, {}, nullptr, 1,
         "lndb: systemd passed 2 descriptors; one listening socket is served\n"},
        {"a socket that does not listen", {unbound}, {}, nullptr, 1, notAListener},
        {"a datagram socket", {datagram}, {}, nullptr, 1, notAListener},
        {"a TCP socket", {tcp}, {}, nullptr, 1, notAListener},
        {"a file", {file}, {}, nullptr, 1, notAListener},
        {"--socket as well", {listening}, {"--socket", own, "--once"}, nullptr, 2,
         "lndb: --socket cannot be given when systemd passes the socket (LISTEN_FDS) (try 'lndb partition "
         "serve --help')\n"},
        // Variables inherited from a parent that was activated: not ours.
        {"passed to another process", {listening}, {}, "1", 2,
         "lndb: --socket is required unless systemd passes the socket (LISTEN_FDS) (try 'lndb partition "
         "serve --help')\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = {kLndb, "partition", "serve"};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(waitFor(start(argv, dir / "out", c.fds, c.listenPid)), c.status);
        EXPECT_EQ(readFile(dir / "out.err"), c.error);
        EXPECT_EQ(readFile(dir / "out"), "");
    }
    EXPECT_FALSE(lndbtest::exists(own));
    EXPECT_FALSE(lndbtest::exists(own + ".lock"));
    for (int fd : {listening, second, datagram, unbound, tcp, file})
        close(fd);
}

}  // namespace
