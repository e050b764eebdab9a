#include "KRPlatformInfo.h"

#include "KRPI.h"
#include "config_store.h"
#include "safe_files.h"
#include "store_edit.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// "out of memory" fits the string's inline buffer: assigning it cannot throw.
constexpr const char* kOutOfMemory = "out of memory";

// "cannot <what> <path>: <the system's message for errno>".
std::string cannot(const std::string& what, const std::string& path)
{
    const int error = errno;
    return common::systemError("cannot " + what + " " + krlib::printable(path), error);
}

// Removes the temporary file unless it was renamed over the store.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

struct CurrentFile {
    bool exists = false;
    std::string text;
    struct stat st {};
};

// Reads the store as it stands; a missing store reads as empty.
bool readCurrent(const std::string& path, CurrentFile& current, std::string& error)
{
    krlib::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return true;
        error = cannot("read configuration store", path);
        return false;
    }
    if (fstat(fd.get(), &current.st) != 0 || !krlib::readToEnd(fd.get(), current.text)) {
        error = cannot("read configuration store", path);
        return false;
    }
    if (!S_ISREG(current.st.st_mode)) {
        error = "cannot read configuration store " + krlib::printable(path) + ": not a regular file";
        return false;
    }
    current.exists = true;
    return true;
}

// Puts `text` in place of the store: a temporary file in the same directory,
// with the old file's mode and owner, synced, renamed over the store, and the
// directory synced so that the rename survives a crash.
bool replaceStore(const std::string& path, const CurrentFile& current, std::string_view text,
                  std::string& error)
{
    const std::string directory = path.substr(0, path.rfind('/'));
    std::string pattern = path + ".tmp.XXXXXX";
    const int created = mkostemp(pattern.data(), O_CLOEXEC);
    if (created < 0) {
        error = cannot("create a temporary file beside", path);
        return false;
    }
    TemporaryFile temporary(pattern);
    // At 3 or above: were it standard output, another thread's output would
    // land in the new store.
    krlib::UniqueFd fd(safefiles::aboveStandardStreams(created));
    if (!fd.valid()) {
        error = cannot("create a temporary file beside", path);
        return false;
    }
    const mode_t mode = current.exists ? current.st.st_mode & 07777 : 0644;
    if (!krlib::writeAll(fd.get(), text) || fchmod(fd.get(), mode) != 0) {
        error = cannot("write", temporary.path());
        return false;
    }
    if (current.exists && (current.st.st_uid != geteuid() || current.st.st_gid != getegid())) {
        // Best effort: only a privileged writer can hand the file back.
        if (fchown(fd.get(), current.st.st_uid, current.st.st_gid) != 0) {
        }
    }
    if (fsync(fd.get()) != 0 || fd.close() != 0) {
        error = cannot("write", temporary.path());
        return false;
    }
    if (rename(temporary.path().c_str(), path.c_str()) != 0) {
        error = cannot("replace configuration store", path);
        return false;
    }
    temporary.keep();
    krlib::noteStoreChanged();
    krlib::UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || fsync(dir.get()) != 0) {
        error = cannot("sync the directory of", path);
        return false;
    }
    return true;
}

// How long a write waits for another writer's lock: a writer holds it for
// one read-modify-write, so a lock held longer is stuck or held on purpose.
constexpr std::chrono::seconds kLockWait{10};

// Takes the exclusive lock on `fd`, waiting at most kLockWait: no process
// that can open the lock file may stall the writer without end. Empty on
// success, else why not.
std::string lockWithin(int fd, const std::string& lockPath)
{
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return {};
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return cannot("lock", lockPath);
        if (std::chrono::steady_clock::now() >= deadline)
            return "cannot lock " + krlib::printable(lockPath) + ": another process has held it for " +
                   std::to_string(kLockWait.count()) + " s; nothing was written";
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

}  // namespace

KRPlatformInfo::KRPlatformInfo() : focus_(KRPI_Focus::getFocus()) {}

KRPlatformInfo::~KRPlatformInfo() = default;

void KRPlatformInfo::setFocus(const std::string& instance)
{
    focus_ = instance;
}

std::string KRPlatformInfo::storePath() const
{
    return krlib::storePathFor(focus_);
}

std::string KRPlatformInfo::invalidFocusMessage() const
{
    return "invalid installation instance name \"" + krlib::printable(focus_) + "\"";
}

