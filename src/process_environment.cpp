// The environment of a Notes process: the process becomes the Domino
// partition's Unix user and gets the variables the Notes libraries read.

#include "lndb/process_environment.h"

#include "EvDebug.h"
#include "KR_getpwnam.h"
#include "internal/directory_handover.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr unsigned kExecDirSize = 1024;
constexpr char kPlatformName[] = "linux";
// What the executable directory adds to the program directory:
// "/notes/latest/" and "linux".
constexpr size_t kExecDirSuffix = sizeof "/notes/latest/" - 1 + sizeof kPlatformName - 1;
constexpr size_t kMaxHomeDirLength = kExecDirSize - 1 - kExecDirSuffix;  // 1,004

struct FreeDeleter {
    void operator()(char* block) const { std::free(block); }
};

// The one heap block in which LD_LIBRARY_PATH and PATH are composed. It
// starts at 2 bytes, the probe buffer of the first length query.
class CompositionBlock {
public:
    bool allocate() { return reset(static_cast<char*>(std::malloc(2)), 2); }
    bool grow(size_t size)
    {
        char* bigger = static_cast<char*>(std::realloc(block_.get(), size));
        if (bigger == nullptr)
            return false;
        block_.release();
        return reset(bigger, size);
    }
    char* data() const { return block_.get(); }
    size_t size() const { return size_; }

    // Appends the texts after the text the block holds; false when they do
    // not fit (the sizes are computed so that they always do).
    bool append(std::initializer_list<const char*> texts)
    {
        size_t used = std::strlen(block_.get());
        for (const char* text : texts) {
            const size_t length = std::strlen(text);
            if (used + length >= size_)
                return false;
            std::memcpy(block_.get() + used, text, length + 1);
            used += length;
        }
        return true;
    }

private:
    bool reset(char* block, size_t size)
    {
        block_.reset(block);
        size_ = block != nullptr ? size : 0;
        return block != nullptr;
    }

    std::unique_ptr<char, FreeDeleter> block_;
    size_t size_ = 0;
};

// Probes `name` with a 1-byte size: its length plus one, or 0 when it is not
// set or empty.
unsigned probeLength(const char* name, CompositionBlock& block)
{
    return GetEnvironmentVariable(name, block.data(), 1);
}

// Reads `name` into the block after the probe said `probed`. False when the
// value is gone, empty, or has grown past the probe meanwhile (it would not
// have been copied).
bool readAfterProbe(const char* name, unsigned probed, CompositionBlock& block)
{
    const unsigned result = GetEnvironmentVariable(name, block.data(), probed + 1);
    return result != 0 && result <= probed;
}

bool switchUser(EvEvent& log, char* user, char* subclientDir)
{
    KRPasswdRecord record;
    const struct passwd* entry = KR_getpwnam(user, &record);
    if (entry == nullptr) {
        const int error = errno;
        log.debug("prepareUnixExecEnv: getpwnam failed with error=%d", error);
        return false;
    }
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;

    if (subclientDir != nullptr) {
        if (!lndb::handOverDirectory(subclientDir, uid, gid))
            log.debug("prepareUnixExecEnv: Failed to change ownership for subclientDir '%s'",
                      subclientDir);
        else
            log.debug("prepareUnixExecEnv: changed owner of subclient dir '%s' to uid(%d)",
                      subclientDir, static_cast<int>(uid));
    }

    if (initgroups(user, gid) != 0) {
        const int error = errno;
        log.debug("prepareUnixExecEnv: initgroups failed with error=%d notesusr <%s>", error, user);
        return false;
    }
    // The saved ids stay as they were.
    if (setresgid(gid, gid, static_cast<gid_t>(-1)) != 0) {
        const int error = errno;
        log.debug("prepareUnixExecEnv: CHANGE_GROUP failed with error=%d", error);
        return false;
    }
    if (setresuid(uid, uid, static_cast<uid_t>(-1)) != 0) {
        const int error = errno;
        log.debug("prepareUnixExecEnv: CHANGE_USER failed with error=%d", error);
        return false;
    }
    log.debug("prepareUnixExecEnv: successfully changed user to %s with egid=%d and euid=%d", user,
              static_cast<int>(gid), static_cast<int>(uid));
    return true;
}

