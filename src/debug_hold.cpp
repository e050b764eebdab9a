#include "internal/debug_hold.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace lndb {
namespace {

bool holdPresent(const char* path)
{
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return st.st_uid == 0 || st.st_uid == geteuid();
}

}  // namespace

void waitAtDebugHold(const char* path)
{
    bool announced = false;
    while (holdPresent(path)) {
        if (!announced) {
            std::printf("sleeping: Please remove the file %s to proceed\n", path);
            std::fflush(stdout);
            announced = true;
        }
        sleep(1);
    }
}

}  // namespace lndb
