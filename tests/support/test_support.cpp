#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lndbtest {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lndb-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& content, int mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            throw std::runtime_error("short write to " + path);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void makeDirs(const std::string& path, int mode)
{
    fs::create_directories(path);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name)
{
    const char* old = std::getenv(name);
    hadValue_ = old != nullptr;
    if (hadValue_)
        oldValue_ = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (hadValue_)
        setenv(name_.c_str(), oldValue_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

std::string stripDebugPrefix(const std::string& line)
{
    // "<pid> <tid> <MM/DD> <HH:MM:SS.mmm> ": four blank-separated fields.
    size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        pos = line.find(' ', pos);
        if (pos == std::string::npos)
            return line;
        ++pos;
    }
    return line.substr(pos);
}

SampleInstallation::SampleInstallation(const std::string& instance) : instance_(instance)
{
    makeDirs(registryDir());
    makeDirs(installDir());
    makeDirs(homeDir());
    makeDirs(logDir());
    writeFile(storePath(), "[Platform]\nOrreryDirectory = " + installDir() +
                               "\nBaseHomeDirectory = " + homeDir() +
                               "\nLogFilesDirectory = " + logDir() + "\n");
    env_.push_back(new ScopedEnv("KR_REGISTRY_DIR", registryDir().c_str()));
    env_.push_back(new ScopedEnv("KR_INSTANCE", instance_.c_str()));
    env_.push_back(new ScopedEnv("KR_DEBUG_LOG", debugLogPath().c_str()));
    env_.push_back(new ScopedEnv("KR_DEBUG_LEVEL", nullptr));
    env_.push_back(new ScopedEnv("KR_EVENT_LOG", nullptr));
}

SampleInstallation::~SampleInstallation()
{
    for (auto it = env_.rbegin(); it != env_.rend(); ++it)
        delete *it;
}

void SampleInstallation::appendToStore(const std::string& text)
{
    writeFile(storePath(), readFile(storePath()) + text);
}

std::vector<std::string> SampleInstallation::debugLines() const
{
    std::vector<std::string> lines;
    for (const std::string& line : readLines(debugLogPath()))
        lines.push_back(stripDebugPrefix(line));
    return lines;
}

void SampleInstallation::clearDebugLog()
{
    if (truncate(debugLogPath().c_str(), 0) != 0 && errno != ENOENT)
        throw std::runtime_error("cannot empty " + debugLogPath() + ": " + std::strerror(errno));
}

int runInChild(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int result = 125;
        try {
            result = body();
        } catch (...) {
            result = 126;
        }
        std::fflush(nullptr);
        _exit(result);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

CommandResult runCommand(const std::string& command)
{
    TempDir dir;
    const std::string errPath = dir / "stderr";
    const std::string full = command + " 2>" + shellQuote(errPath);
    std::FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("popen failed");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe);
    CommandResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = out;
    result.err = readFile(errPath);
    return result;
}

ScopedCwd::ScopedCwd(const std::string& directory)
{
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) != nullptr)
        saved_ = here;
    if (chdir(directory.c_str()) != 0)
        ADD_FAILURE() << "cannot enter " << directory;
}

ScopedCwd::~ScopedCwd()
{
    if (!saved_.empty() && chdir(saved_.c_str()) != 0)
        ADD_FAILURE() << "cannot return to " << saved_;
}

CaptureFd::CaptureFd(int fd) : fd_(fd)
{
    std::fflush(nullptr);
    char pattern[] = "/tmp/lndb-capture-XXXXXX";
    const int file = mkostemp(pattern, O_CLOEXEC);
    if (file < 0)
        throw std::runtime_error("mkostemp failed");
    path_ = pattern;
    saved_ = fcntl(fd_, F_DUPFD_CLOEXEC, 10);
    dup2(file, fd_);
    close(file);
}

CaptureFd::~CaptureFd()
{
    finish();
    unlink(path_.c_str());
}

std::string CaptureFd::finish()
{
    if (!finished_) {
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        captured_ = readFile(path_);
        finished_ = true;
    }
    return captured_;
}

}  // namespace lndbtest
