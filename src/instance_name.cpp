// Installation instance name: the ORRERY_INST entry of the instance file
// orrery_vm in the parent of the working directory, else "Instance001".

#include "lndb/instance_name.h"

#include "EvDebug.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr char kDefaultName[] = "Instance001";
constexpr char kInstanceFile[] = "../orrery_vm";
constexpr unsigned kPathSize = 1024;
constexpr unsigned kLineSize = 1024;
using PathText = lndb::FixedText<kPathSize>;
// The default name and its NUL must fit at the low end, the line buffer at
// the high end.
constexpr unsigned kMinSize = sizeof kDefaultName;
constexpr unsigned kMaxSize = kLineSize;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// "<cwd>/../orrery_vm", with no second "/" after a working directory that
// already ends in one. False when the working directory cannot be had or the
// whole path does not fit the buffer.
bool instanceFilePath(PathText& path)
{
    if (!path.fill([](char* buffer, size_t size) { return getcwd(buffer, size) != nullptr; }))
        return false;
    const bool needsSlash = path.empty() || path.c_str()[path.size() - 1] != '/';
    return (!needsSlash || path.append("/")) && path.append(kInstanceFile);
}

// The value of an entry `ORRERY_INST ... = ... "value"` in one piece of a
// line: found by search, not by position. Null when the piece holds no
// complete entry; `length` receives the value's length.
const char* entryValue(const char* piece, size_t& length)
{
    const char* name = std::strstr(piece, "ORRERY_INST");
    if (name == nullptr)
        return nullptr;
    const char* equals = std::strchr(name, '=');
    if (equals == nullptr)
        return nullptr;
    const char* open = std::strchr(equals + 1, '"');
    if (open == nullptr)
        return nullptr;
    const char* close = std::strchr(open + 1, '"');
    if (close == nullptr)
        return nullptr;
    length = static_cast<size_t>(close - open - 1);
    return open + 1;
}

bool readInstanceName(char* out, unsigned size)
{
    EvEvent log;
    if (out == nullptr) {
        log.debug("GetInstanceName: refused: no output buffer");
        return false;
    }
    if (size < kMinSize || size > kMaxSize) {
        log.debug("GetInstanceName: refused: buffer size %u is outside %u..%u", size, kMinSize,
                  kMaxSize);
        return false;
    }

    PathText path;
    if (!instanceFilePath(path)) {
        log.debug("GetInstanceName()->getcwd() error");
        return false;
    }

    File file(std::fopen(path.c_str(), "re"));
    if (!file) {
        std::memcpy(out, kDefaultName, sizeof kDefaultName);
        return true;
    }

    // Each read takes at most size - 1 characters, so a longer line is
    // examined in pieces, each on its own.
    lndb::FixedText<kLineSize> line;
    while (line.fill([&](char* buffer, size_t) {
        return std::fgets(buffer, static_cast<int>(size), file.get()) != nullptr;
    })) {
        size_t length = 0;
        const char* value = entryValue(line.c_str(), length);
        if (value != nullptr && length > 0 && length < size) {
            std::memcpy(out, value, length);
            out[length] = '\0';
            return true;
        }
    }
    file.reset();

    log.debug("\nInstance name not found in %s  so use %s as default", path.c_str(), kDefaultName);
    std::memcpy(out, kDefaultName, sizeof kDefaultName);
    return false;
}

}  // namespace

bool GetInstanceName(char* out, unsigned int size)
{
    return lndb::guarded("GetInstanceName", false, [&] { return readInstanceName(out, size); });
}
