#include "child.h"

#include "file_descriptor.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lndbcheck {
namespace {

using common::UniqueFd;
using Clock = std::chrono::steady_clock;

void writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void childMain(int reportFd, const std::optional<std::string>& partition,
                            const std::string& check, const std::string& what,
                            const std::function<void(Findings&)>& body)
{
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    Findings findings;
    findings.setPartition(partition);
    try {
        body(findings);
    } catch (const std::exception& error) {
        findings.fail(check, what, std::string("the check itself failed: ") + error.what(), "");
    } catch (...) {
        findings.fail(check, what, "the check itself failed", "");
    }
    writeAll(reportFd, encodeFindings(findings.all()));
    _exit(0);
}

// Reads the child's report to its end; false when the deadline passes first.
bool readReport(int fd, std::string& report, Clock::time_point deadline)
{
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = poll(&waitFor, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return false;  // the deadline passed
        if (ready < 0)
            return true;  // nothing more can be read: what came is the report
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        report.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string howItEnded(int status)
{
    if (WIFSIGNALED(status))
        return "the check's child process was ended by signal " + std::to_string(WTERMSIG(status));
    return "the check's child process ended with status " + std::to_string(WEXITSTATUS(status)) +
           " without a report";
}

}  // namespace

pid_t runInChild(Findings& findings, const std::optional<std::string>& partition,
                 const std::string& check, const std::string& what, int timeoutSeconds,
                 const std::function<void(Findings&)>& body)
{
    pid_t pid = -1;
    const auto fail = [&](const std::string& reason) {
        Findings failure;
        failure.setPartition(partition);
        failure.fail(check, what, reason, "");
        findings.add(failure.all().front());
        return pid;
    };
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return fail(std::string("no pipe for the check's child process: ") + std::strerror(errno));
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    std::fflush(nullptr);
    pid = fork();
    if (pid < 0)
        return fail(std::string("the check's child process cannot be started: ") +
                    std::strerror(errno));
    if (pid == 0) {
        readEnd.reset();
        childMain(writeEnd.get(), partition, check, what, body);
    }
    writeEnd.reset();
    std::string report;
    const bool complete =
        readReport(readEnd.get(), report, Clock::now() + std::chrono::seconds(timeoutSeconds));
    if (!complete)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!complete)
        return fail("no answer within " + std::to_string(timeoutSeconds) + " s");
    std::vector<Finding> reported;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail(howItEnded(status));
    if (!decodeFindings(report, reported) || reported.empty())
        return fail("the check's child process sent an incomplete report");
    for (Finding& finding : reported)
        findings.add(std::move(finding));
    return pid;
}

bool becomeUser(const PartitionUser& user, Findings& findings)
{
    const std::string what = "switch to user " + user.name;
    const auto refused = [&](const char* step) {
        const int error = errno;
        findings.fail("user switch", what, std::string(step) + " failed: " + std::strerror(error),
                      error == EPERM ? "run lndb check as root" : "");
        return false;
    };
    if (getuid() == user.uid && geteuid() == user.uid)
        return true;  // already the user: nothing to switch
    if (initgroups(user.name.c_str(), user.gid) != 0)
        return refused("initgroups");
    if (setresgid(user.gid, user.gid, user.gid) != 0)
        return refused("setresgid");
    if (setresuid(user.uid, user.uid, user.uid) != 0)
        return refused("setresuid");
    return true;
}

}  // namespace lndbcheck
