#include "EvDebug.h"

#include "KRPI.h"
#include "safe_files.h"
#include "unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

// The base name of the running program, for <LogFilesDirectory>/<name>.log.
const std::string& executableName()
{
    static const std::string name = [] {
        char path[4096];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0)
            return std::string(program_invocation_short_name);
        std::string full(path, static_cast<size_t>(n));
        const std::string deleted = " (deleted)";
        if (full.size() > deleted.size() && full.ends_with(deleted))
            full.resize(full.size() - deleted.size());
        return full.substr(full.rfind('/') + 1);
    }();
    return name;
}

std::string fromEnvironment(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr ? value : "";
}

// Log files stay open once opened, as the agent's own logger keeps them: a
// process that has switched to an unprivileged user (the Notes start-up does)
// can still write the log that root opened, and a line costs one lstat()
// instead of an open() and a close(). A file that was removed or replaced
// under its name is opened again. Only a regular file with one link is
// written, never through a link: the log directory may be writable by users
// who would point the log at a file of root's.
class OpenLogFiles {
public:
    // The descriptor to append to `path`, or -1. Call with the lock held.
    int descriptorFor(const std::string& path)
    {
        if (path.empty())
            return -1;
        struct stat st {};
        for (Entry& entry : entries_) {
            if (entry.path != path)
                continue;
            if (lstat(path.c_str(), &st) == 0) {
                if (st.st_dev == entry.device && st.st_ino == entry.inode && S_ISREG(st.st_mode) &&
                    st.st_nlink == 1)
                    return entry.fd.get();
            } else if (errno != ENOENT && errno != ENOTDIR) {
                // Cannot look (a user switch took away the search right on a
                // directory): nothing shows the file was replaced.
                return entry.fd.get();
            }
            entry.fd.reset();
            entry.path.clear();
        }
        safefiles::Refusal refusal;
        krlib::UniqueFd fd(safefiles::openLog(path.c_str(), 0644, refusal));
        if (!fd.valid() || fstat(fd.get(), &st) != 0)
            return -1;
        for (Entry& entry : entries_) {
            if (entry.path.empty()) {
                entry = Entry{path, std::move(fd), st.st_dev, st.st_ino};
                return entry.fd.get();
            }
        }
        // Keep a handful: the debug log and the event log are all a process uses
        // at a time; the oldest makes room.
        if (entries_.size() >= kMaxEntries)
            entries_.erase(entries_.begin());
        entries_.push_back(Entry{path, std::move(fd), st.st_dev, st.st_ino});
        return entries_.back().fd.get();
    }

    std::mutex& lock() { return lock_; }

private:
    struct Entry {
        std::string path;
        krlib::UniqueFd fd;
        dev_t device = 0;
        ino_t inode = 0;
    };
    static constexpr size_t kMaxEntries = 8;
    std::mutex lock_;
    std::vector<Entry> entries_;
};

OpenLogFiles& openLogFiles()
{
    // Never destroyed: threads may still log while the process exits.
    static OpenLogFiles* files = new OpenLogFiles;
    return *files;
}

// Appends `line` with one write() to the file named by `variable`; else to
// `fileName` in the focused instance's log directory; else to standard error.
// Resolved per line: the environment and the store may change in between.
void appendLine(const char* variable, const std::string& fileName, const std::string& line)
{
    OpenLogFiles& files = openLogFiles();
    std::lock_guard<std::mutex> guard(files.lock());
    int fd = files.descriptorFor(fromEnvironment(variable));
    if (fd < 0) {
        const std::string directory = KRPI_PlatformBase().getLogFilesDirectory();
        if (!directory.empty())
            fd = files.descriptorFor(directory + "/" + fileName);
    }
    krlib::writeAll(fd >= 0 ? fd : STDERR_FILENO, line);
}

std::string formatted(const char* format, va_list args)
{
    if (format == nullptr)
        return {};
    std::vector<char> buffer(512);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(static_cast<size_t>(n) + 1);
    }
}