const char* KRPlatformInfo::getLastErrorMsg() const
{
    return lastError_.c_str();
}

namespace {

// The parsed store at `path`, or null with `error` saying why (the focus's
// own reason when it names no store).
// A template rather than a std::function: a cached read is on the hot path.
template <class InvalidFocus>
std::shared_ptr<const krlib::ConfigStore> loadAt(const std::string& path, const InvalidFocus& invalidFocus,
                                                 std::string& error)
{
    if (path.empty()) {
        error = invalidFocus();
        return nullptr;
    }
    krlib::LoadedStore loaded = krlib::loadStore(path);
    if (!loaded.store)
        error = loaded.error;
    return std::move(loaded.store);
}

}  // namespace

int KRPlatformInfo::getString(const char* section, const char* name, char* buffer, unsigned int* length)
{
    try {
        if (section == nullptr || name == nullptr || buffer == nullptr || length == nullptr) {
            lastError_ = "getString: no section, name, buffer or length given";
            return 0;
        }
        const std::string& path = krlib::storePathOf(focus_);
        const auto store = loadAt(path, [this] { return invalidFocusMessage(); }, lastError_);
        if (!store)
            return 0;
        const std::optional<std::string_view> value = store->find(section, name);
        if (!value) {
            lastError_ = "no value " + krlib::printable(name) + " in section [" + krlib::printable(section) +
                         "] of " + krlib::printable(path);
            return 0;
        }
        if (value->size() >= *length) {
            lastError_ = "value " + krlib::printable(name) + " in section [" + krlib::printable(section) +
                         "] is too long: " + std::to_string(value->size()) + " bytes for a buffer of " +
                         std::to_string(*length);
            return 0;
        }
        std::memcpy(buffer, value->data(), value->size());
        buffer[value->size()] = '\0';
        *length = static_cast<unsigned int>(value->size());
        return 1;
    } catch (...) {
        lastError_ = kOutOfMemory;
        return 0;
    }
}

int KRPlatformInfo::listValues(const char* section, std::vector<Value>& values)
{
    try {
        const auto store = loadAt(storePath(), [this] { return invalidFocusMessage(); }, lastError_);
        if (!store)
            return 0;
        std::vector<Value> found;
        store->forEach([&](std::string_view inSection, std::string_view name, std::string_view value) {
            if (section == nullptr || inSection == section)
                found.push_back({std::string(inSection), std::string(name), std::string(value)});
        });
        values = std::move(found);
        return 1;
    } catch (...) {
        lastError_ = kOutOfMemory;
        return 0;
    }
}

int KRPlatformInfo::setString(const char* section, const char* name, const char* value)
{
    if (value == nullptr) {
        lastError_ = "refused: no value given";
        return 0;
    }
    return write(section, name, value);
}

int KRPlatformInfo::unsetString(const char* section, const char* name)
{
    return write(section, name, nullptr);
}

// Read-modify-write of the store under an exclusive lock of
// <instance>.ini.lock, so that concurrent writers (threads or processes)
// never lose each other's values. Readers take no lock: they see the old
// file or the new one, never a half-written one.
int KRPlatformInfo::write(const char* section, const char* name, const char* value)
{
    try {
        std::string error = krlib::refusalOf(section, name, value);
        if (error.empty())
            error = writeLocked(section, name, value);
        if (error.empty())
            return 1;
        lastError_ = error;
        return 0;
    } catch (...) {
        lastError_ = kOutOfMemory;
        return 0;
    }
}

std::string KRPlatformInfo::writeLocked(const char* section, const char* name, const char* value) const
{
    const std::string path = storePath();
    if (path.empty())
        return invalidFocusMessage();
    const std::string lockPath = path + ".lock";
    safefiles::Refusal refusal;
    krlib::UniqueFd lock(safefiles::openLockFile(lockPath.c_str(), refusal));
    if (!lock.valid())
        return "cannot open lock file " + krlib::printable(lockPath) + ": " + refusal.text();
    const std::string lockError = lockWithin(lock.get(), lockPath);
    if (!lockError.empty())
        return lockError;
    std::string error;
    CurrentFile current;
    if (!readCurrent(path, current, error))
        return error;
    const std::string text = value != nullptr ? krlib::withValue(current.text, section, name, value)
                                              : krlib::withoutValue(current.text, section, name);
    if (text == current.text)
        return {};  // nothing to change (also: removing from a missing store)
    replaceStore(path, current, text, error);
    return error;
}
