// What the probe child (tests/support/probe_child.cpp) reports about itself,
// and small helpers of the process-runner tests.
#pragma once

#include "probe_flood.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace probe {

// The probe program as built.
std::string path();

struct Report {
    std::vector<std::string> argv;
    std::map<int, std::string> descriptors;  // number -> link target
    std::string sigIgn;                      // hex masks from /proc/self/status
    std::string sigBlk;
};

// Parses the report file; throws when it is missing or malformed.
Report readReport(const std::string& file);

// A SigIgn/SigBlk mask without glibc's two internal signals (32 and 33),
// which posix_spawn always leaves ignored in the child; the new program's C
// library installs its own handlers for them.
unsigned long long withoutLibcSignals(const std::string& hexMask);

// Makes this process (a forked test child) a host that would spoil a careless
// runner's children: standard input a pipe, an inheritable descriptor (100,
// without O_CLOEXEC), SIGPIPE and SIGHUP ignored, SIGTERM and SIGUSR1
// blocked. False when it could not.
bool becomeCarelessHost();

// Where descriptor `fd` of this process points.
std::string descriptorTarget(int fd);
// Descriptors this process has open.
int openDescriptorCount();

// True while `pid` exists and has not ended (a zombie has ended).
bool isRunning(pid_t pid);
// Waits (up to a minute) until `pid` has ended or is gone; true when it has.
bool awaitEnd(pid_t pid);

}  // namespace probe