// Appends `text` so that it stays on the line: values from the network go
// into debug lines, and a line break among them would let a peer start a line
// of its own choosing in the log. Each byte below 0x20 other than tab, and
// 0x7F, is written as \n, \r or \xNN; all else, UTF-8 included, as it is.
void appendOnOneLine(std::string& line, std::string_view text)
{
    const auto plain = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte >= 0x20 && byte != 0x7F) || byte == '\t';
    };
    while (!text.empty()) {
        size_t run = 0;
        while (run < text.size() && plain(text[run]))
            ++run;
        line.append(text.data(), run);
        if (run == text.size())
            return;
        const auto byte = static_cast<unsigned char>(text[run]);
        if (byte == '\n') {
            line.append("\\n");
        } else if (byte == '\r') {
            line.append("\\r");
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
            line.append(escaped, sizeof escaped);
        }
        text.remove_prefix(run + 1);
    }
}

struct LocalTime {
    struct tm fields;
    long milliseconds;
};

LocalTime now()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    LocalTime t{};
    localtime_r(&ts.tv_sec, &t.fields);
    t.milliseconds = ts.tv_nsec / 1'000'000;
    return t;
}

int debugLevel()
{
    const char* text = std::getenv("KR_DEBUG_LEVEL");
    if (text == nullptr)
        return 0;
    char* end = nullptr;
    errno = 0;
    const long level = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || level < -1'000'000 || level > 1'000'000)
        return 0;
    return static_cast<int>(level);
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance*) {}

EvDebug::~EvDebug() = default;

void EvDebug::debug(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(nullptr, format, args);
    va_end(args);
}

void EvDebug::Debug(const char* tag, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(tag, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...)
{
    if (level > debugLevel())
        return;
    va_list args;
    va_start(args, format);
    writeLine(tag, format, args);
    va_end(args);
}

void EvDebug::writeLine(const char* tag, const char* format, va_list args)
{
    try {
        const LocalTime t = now();
        char prefix[96];
        const int prefixLength =
            std::snprintf(prefix, sizeof prefix, "%d %ld %02d/%02d %02d:%02d:%02d.%03ld ",
                          static_cast<int>(getpid()), static_cast<long>(gettid()), t.fields.tm_mon + 1,
                          t.fields.tm_mday, t.fields.tm_hour, t.fields.tm_min, t.fields.tm_sec,
                          t.milliseconds);
        std::string message = formatted(format, args);
        // The message's own closing line feed is the line's end.
        if (!message.empty() && message.back() == '\n')
            message.pop_back();
        std::string line;
        line.reserve(static_cast<size_t>(prefixLength) + message.size() + 64);
        line.append(prefix, static_cast<size_t>(prefixLength));
        if (tag != nullptr) {
            line.push_back('[');
            appendOnOneLine(line, tag);
            line.append("] ");
        }
        appendOnOneLine(line, message);
        line.push_back('\n');
        appendLine("KR_DEBUG_LOG", executableName() + ".log", line);
    } catch (...) {
        // A log line that cannot be built is dropped; logging never fails its caller.
    }
}

EvEvent::EvEvent() : EvDebug(nullptr) {}

EvEvent::~EvEvent() = default;

void EvEvent::CriticalEvent(unsigned int code, long a, long b)
{
    try {
        const LocalTime t = now();
        char line[128];
        std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d %d CRITICAL 0x%08X %ld %ld\n",
                      t.fields.tm_year + 1900, t.fields.tm_mon + 1, t.fields.tm_mday, t.fields.tm_hour,
                      t.fields.tm_min, t.fields.tm_sec, static_cast<int>(getpid()), code, a, b);
        appendLine("KR_EVENT_LOG", "events.log", line);
    } catch (...) {
        // As for debug lines: dropped, never thrown to the caller.
    }
    debug("critical event 0x%08X raised (%ld, %ld)", code, a, b);
}
