// A child for process-runner tests: tells how it was started and behaves as
// asked, all through environment variables, so its argument vector stays
// exactly what the runner made of the command line.
//
//   PROBE_REPORT=path   writes a report to path:
//                         argc <n>
//                         <length> <bytes>        one per argument
//                         fd <n> <target>         one per open descriptor
//                         SigIgn: <hex>           from /proc/self/status
//                         SigBlk: <hex>
//   PROBE_WAIT_FOR=path waits until path exists
//   PROBE_FLOOD=bytes   writes that many bytes of probe::floodByte() to standard
//                       output and to standard error, alternating 16 KiB
//                       pieces, so both pipes fill at the same time
//   PROBE_SIGNAL=n      then ends by signal n
//   PROBE_EXIT=n        else exits with status n (default 0)

#include "probe_flood.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

std::vector<std::string> openDescriptors()
{
    std::vector<std::string> lines;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return {"fd-listing-failed"};
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir))
            continue;
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[4096];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        lines.push_back(std::string("fd ") + entry->d_name + " " + target);
    }
    closedir(dir);
    return lines;
}

void writeReport(const char* path, int argc, char** argv)
{
    // Listed before the report file is opened, so it does not show.
    const std::vector<std::string> descriptors = openDescriptors();
    std::ofstream report(path, std::ios::binary | std::ios::trunc);
    report << "argc " << argc << "\n";
    for (int i = 0; i < argc; ++i)
        report << std::strlen(argv[i]) << " " << argv[i] << "\n";
    for (const std::string& line : descriptors)
        report << line << "\n";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigBlk:", 0) == 0)
            report << line << "\n";
    }
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool flood(size_t total)
{
    constexpr size_t kPiece = 16 * 1024;
    std::vector<char> piece(kPiece);
    for (size_t done = 0; done < total; done += kPiece) {
        const size_t size = std::min(kPiece, total - done);
        for (int stream : {1, 2}) {
            for (size_t i = 0; i < size; ++i)
                piece[i] = probe::floodByte(stream, done + i);
            if (!writeAll(stream, piece.data(), size))
                return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (const char* path = env("PROBE_REPORT"))
        writeReport(path, argc, argv);
    if (const char* path = env("PROBE_WAIT_FOR")) {
        struct stat st {};
        while (stat(path, &st) != 0)
            usleep(5000);
    }
    if (const char* bytes = env("PROBE_FLOOD")) {
        if (!flood(std::strtoull(bytes, nullptr, 10)))
            return 99;
    }
    if (const char* signal = env("PROBE_SIGNAL")) {
        const int number = std::atoi(signal);
        std::signal(number, SIG_DFL);
        std::raise(number);
        return 98;  // the signal did not end the process
    }
    if (const char* status = env("PROBE_EXIT"))
        return std::atoi(status);
    return 0;
}
