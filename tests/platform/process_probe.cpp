#include "process_probe.h"

#include "test_support.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace probe {

std::string path()
{
    return lndbtest::binDir() + "/probe_child";
}

Report readReport(const std::string& file)
{
    const std::string text = lndbtest::readFile(file);
    std::istringstream in(text);
    Report report;
    std::string word;
    size_t argc = 0;
    if (!(in >> word >> argc) || word != "argc")
        throw std::runtime_error("no report in " + file);
    in.get();
    for (size_t i = 0; i < argc; ++i) {
        size_t length = 0;
        if (!(in >> length) || in.get() != ' ')
            throw std::runtime_error("malformed argument in " + file);
        std::string argument(length, '\0');
        in.read(argument.data(), static_cast<std::streamsize>(length));
        in.get();
        report.argv.push_back(argument);
    }
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "fd") {
            int fd = -1;
            std::string target;
            fields >> fd >> target;
            report.descriptors[fd] = target;
        } else if (key == "SigIgn:") {
            fields >> report.sigIgn;
        } else if (key == "SigBlk:") {
            fields >> report.sigBlk;
        }
    }
    return report;
}

unsigned long long withoutLibcSignals(const std::string& hexMask)
{
    // Bit n - 1 stands for signal n.
    return std::stoull(hexMask, nullptr, 16) & ~(3ull << 31);
}

bool becomeCarelessHost()
{
    int fds[2];
    if (pipe(fds) != 0 || dup2(fds[0], STDIN_FILENO) < 0)
        return false;
    const int inheritable = open("/dev/null", O_RDONLY);
    if (inheritable < 0 || dup2(inheritable, 100) < 0)
        return false;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    return sigprocmask(SIG_BLOCK, &blocked, nullptr) == 0;
}

std::string descriptorTarget(int fd)
{
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

int openDescriptorCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the listing's own descriptor
}

bool isRunning(pid_t pid)
{
    // Field 3 of /proc/<pid>/stat is the state; it follows the ")" that ends
    // the command name.
    const std::string stat = lndbtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

bool awaitEnd(pid_t pid)
{
    for (int i = 0; i < 6000; ++i) {
        if (!isRunning(pid))
            return true;
        usleep(10000);
    }
    return false;
}

}  // namespace probe
