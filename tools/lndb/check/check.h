// lndb check: examines what the Notes bring-up, the browse launcher and the
// partition service depend on, and names each problem with its fix.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace lndbcheck {

struct CheckRequest {
    std::optional<std::string> dataDir;      // --data-dir DIR
    std::optional<long long> partition;      // --partition N
    bool all = false;                        // --all (every partition in the store)
    std::optional<std::string> subclient;    // --subclient DIR
    std::optional<std::string> server;       // --server NAME
    bool init = false;                       // --init
};

// Runs the checks, writes one line per check (or, with json, one JSON
// document) to `out`; returns 0 when nothing failed, else 1. Never throws.
//
// The installation's own checks (store, platform directories, logs,
// NotesPostInstall, discovery tools, debug hold, subclient directory) always
// run; then the partition of dataDir, or partition N, or with `all` or none
// of the three every partition the store names. Steps that need the
// partition's user run in forked children, so the caller's ids, groups and
// environment never change. `server` implies `init`.
int runCheck(const CheckRequest& request, bool json, std::FILE* out);

}  // namespace lndbcheck
