#include "EvDebug.h"

#include "KRPI.h"
#include "config_store.h"
#include "safe_files.h"
#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern char** environ;

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

// The variables that decide where lines go, found in one pass over the
// environment as getenv() finds each (the first entry of a name); null when
// unset.
struct Settings {
    const char* file = nullptr;  // KR_DEBUG_LOG or KR_EVENT_LOG
    const char* registry = nullptr;
    const char* instance = nullptr;
};

// `entry` is "<name>=<value>" for `name` (which starts with "KR_").
const char* valueIf(const char* entry, std::string_view name)
{
    return std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '='
               ? entry + name.size() + 1
               : nullptr;
}

Settings settingsFor(std::string_view fileVariable)
{
    Settings found;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* text = *entry;
        if (text[0] != 'K' || text[1] != 'R' || text[2] != '_')
            continue;
        const char* value = nullptr;
        if (found.file == nullptr && (value = valueIf(text, fileVariable)) != nullptr)
            found.file = value;
        else if (found.registry == nullptr && (value = valueIf(text, "KR_REGISTRY_DIR")) != nullptr)
            found.registry = value;
        else if (found.instance == nullptr && (value = valueIf(text, "KR_INSTANCE")) != nullptr)
            found.instance = value;
    }
    return found;
}

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

    bool current(const Settings& settings, long long now) const
    {
        if (!chosen || now - chosenAt >= kRecheckNs || !file.matches(settings.file))
            return false;
        return !viaStore || (registry.matches(settings.registry) && instance.matches(settings.instance) &&
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
void choose(Route& route, OpenLogFiles& files, const Settings& settings, const std::string& fileName, long long now)
{
    route.chosen = false;
    route.fd = -1;
    route.viaStore = false;
    if (settings.file != nullptr && *settings.file != '\0')
        route.fd = files.descriptorFor(settings.file);
    if (route.fd < 0) {
        route.viaStore = true;
        // Read before the store: a change made while it is read shows later.
        route.storeGeneration = krlib::storeGeneration();
        route.registry.take(settings.registry);
        route.instance.take(settings.instance);
        const std::string directory = KRPI_PlatformBase().getLogFilesDirectory();
        if (!directory.empty())
            route.fd = files.descriptorFor(directory + "/" + fileName);
    }
    route.file.take(settings.file);
    route.chosenAt = now;
    route.chosen = true;
}

// Appends `line` with one write() to where `route` leads (see choose()). The
// choice is made again when the settings or the store change, and at least
// every kRecheckNs, when a log renamed or removed under its name is opened
// anew.
void appendLine(Route Logs::*which, std::string_view variable, const std::string& fileName, std::string_view line)
{
    Logs& all = logs();
    Route& route = all.*which;
    const Settings settings = settingsFor(variable);
    const long long now = monotonicNs();
    {
        std::shared_lock<std::shared_mutex> shared(all.lock);
        if (route.current(settings, now)) {
            krlib::writeAll(route.fd >= 0 ? route.fd : STDERR_FILENO, line);
            return;
        }
    }
    std::unique_lock<std::shared_mutex> exclusive(all.lock);
    if (!route.current(settings, now))
        choose(route, all.files, settings, fileName, now);
    krlib::writeAll(route.fd >= 0 ? route.fd : STDERR_FILENO, line);
}

// What a thread keeps from line to line: its id and the text of the ids, the
// local time of the last second it logged in as text (localtime_r() takes a
// lock that all threads share), and the buffers a line is built in, so that a
// line needs no allocation. One thread_local object: one look-up of the
// thread's storage per line.
struct ThreadState {
    pid_t threadId = 0;  // 0: the ids are to be asked for and written again
    char ids[48];        // "<pid> <tid> "
    size_t idsLength = 0;
    time_t second = -1;
    struct tm fields {};
    char clock[112];  // "MM/DD HH:MM:SS." of `second` (room for any int fields)
    size_t clockLength = 0;
    char message[2048];
    char line[2560];
};

// Not inlined: in a shared library each use of a thread_local's address is a
// call of __tls_get_addr, and the compiler would rather make that call again
// at every use than keep the address in a register; a caller of this
// function keeps the reference it answers like any other pointer.
[[gnu::noinline]] ThreadState& threadState()
{
    thread_local ThreadState state;
    return state;
}

// The process id, asked of the kernel once and again in a forked child.
std::atomic<pid_t> cachedProcessId{0};

void forgetIdsInChild()
{
    cachedProcessId.store(0, std::memory_order_relaxed);
    threadState().threadId = 0;  // the forking thread is the child's only thread
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

// The message made from `format` and `args`; empty for no format.
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

// Writes `value` in decimal, with leading zeros up to `width` digits, at
// `out`; answers the end.
char* decimal(char* out, unsigned long value, int width = 1)
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
        *out++ = digits[--n];
    return out;
}

// Writes "<pid> <tid> <MM/DD HH:MM:SS.mmm> " at `out` (some 40 bytes, at
// most 160 whatever the fields); answers the end. The ids, and the time down
// to the second, are written as text once (per thread, and per second) and
// copied from then on.
char* prefix(char* out, ThreadState& self)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (self.threadId == 0) {
        self.threadId = gettid();
        char* ids = decimal(self.ids, static_cast<unsigned long>(processId()));
        *ids++ = ' ';
        ids = decimal(ids, static_cast<unsigned long>(self.threadId));
        *ids++ = ' ';
        self.idsLength = static_cast<size_t>(ids - self.ids);
    }
    if (ts.tv_sec != self.second) {
        localtime_r(&ts.tv_sec, &self.fields);
        const struct tm& t = self.fields;
        char* clock = decimal(self.clock, static_cast<unsigned long>(t.tm_mon + 1), 2);
        *clock++ = '/';
        clock = decimal(clock, static_cast<unsigned long>(t.tm_mday), 2);
        *clock++ = ' ';
        clock = decimal(clock, static_cast<unsigned long>(t.tm_hour), 2);
        *clock++ = ':';
        clock = decimal(clock, static_cast<unsigned long>(t.tm_min), 2);
        *clock++ = ':';
        clock = decimal(clock, static_cast<unsigned long>(t.tm_sec), 2);
        *clock++ = '.';
        self.clockLength = static_cast<size_t>(clock - self.clock);
        self.second = ts.tv_sec;
    }
    out = std::copy(self.ids, self.ids + self.idsLength, out);
    out = std::copy(self.clock, self.clock + self.clockLength, out);
    const auto millisecond = static_cast<unsigned>(ts.tv_nsec / 1'000'000);
    *out++ = static_cast<char>('0' + millisecond / 100);
    *out++ = static_cast<char>('0' + millisecond / 10 % 10);
    *out++ = static_cast<char>('0' + millisecond % 10);
    *out++ = ' ';
    return out;
}

// True when `text` holds no byte that appendOnOneLine() would escape. Sixteen
// (with SSE2) or eight bytes at a time: a block with no byte below 0x20 and
// none equal to 0x7F is plain; any other block is looked at byte by byte (a
// tab is plain).
bool allPlain(std::string_view text)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const char* at = text.data();
    const char* const end = at + text.size();
#if defined(__SSE2__)
    if (end - at >= 16) {
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i del = _mm_set1_epi8(0x7F);
        const auto blockIsPlain = [&](const char* block) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
            // 0xFF for each byte at or above 0x20 (unsigned) and not 0x7F.
            const __m128i plain =
                _mm_andnot_si128(_mm_cmpeq_epi8(bytes, del), _mm_cmpeq_epi8(_mm_max_epu8(bytes, space), bytes));
            return _mm_movemask_epi8(plain) == 0xFFFF || std::all_of(block, block + 16, plainByte);
        };
        for (; end - at > 16; at += 16) {
            if (!blockIsPlain(at))
                return false;
        }
        // The last sixteen bytes, some of them looked at already.
        return blockIsPlain(end - 16);
    }
