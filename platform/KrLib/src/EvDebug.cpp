#include "EvDebug.h"

#include "KRPI.h"
#include "config_store.h"
#include "safe_files.h"
#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <shared_mutex>
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

// Log files stay open once opened, as the agent's own logger keeps them: a
// process that has switched to an unprivileged user (the Notes start-up does)
// can still write the log that root opened. A file that was removed or
// replaced under its name is opened again. Only a regular file with one link
// is written, never through a link: the log directory may be writable by
// users who would point the log at a file of root's.
class OpenLogFiles {
public:
    // The descriptor to append to `path`, or -1; an open one is kept while
    // the name still leads to it. Call with the lock held exclusively.
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

private:
    struct Entry {
        std::string path;
        krlib::UniqueFd fd;
        dev_t device = 0;
        ino_t inode = 0;
    };
    static constexpr size_t kMaxEntries = 8;
    std::vector<Entry> entries_;
};

// How long a chosen log is used before its name is looked at again: a log
// renamed or removed (rotated) is noticed within this time, and lines up to
// then land in the renamed file.
constexpr long long kRecheckNs = 1'000'000'000LL;

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// An environment variable as last seen: unset, or its text.
class Setting {
public:
    bool matches(const char* value) const
    {
        return value == nullptr ? !set_ : set_ && std::strcmp(text_.c_str(), value) == 0;
    }
    void take(const char* value)
    {
        set_ = value != nullptr;
        text_ = value != nullptr ? value : "";
    }

private:
    bool set_ = false;
    std::string text_;
};

// Where the lines of one kind (debug or event) go, as chosen from the
// environment and the store, and when that was decided. A line whose settings
// match, within kRecheckNs of the choice and with the store unchanged since,
// goes where the last one went without a look at the file system.
struct Route {
    bool chosen = false;
    Setting file;      // KR_DEBUG_LOG or KR_EVENT_LOG
    bool viaStore = false;  // the file came from the store's LogFilesDirectory
    Setting registry;  // KR_REGISTRY_DIR, when via the store
    Setting instance;  // KR_INSTANCE, when via the store
    unsigned long long storeGeneration = 0;
    long long chosenAt = 0;
    int fd = -1;  // -1: standard error

    bool current(const char* fileSetting, long long now) const
    {
        if (!chosen || now - chosenAt >= kRecheckNs || !file.matches(fileSetting))
            return false;
        return !viaStore || (registry.matches(std::getenv("KR_REGISTRY_DIR")) &&
                             instance.matches(std::getenv("KR_INSTANCE")) &&
                             storeGeneration == krlib::storeGeneration());
    }
};

// The open logs and the two routes. Lines are written under the shared lock,
// so that no descriptor is closed (and its number reused) while a line is
// written to it; choosing a route takes the lock exclusively.
struct Logs {
    std::shared_mutex lock;
    OpenLogFiles files;
    Route debug;
    Route event;
};

Logs& logs()
{
    // Never destroyed: threads may still log while the process exits.
    static Logs* const instance = new Logs;
    return *instance;
}

// Decides where `route`'s lines go: the file named by `fileSetting`; else
// `fileName` in the focused instance's log directory; else standard error.
// Call with the lock held exclusively.
void choose(Route& route, OpenLogFiles& files, const char* fileSetting, const std::string& fileName, long long now)
{
    route.chosen = false;
    route.fd = -1;
    route.viaStore = false;
    if (fileSetting != nullptr && *fileSetting != '\0')
        route.fd = files.descriptorFor(fileSetting);
    if (route.fd < 0) {
        route.viaStore = true;
        // Read before the store: a change made while it is read shows later.
        route.storeGeneration = krlib::storeGeneration();
        route.registry.take(std::getenv("KR_REGISTRY_DIR"));
        route.instance.take(std::getenv("KR_INSTANCE"));
        const std::string directory = KRPI_PlatformBase().getLogFilesDirectory();
        if (!directory.empty())
            route.fd = files.descriptorFor(directory + "/" + fileName);
    }
    route.file.take(fileSetting);
    route.chosenAt = now;
    route.chosen = true;
}

// Appends `line` with one write() to where `route` leads (see choose()). The
// choice is made again when the settings or the store change, and at least
// every kRecheckNs, when a log renamed or removed under its name is opened
// anew.
void appendLine(Route Logs::*which, const char* variable, const std::string& fileName, std::string_view line)
{
    Logs& all = logs();
    Route& route = all.*which;
    const char* fileSetting = std::getenv(variable);
    const long long now = monotonicNs();
    {
        std::shared_lock<std::shared_mutex> shared(all.lock);
        if (route.current(fileSetting, now)) {
            krlib::writeAll(route.fd >= 0 ? route.fd : STDERR_FILENO, line);
            return;
        }
    }
    std::unique_lock<std::shared_mutex> exclusive(all.lock);
    if (!route.current(fileSetting, now))
        choose(route, all.files, fileSetting, fileName, now);
    krlib::writeAll(route.fd >= 0 ? route.fd : STDERR_FILENO, line);
}

// The process id, asked of the kernel once and again in a forked child; the
// thread id, once per thread.
std::atomic<pid_t> cachedProcessId{0};
thread_local pid_t cachedThreadId = 0;

