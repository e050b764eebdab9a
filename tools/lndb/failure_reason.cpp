#include "failure_reason.h"

#include "KRPI.h"
#include "system_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lndbcli {
namespace {

// Read at most this much of what the call wrote: the reason is near the end.
constexpr off_t kMostRead = 1 << 20;

// The debug log as the logger finds it: $KR_DEBUG_LOG, else
// <LogFilesDirectory>/<program base name>.log of the focused instance, else
// none (the lines go to standard error).
std::string debugLogPath()
{
    const char* variable = std::getenv("KR_DEBUG_LOG");
    if (variable != nullptr && *variable != '\0')
        return variable;
    const std::string logDir = KRPI_PlatformBase().getLogFilesDirectory();
    if (logDir.empty())
        return {};
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string name = n > 0 ? std::string(exe, static_cast<size_t>(n)) : program_invocation_short_name;
    const std::string deleted = " (deleted)";
    if (name.ends_with(deleted))
        name.resize(name.size() - deleted.size());
    return logDir + "/" + name.substr(name.rfind('/') + 1) + ".log";
}

common::UniqueFd openLog(const std::string& path)
{
    if (path.empty())
        return {};
    common::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.valid() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

long long sizeOf(const common::UniqueFd& fd)
{
    struct stat st {};
    return fd.valid() && fstat(fd.get(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// "<pid> <tid> <MM/DD> <HH:MM:SS.mmm> [<tag>] <message>": the message of a
// line of this process, or nothing.
bool messageOf(const std::string& line, const std::string& pid, std::string& message)
{
    if (line.compare(0, pid.size() + 1, pid + " ") != 0)
        return false;
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; ++field) {
        at = line.find(' ', at);
        if (at != std::string::npos)
            ++at;
    }
    if (at == std::string::npos)
        return false;
    if (line.compare(at, 1, "[") == 0) {
        const size_t tagEnd = line.find("] ", at);
        if (tagEnd != std::string::npos)
            at = tagEnd + 2;
    }
    message = line.substr(at);
    return true;
}

}  // namespace

DebugLogWatch::DebugLogWatch() : path_(debugLogPath()), log_(openLog(path_)), start_(sizeOf(log_)) {}

std::vector<std::string> DebugLogWatch::newMessages() const
{
    common::UniqueFd late;
    const common::UniqueFd* log = &log_;
    if (!log_.valid()) {  // the call created the log
        late = openLog(path_);
        log = &late;
    }
    const long long end = sizeOf(*log);
    const long long from = std::max(start_, end - static_cast<long long>(kMostRead));
    std::string text(static_cast<size_t>(std::max(0LL, end - from)), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = pread(log->get(), text.data() + got, text.size() - got,
                                static_cast<off_t>(from + static_cast<long long>(got)));
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    const std::string pid = std::to_string(getpid());
    std::vector<std::string> messages;
    size_t at = from == start_ ? 0 : text.find('\n') + 1;  // a cut first line is left out
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string message;
        if (messageOf(text.substr(at, end - at), pid, message))
            messages.push_back(std::move(message));
        at = end + 1;
    }
    return messages;
}

std::string DebugLogWatch::reason(const std::string& fallback) const
{
    const std::vector<std::string> messages = newMessages();
    // The line naming a critical event follows the line that says why.
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->rfind("critical event 0x", 0) != 0)
            return *it;
    }
    return fallback;
}

void DebugLogWatch::tell(const std::string& reason) const
{
    std::fprintf(stderr, "lndb: %s\n", common::printable(reason).c_str());
    if (path_.empty())
        std::fprintf(stderr, "lndb: no debug log file (the instance names no log directory and "
                             "KR_DEBUG_LOG is not set): its lines went to standard error\n");
    else
        std::fprintf(stderr, "lndb: debug log: %s\n", path_.c_str());
}

void DebugLogWatch::report(const std::string& what, const std::string& fallback) const
{
    std::string why = path_.empty() ? fallback : reason(fallback);
    if (why.empty())
        why = path_.empty() ? "see the debug lines above" : "the debug log gives no reason";
    tell(what + " failed: " + why);
}

}  // namespace lndbcli
