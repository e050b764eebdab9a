// Process runner: a shell command with both outputs captured, each up to a
// bound.

#include "KrProcess.h"

#include "spawn_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using krlib::Deadline;
using krlib::UniqueFd;
using krlib::WaitResult;

namespace {

constexpr size_t kReadChunk = 64 * 1024;

// The shell and its process group. Until reaped, the group is killed and the
// shell reaped on destruction, so no way out (an exception included) leaves a
// command running unwatched.
class ShellChild {
public:
    ShellChild() = default;
    ~ShellChild()
    {
        if (pid_ < 0)
            return;
        killGroup();
        int status = 0;
        int error = 0;
        krlib::waitForChild(pid_, pidfd_.get(), Deadline::never(), &status, &error);
    }
    ShellChild(const ShellChild&) = delete;
    ShellChild& operator=(const ShellChild&) = delete;

    int start(char* const argv[], int stdoutFd, int stderrFd)
    {
        krlib::SpawnOptions options;
        options.stdoutFd = stdoutFd;
        options.stderrFd = stderrFd;
        options.ownProcessGroup = true;
        pid_t pid = -1;
        const int rc = krlib::spawnChild(&pid, "/bin/sh", argv, options);
        if (rc == 0) {
            pid_ = pid;
            pidfd_ = krlib::openPidfd(pid);
        }
        return rc;
    }

    // The shell leads its own group, and the unreaped shell keeps the group
    // id from being reused, so this reaches only the command's processes.
    // Should the group be unknown, the shell itself still ends.
    void killGroup() const
    {
        if (kill(-pid_, SIGKILL) != 0)
            kill(pid_, SIGKILL);
    }

    WaitResult wait(const Deadline& deadline, int* status, int* error)
    {
        const WaitResult result = krlib::waitForChild(pid_, pidfd_.get(), deadline, status, error);
        if (result == WaitResult::Ended || (result == WaitResult::Failed && *error == ECHILD))
            pid_ = -1;  // reaped, or reaped elsewhere
        return result;
    }

private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
};

// A pipe whose ends are both above standard error, so the child's
// redirections never overwrite one of them.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    for (UniqueFd* end : {&readEnd, &writeEnd}) {
        if (end->get() > STDERR_FILENO)
            continue;
        const int moved = fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0)
            return errno;
        end->reset(moved);
    }
    return 0;
}

struct Stream {
    UniqueFd fd;
    std::string* sink;         // null: read and dropped
    unsigned long long* size;  // bytes read, kept or dropped
};

// Keeps what still fits under the bound and drops the rest.
void keep(Stream& stream, const char* data, size_t length)
{
    *stream.size += length;
    if (stream.sink == nullptr || stream.sink->size() >= KrProcess::kMaxKeptOutput)
        return;
    stream.sink->append(data, std::min(length, KrProcess::kMaxKeptOutput - stream.sink->size()));
}

// Reads both streams to their ends at once. Returns 0, ETIMEDOUT when the
// deadline passed first, or the errno value of a failed poll.
int drain(Stream (&streams)[2], const Deadline& deadline)
{
    char buffer[kReadChunk];
    for (;;) {
        pollfd entries[2];
        Stream* owners[2];
        nfds_t count = 0;
        for (Stream& stream : streams) {
            if (stream.fd.valid()) {
                entries[count] = pollfd{stream.fd.get(), POLLIN, 0};
                owners[count++] = &stream;
            }
        }
        if (count == 0)
            return 0;
        const int ready = poll(entries, count, deadline.pollTimeout());
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready == 0 && deadline.passed())
            return ETIMEDOUT;
        if (ready <= 0)
            continue;  // EINTR, or poll woke early
        for (nfds_t i = 0; i < count; ++i) {
            if (entries[i].revents == 0)
                continue;
            const ssize_t n = read(entries[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                keep(*owners[i], buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                owners[i]->fd.reset();  // end of the stream (a read error ends it too)
            }
        }
    }
}

int refuse(std::string* err, const std::string& reason) noexcept
{
    try {
        if (err != nullptr) {
            if (!err->empty() && err->back() != '\n')
                err->push_back('\n');
            err->append(reason);
        }
    } catch (...) {
    }
    return -1;
}

int runShell(const char* command, std::string* out, std::string* err, int timeoutSeconds,
             unsigned long long* outSize, unsigned long long* errSize)
{
    Stream streams[2] = {{UniqueFd(), out, outSize}, {UniqueFd(), err, errSize}};
    UniqueFd outWrite;
    UniqueFd errWrite;
    int rc = makePipe(streams[0].fd, outWrite);
    if (rc == 0)
        rc = makePipe(streams[1].fd, errWrite);
    if (rc != 0)
        return refuse(err, "cannot start /bin/sh: " + krlib::errnoText(rc));

    char shell[] = "sh";
    char dashC[] = "-c";
    std::string text = command;
    char* argv[] = {shell, dashC, text.data(), nullptr};
    ShellChild child;
    rc = child.start(argv, outWrite.get(), errWrite.get());
    if (rc != 0)
        return refuse(err, "cannot start /bin/sh: " + krlib::errnoText(rc));
    outWrite.reset();
    errWrite.reset();

    const Deadline deadline = timeoutSeconds > 0
                                  ? Deadline::after(std::chrono::seconds(timeoutSeconds))
                                  : Deadline::never();
    rc = drain(streams, deadline);
    if (rc != 0 && rc != ETIMEDOUT)
        return refuse(err, "cannot read the output of /bin/sh: " + krlib::errnoText(rc));
    bool timedOut = rc == ETIMEDOUT;
    int status = 0;
    int waitError = 0;
    WaitResult result = WaitResult::TimedOut;
    if (!timedOut)
        result = child.wait(deadline, &status, &waitError);
    if (result == WaitResult::TimedOut) {
        timedOut = true;
        child.killGroup();
        result = child.wait(Deadline::never(), &status, &waitError);
    }
    if (result != WaitResult::Ended)
        return refuse(err, "cannot wait for /bin/sh: " + krlib::errnoText(waitError));
    // A shell that had already exited while its group kept the outputs open
    // still answers with the signal that ended the command: the raw status
    // of a SIGKILL death is the signal number itself.
    if (timedOut && !WIFSIGNALED(status))
        return SIGKILL;
    return status;
}

}  // namespace

int KrProcess::system(const char* command, std::string* out, std::string* err, int timeoutSeconds,
                      bool /*flag*/)
{
    outputSize_ = 0;
    errorSize_ = 0;
    try {
        if (out != nullptr)
            out->clear();
        if (err != nullptr)
            err->clear();
        if (command == nullptr)
            return refuse(err, "cannot run a shell command: none given");
        if (timeoutSeconds < 0)
            return refuse(err, "cannot run a shell command: invalid timeout " +
                                   std::to_string(timeoutSeconds));
        return runShell(command, out, err, timeoutSeconds, &outputSize_, &errorSize_);
    } catch (...) {
        // Only allocation can throw; the shell's group is already killed and
        // reaped by then.
        return refuse(err, "cannot run a shell command: out of memory");
    }
}