// LD_LIBRARY_PATH becomes "<earlier value>:E".
bool extendLibraryPath(EvEvent& log, const char* execDir, CompositionBlock& block)
{
    static constexpr char kName[] = "LD_LIBRARY_PATH";
    const unsigned probed = probeLength(kName, block);
    if (probed == 0) {
        log.debug("prepareUnixExecEnv: failed to get length of %s env variable", kName);
        return false;
    }
    if (!block.grow(std::strlen(execDir) + 2 * static_cast<size_t>(probed) + 2)) {
        log.debug("prepareUnixExecEnv: failed to allocate mem for %s env variable", kName);
        return false;
    }
    if (!readAfterProbe(kName, probed, block)) {
        log.debug("prepareUnixExecEnv: failed to get %s env variable", kName);
        return false;
    }
    if (!block.append({":", execDir}) || SetEnvironmentVariable(kName, block.data()) == 0) {
        log.debug("prepareUnixExecEnv: failed to set %s env variable with %s", kName, block.data());
        return false;
    }
    log.debug("prepareUnixExecEnv: %s set to %s", kName, block.data());
    return true;
}

// PATH becomes "<earlier value>:H/bin:D:E:E/res/C".
bool extendPath(EvEvent& log, const char* homeDir, const char* dataDir, const char* execDir,
                CompositionBlock& block)
{
    const unsigned probed = probeLength("PATH", block);
    if (probed == 0) {
        log.debug("prepareUnixExecEnv: failed to get length of PATH env variable");
        return false;
    }
    if (!block.grow(2 * static_cast<size_t>(probed) + std::strlen(homeDir) + std::strlen(dataDir) +
                    2 * std::strlen(execDir) + 15)) {
        log.debug("prepareUnixExecEnv: failed to allocate mem for PATH env variable");
        return false;
    }
    if (!readAfterProbe("PATH", probed, block)) {
        log.debug("prepareUnixExecEnv: failed to get PATH env variable");
        return false;
    }
    if (!block.append({":", homeDir, "/bin:", dataDir, ":", execDir, ":", execDir, "/res/C"}) ||
        SetEnvironmentVariable("PATH", block.data()) == 0) {
        log.debug("prepareUnixExecEnv: failed to set PATH env variable with %s", block.data());
        return false;
    }
    log.debug("prepareUnixExecEnv: PATH set to %s", block.data());
    return true;
}

bool prepare(char* user, char* homeDir, char* dataDir, char* subclientDir)
{
    EvEvent log;
    if (user == nullptr || homeDir == nullptr || dataDir == nullptr) {
        log.debug("prepareUnixExecEnv: refused: %s is missing",
                  user == nullptr ? "user" : homeDir == nullptr ? "homeDir" : "dataDir");
        return false;
    }
    // The executable directory is built from homeDir in a fixed buffer;
    // refused before anything changes.
    if (std::strlen(homeDir) > kMaxHomeDirLength) {
        log.debug("prepareUnixExecEnv: refused: homeDir '%s' is longer than %zu characters",
                  homeDir, kMaxHomeDirLength);
        return false;
    }

    if (!switchUser(log, user, subclientDir))
        return false;

    if (SetEnvironmentVariable("LOTUS", homeDir) == 0) {
        log.debug("prepareUnixExecEnv: failed to set LOTUS env variable with %s", homeDir);
        return false;
    }
    lndb::FixedText<kExecDirSize> execDir;
    execDir.format("%s/notes/latest/%s", homeDir, kPlatformName);  // fits: homeDir was checked
    if (SetEnvironmentVariable("Notes_ExecDirectory", execDir.c_str()) == 0) {
        log.debug("prepareUnixExecEnv: failed to set Notes_ExecDirectory env variable with %s",
                  execDir.c_str());
        return false;
    }
    if (SetEnvironmentVariable("NOTES_DATA_DIR", dataDir) == 0) {
        log.debug("prepareUnixExecEnv: failed to set NOTES_DATA_DIR env variable with %s", dataDir);
        return false;
    }

    CompositionBlock block;
    if (!block.allocate()) {
        log.debug("prepareUnixExecEnv: failed to allocate mem for %s env variable",
                  "LD_LIBRARY_PATH");
        return false;
    }
    return extendLibraryPath(log, execDir.c_str(), block) &&
           extendPath(log, homeDir, dataDir, execDir.c_str(), block);
}

}  // namespace

bool prepareUnixExecEnv(char* user, char* homeDir, char* dataDir, char* subclientDir)
{
    return lndb::guarded("prepareUnixExecEnv", false,
                         [&] { return prepare(user, homeDir, dataDir, subclientDir); });
}
