// Checks that run in a forked child: as the partition's user, or where the
// library changes the process (the Notes start-up), so that the caller's ids,
// groups and environment never change.
#pragma once

#include "findings.h"

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lndbcheck {

// A partition's user as the store names it and the user database knows it.
struct PartitionUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // as initgroups gives them
};

// Runs `body` in a forked child (standard output /dev/null, so nothing a
// loaded library prints reaches the report) and appends the findings it
// reports, which belong to `partition`. A child that does not report within
// `timeoutSeconds` is killed; that, or any other end without a report, is a
// FAIL of `check` on `what`. Returns the child's process id (-1 when none
// was started).
pid_t runInChild(Findings& findings, const std::optional<std::string>& partition,
                 const std::string& check, const std::string& what, int timeoutSeconds,
                 const std::function<void(Findings&)>& body);

// In a child: takes the user's groups, group and user (real, effective and
// saved, so that the child cannot take root back). False, with a FAIL of
// check "user switch", when that cannot be done.
bool becomeUser(const PartitionUser& user, Findings& findings);

}  // namespace lndbcheck
