// Process runner: starting a program without a shell and waiting for it.

#include "KrProcess.h"

#include "command_line.h"
#include "spawn_support.h"

#include <cerrno>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using krlib::WaitResult;

namespace {

// Stores the error text (when there is room for it) and answers false.
bool fail(std::string* error, const std::string& text) noexcept
{
    try {
        if (error != nullptr)
            *error = text;
    } catch (...) {
    }
    return false;
}

int exitCodeOf(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

KrProcess::KrProcess() = default;

// The child is left running: the caller decides its fate.
KrProcess::~KrProcess()
{
    if (pidfd_ >= 0)
        close(pidfd_);
}

void KrProcess::forgetChild() noexcept
{
    if (pidfd_ >= 0)
        close(pidfd_);
    pidfd_ = -1;
    pid_ = -1;
}

bool KrProcess::StartProcess(const char* program, const char* commandLine, std::string* error,
                             int /*flags*/)
{
    try {
        if (program == nullptr || *program == '\0')
            return fail(error, "cannot start a process: no program given");
        std::string name = krlib::oneLine(program);
        // Resolving against the working directory would let it choose what runs.
        if (program[0] != '/')
            return fail(error, "cannot start " + name + ": the program path is not absolute");
        if (pid_ >= 0)
            return fail(error, "cannot start " + name + ": process " + std::to_string(pid_) + " (" +
                                   program_ + ") has not been waited for");

        std::vector<std::string> words = krlib::splitCommandLine(program, commandLine);
        std::vector<char*> argv;
        argv.reserve(words.size() + 1);
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        pid_t pid = -1;
        const int rc = krlib::spawnChild(&pid, program, argv.data(), krlib::SpawnOptions{});
        if (rc != 0)
            return fail(error, "cannot start " + name + ": " + krlib::errnoText(rc));
        pid_ = pid;
        pidfd_ = krlib::openPidfd(pid).release();
        program_ = std::move(name);
        return true;
    } catch (...) {
        // Only allocation can throw, and always before the spawn.
        return fail(error, "cannot start a process: out of memory");
    }
}

bool KrProcess::WaitForProcessToEnd(int* exitCode, std::string* error, int timeout)
{
    if (pid_ < 0)
        return fail(error, "no process to wait for");
    try {
        const std::string child = "process " + std::to_string(pid_) + " (" + program_ + ")";
        if (timeout < -1)
            return fail(error, "cannot wait for " + child + ": invalid timeout " +
                                   std::to_string(timeout));
        const krlib::Deadline deadline = timeout == -1
                                             ? krlib::Deadline::never()
                                             : krlib::Deadline::after(std::chrono::milliseconds(timeout));
        int status = 0;
        int waitError = 0;
        switch (krlib::waitForChild(pid_, pidfd_, deadline, &status, &waitError)) {
        case WaitResult::Ended:
            forgetChild();
            if (exitCode != nullptr)
                *exitCode = exitCodeOf(status);
            return true;
        case WaitResult::TimedOut:
            return fail(error, child + " still running after " + std::to_string(timeout) + " ms");
        case WaitResult::Failed:
            break;
        }
        if (waitError != ECHILD)
            return fail(error, "cannot wait for " + child + ": " + krlib::errnoText(waitError));
        // Someone else reaped it (a host that ignores SIGCHLD has the kernel
        // do so): it has ended, but its exit status is lost.
        forgetChild();
        return fail(error, "cannot wait for " + child + ": " + krlib::errnoText(waitError) +
                               "; it was reaped elsewhere (is SIGCHLD ignored?)");
    } catch (...) {
        return fail(error, "cannot wait for a process: out of memory");
    }
}
