#include "serve_support.h"

#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace lndbtest {

ServeProcess::ServeProcess(const std::string& socketPath, const std::string& outputPath,
                           std::vector<std::string> extra)
    : output_(outputPath)
{
    std::vector<std::string> args = {binDir() + "/lndb", "partition", "serve", "--socket", socketPath};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (outputPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ServeProcess::~ServeProcess()
{
    if (pid_ > 0)
        stop(SIGKILL);
}

bool ServeProcess::ready()
{
    for (int i = 0; i < 1000 && pid_ > 0; ++i) {
        if (readFile(output_).rfind("serving partition requests on ", 0) == 0)
            return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int ServeProcess::stop(int signal)
{
    if (pid_ <= 0)
        return -1;
    if (signal != 0)
        kill(pid_, signal);
    int status = 0;
    for (int i = 0; waitpid(pid_, &status, WNOHANG) != pid_; ++i) {
        if (i == 3000)
            kill(pid_, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string wireFrame(const std::string& xml)
{
    const size_t n = xml.size();
    return std::string{static_cast<char>((n >> 24) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
                       static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)} +
           xml;
}

bool sendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readToEnd(int fd, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string answer;
    char chunk[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) == 0)
            return answer + "<timeout>";
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return answer;
        answer.append(chunk, static_cast<size_t>(n));
    }
}

std::string roundTrip(const std::string& path, const std::string& bytes)
{
    const int fd = connectTo(path);
    if (fd < 0)
        return "<no connection>";
    sendAll(fd, bytes);
    const std::string answer = readToEnd(fd);
    close(fd);
    return answer;
}

std::string doneResponse()
{
    return wireFrame("<message tag=\"16778224\"><int64 field=\"1\" sub=\"1\" id=\"10268693\">0</int64></message>");
}

std::string failedResponse(const std::string& errorString)
{
    return wireFrame("<message tag=\"16778224\"><int64 field=\"1\" sub=\"1\" id=\"10268693\">1</int64>"
                     "<string field=\"2\" sub=\"2\" id=\"12053727\">" +
                     errorString + "</string></message>");
}

std::string deleteRequest(int number, const std::string& value)
{
    return wireFrame("<message tag=\"513299686\"><int64 field=\"3\" id=\"12263650\">0</int64>"
                     "<object field=\"2\" id=\"14807476\" tag=\"508527768\"><int64 field=\"1\" id=\"6898689\">" +
                     std::to_string(number) + "</int64><string field=\"2\" id=\"873307\">" + value +
                     "</string></object></message>");
}

}  // namespace lndbtest
