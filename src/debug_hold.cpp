#include "internal/debug_hold.h"

#include <cstdio>
#include <unistd.h>

namespace lndb {

void waitAtDebugHold(const char* path)
{
    bool announced = false;
    while (debugHoldPresent(path)) {
        if (!announced) {
            std::printf("sleeping: Please remove the file %s to proceed\n", path);
            std::fflush(stdout);
            announced = true;
        }
        sleep(1);
    }
}

}  // namespace lndb