#endif
    for (; end - at >= 8; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        const std::uint64_t deleteBytes = word ^ (kOnes * 0x7F);
        const std::uint64_t suspect =
            ((word - kOnes * 0x20) & ~word & kHighs) | ((deleteBytes - kOnes) & ~deleteBytes & kHighs);
        if (suspect != 0 && !std::all_of(at, at + 8, plainByte))
            return false;
    }
    return std::all_of(at, end, plainByte);
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
        static const std::string fileName = executableName() + ".log";
        ThreadState& self = threadState();
        char* const start = self.line;
        char* out = prefix(start, self);
        const size_t prefixLength = static_cast<size_t>(out - start);

        // The usual line: formatted into the thread's buffer, nothing to
        // escape, and it fits.
        va_list again;
        va_copy(again, args);
        const int n = format != nullptr ? std::vsnprintf(self.message, sizeof self.message, format, args) : 0;
        const std::string_view whole(self.message, n > 0 ? static_cast<size_t>(n) : 0);
        std::string_view message = whole;
        const std::string_view tagText = tag != nullptr ? std::string_view(tag) : std::string_view();
        const bool fits = n >= 0 && static_cast<size_t>(n) < sizeof self.message &&
                          prefixLength + tagText.size() + 3 + message.size() + 1 <= sizeof self.line;
        // The message's own closing line feed is the line's end.
        if (fits && !message.empty() && message.back() == '\n')
            message.remove_suffix(1);
        if (fits && allPlain(tagText) && allPlain(message)) {
            va_end(again);
            if (tag != nullptr) {
                *out++ = '[';
                out = std::copy(tagText.begin(), tagText.end(), out);
                *out++ = ']';
                *out++ = ' ';
            }
            out = std::copy(message.begin(), message.end(), out);
            *out++ = '\n';
            appendLine(&Logs::debug, "KR_DEBUG_LOG", fileName, std::string_view(start, static_cast<size_t>(out - start)));
            return;
        }

        // A long line, or one with bytes to escape.
        std::string text = fits ? std::string(whole) : formatted(format, again);
        va_end(again);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::string line(start, prefixLength);
        line.reserve(prefixLength + text.size() + 64);
        if (tag != nullptr) {
            line.push_back('[');
            appendOnOneLine(line, tagText);
            line.append("] ");
        }
        appendOnOneLine(line, text);
        line.push_back('\n');
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
        const time_t seconds = time(nullptr);
        struct tm t {};
        localtime_r(&seconds, &t);
        char line[128];
        std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d %d CRITICAL 0x%08X %ld %ld\n",
                      t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                      static_cast<int>(processId()), code, a, b);
        appendLine(&Logs::event, "KR_EVENT_LOG", "events.log", line);
    } catch (...) {
        // As for debug lines: dropped, never thrown to the caller.
    }
    debug("critical event 0x%08X raised (%ld, %ld)", code, a, b);
}