void forgetIdsInChild()
{
    cachedProcessId.store(0, std::memory_order_relaxed);
    cachedThreadId = 0;  // the forking thread is the child's only thread
}

pid_t processId()
{
    pid_t pid = cachedProcessId.load(std::memory_order_relaxed);
    if (pid == 0) {
        // Registered before the first id is kept, so no fork can leave a
        // stale one behind.
        static const int registered = pthread_atfork(nullptr, nullptr, forgetIdsInChild);
        (void)registered;
        pid = getpid();
        cachedProcessId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

pid_t threadId()
{
    if (cachedThreadId == 0)
        cachedThreadId = gettid();
    return cachedThreadId;
}

// Appends `text` so that it stays on the line: values from the network go
// into debug lines, and a line break among them would let a peer start a line
// of its own choosing in the log. Each byte below 0x20 other than tab, and
// 0x7F, is written as \n, \r or \xNN; all else, UTF-8 included, as it is.
bool plainByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x20 && byte != 0x7F) || byte == '\t';
}

void appendOnOneLine(std::string& line, std::string_view text)
{
    while (!text.empty()) {
        size_t run = 0;
        while (run < text.size() && plainByte(text[run]))
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

// Appends the message made from `format` and `args`, without its own closing
// line feed, kept on one line as appendOnOneLine() does. It is formatted
// straight into the line; only a message that needs escaping is copied.
void appendMessage(std::string& line, const char* format, va_list args)
{
    if (format == nullptr)
        return;
    const size_t start = line.size();
    line.resize(std::max(line.capacity(), start + 256));
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(line.data() + start, line.size() - start, format, args);
    if (n >= 0 && static_cast<size_t>(n) >= line.size() - start) {
        line.resize(start + static_cast<size_t>(n) + 1);
        std::vsnprintf(line.data() + start, line.size() - start, format, again);
    }
    va_end(again);
    line.resize(n < 0 ? start : start + static_cast<size_t>(n));
    // The message's own closing line feed is the line's end.
    if (line.size() > start && line.back() == '\n')
        line.pop_back();
    const auto first = std::find_if_not(line.begin() + static_cast<std::ptrdiff_t>(start), line.end(), plainByte);
    if (first != line.end()) {
        const size_t at = static_cast<size_t>(first - line.begin());
        const std::string rest = line.substr(at);
        line.resize(at);
        appendOnOneLine(line, rest);
    }
}

// `value` in decimal, with leading zeros up to `width` digits.
void appendDecimal(std::string& line, unsigned long value, int width = 1)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < width)
        digits[n++] = '0';
    while (n > 0)
        line.push_back(digits[--n]);
}

struct LocalTime {
    struct tm fields;
    long milliseconds;
};

// The local time. Broken down afresh once a second on each thread:
// localtime_r() takes a lock that all threads share.
LocalTime now()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    thread_local time_t second = -1;
    thread_local struct tm fields {};
    if (ts.tv_sec != second) {
        localtime_r(&ts.tv_sec, &fields);
        second = ts.tv_sec;
    }
    return LocalTime{fields, ts.tv_nsec / 1'000'000};
}

// The line being built, one per thread, kept from line to line so that a
// line needs no allocation; one that grew large is let go.
std::string& lineBuffer()
{
    thread_local std::string line;
    constexpr size_t kKept = 64 * 1024;
    if (line.capacity() > kKept)
        line = std::string();
    line.clear();
    return line;
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
        std::string& line = lineBuffer();
        // "<pid> <tid> <MM/DD HH:MM:SS.mmm> "
        appendDecimal(line, static_cast<unsigned long>(processId()));
        line.push_back(' ');
        appendDecimal(line, static_cast<unsigned long>(threadId()));
        line.push_back(' ');
        appendDecimal(line, static_cast<unsigned long>(t.fields.tm_mon + 1), 2);
        line.push_back('/');
        appendDecimal(line, static_cast<unsigned long>(t.fields.tm_mday), 2);
        line.push_back(' ');
        appendDecimal(line, static_cast<unsigned long>(t.fields.tm_hour), 2);
        line.push_back(':');
        appendDecimal(line, static_cast<unsigned long>(t.fields.tm_min), 2);
        line.push_back(':');
        appendDecimal(line, static_cast<unsigned long>(t.fields.tm_sec), 2);
        line.push_back('.');
        appendDecimal(line, static_cast<unsigned long>(t.milliseconds), 3);
        line.push_back(' ');
        if (tag != nullptr) {
            line.push_back('[');
            appendOnOneLine(line, tag);
            line.append("] ");
        }
        appendMessage(line, format, args);
        line.push_back('\n');
        static const std::string fileName = executableName() + ".log";
        appendLine(&Logs::debug, "KR_DEBUG_LOG", fileName, line);
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
                      t.fields.tm_min, t.fields.tm_sec, static_cast<int>(processId()), code, a, b);
        appendLine(&Logs::event, "KR_EVENT_LOG", "events.log", line);
    } catch (...) {
        // As for debug lines: dropped, never thrown to the caller.
    }
    debug("critical event 0x%08X raised (%ld, %ld)", code, a, b);
}
