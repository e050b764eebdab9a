// Why a library call failed, as the command tells the administrator: the
// reason the library wrote to the debug log during the call, and where that
// log is.
#pragma once

#include "file_descriptor.h"

#include <string>
#include <vector>

namespace lndbcli {

// Taken before the library call: notes the debug log's path and size.
// The log is opened here (read-only, never through a link), so that it can
// still be read after a call that has switched this process to another user.
class DebugLogWatch {
public:
    DebugLogWatch();

    // The debug log's path; empty when the lines go to standard error.
    const std::string& path() const { return path_; }

    // The messages (without their time prefix and tag) this process wrote to
    // the log since the watch began, at most the last 1 MiB of them.
    std::vector<std::string> newMessages() const;

    // The last message of the call that says why it failed; `fallback` when
    // the log holds none.
    std::string reason(const std::string& fallback) const;

    // Writes "lndb: <what> failed: <reason>" and the debug log's path to
    // standard error (two lines).
    void report(const std::string& what, const std::string& fallback = "") const;

    // Writes "lndb: <reason>" (control characters shown as '?') and the
    // debug log's path to standard error.
    void tell(const std::string& reason) const;

private:
    std::string path_;
    common::UniqueFd log_;
    long long start_ = 0;
};

}  // namespace lndbcli
