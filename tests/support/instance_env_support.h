// Helpers of the instance environment suites. Forked children that tell the
// parent what they saw: the suites switch credentials, which only a
// throw-away process may do; the child writes "key=value" lines into a pipe
// that the parent reads while it waits. And the debug lines of one
// configuration read.
#pragma once

#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace lndbtest {

class Report {
public:
    explicit Report(int fd) : fd_(fd) {}
    void put(const std::string& key, const std::string& value) const
    {
        const std::string line = key + "=" + value + "\n";
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd_, line.data() + done, line.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    void put(const std::string& key, long long value) const { put(key, std::to_string(value)); }

private:
    int fd_;
};

struct ChildOutcome {
    int status = -1;
    std::map<std::string, std::string> values;
    std::string operator[](const std::string& key) const
    {
        auto it = values.find(key);
        return it == values.end() ? "(not reported)" : it->second;
    }
};

// The parent reads the pipe once the child has ended: no thread may run
// beside fork (a thread starting up can hold a lock that the child then
// waits for forever). The pipe is made large and the child's end
// non-blocking, so that a report too large for it comes back cut short
// instead of hanging the child.
inline ChildOutcome runReporting(const std::function<int(const Report&)>& body)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    ChildOutcome outcome;
    outcome.status = runInChild([&] {
        close(fds[0]);
        return body(Report(fds[1]));
    });
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            outcome.values[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return outcome;
}

// Sorted and comma-separated: the kernel keeps a process's groups sorted.
inline std::string groupList(std::vector<gid_t> groups)
{
    std::sort(groups.begin(), groups.end());
    std::string list;
    for (gid_t g : groups)
        list += (list.empty() ? "" : ",") + std::to_string(g);
    return list;
}

// The process's ids and groups as one line each, for reports.
inline std::string idTriple(unsigned real, unsigned effective, unsigned saved)
{
    return std::to_string(real) + "," + std::to_string(effective) + "," + std::to_string(saved);
}

inline void reportCredentials(const Report& report)
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    report.put("uids", idTriple(ruid, euid, suid));
    report.put("gids", idTriple(rgid, egid, sgid));
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    report.put("groups", groupList(groups));
}

inline void reportVariable(const Report& report, const char* name)
{
    const char* value = std::getenv(name);
    report.put(name, value != nullptr ? value : "(unset)");
}

// The groups initgroups gives `user`, as reportCredentials lists them.
inline std::string groupsOf(const char* user, gid_t gid)
{
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (getgrouplist(user, gid, groups.data(), &count) < 0)
        groups.resize(static_cast<size_t>(count));
    groups.resize(static_cast<size_t>(count));
    return groupList(groups);
}

// In a sanitizer build, checks the child for leaks now (its _exit skips the
// check at exit): 1 when there are any, else 0. A process that has changed
// its user cannot be inspected by the checker, so a child that was root
// first takes root back, which its saved user id still allows.
inline int leaksInChild()
{
#if defined(__SANITIZE_ADDRESS__)
    uid_t real, effective, saved;
    getresuid(&real, &effective, &saved);
    if (saved == 0 && effective != 0 && setresuid(0, 0, 0) != 0)
        return 1;
    return __lsan_do_recoverable_leak_check() != 0 ? 1 : 0;
#else
    return 0;
#endif
}

// Lets a child that has become another user go on writing the installation's
// debug and event logs.
inline void openLogsToEveryone(const SampleInstallation& installation)
{
    chmod(installation.root().c_str(), 0755);
    chmod(installation.logDir().c_str(), 0777);
    for (const std::string& name : {std::string("debug.log"), std::string("events.log")}) {
        const std::string path = installation.logDir() + "/" + name;
        if (!exists(path))
            writeFile(path, "", 0666);
        chmod(path.c_str(), 0666);
    }
}

// A partition of the sample installation as findDataPartition reads it: a
// data directory with its notes.ini, a program directory, the four values
// (partition 1, user nobody), logs that the user can write, LD_LIBRARY_PATH
// /opt/lib and no LOTUS.
class SamplePartition {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;

    SamplePartition()
    {
        platformStore = readFile(install.storePath());
        makeDirs(data);
        makeDirs(home);
        writeFile(data + "/notes.ini", "[Notes]\n");
        writeValues(standardValues());
        openLogsToEveryone(install);
    }

    Values standardValues() const
    {
        return {{data, "1"},
                {"sDominoDataDir_1", data},
                {data + "_sDominoHomeDir", home},
                {"sDominoUser_1", "nobody"}};
    }

    // Replaces the LotusNotesDBAgent section with `values`.
    void writeValues(const Values& values)
    {
        std::string section = "[LotusNotesDBAgent]\n";
        for (const auto& [name, value] : values)
            section += name + " = " + value + "\n";
        writeFile(install.storePath(), platformStore + section);
    }

    SampleInstallation install;
    std::string platformStore;
    const std::string data = install.root() + "/data/notesdata1";
    const std::string home = install.root() + "/opt/hcl/domino";
    ScopedEnv libraryPath{"LD_LIBRARY_PATH", "/opt/lib"};
    ScopedEnv lotus{"LOTUS", nullptr};
};

// Values of every type for the configuration reads, in section
// LotusNotesDBAgent, and one in another section.
inline const char* const kSampleAgentValues = "[LotusNotesDBAgent]\n"
                                              "nCount = 12abc\n"
                                              "nWord = abc\n"
                                              "llBig = 9876543210123\n"
                                              "llNegative = -42\n"
                                              "lText = hello\n"
                                              "sDominoUser = bare\n"
                                              "sDominoUser_ = empty partition\n"
                                              "sDominoUser_3 = three\n"
                                              "/local/notesdata = 2\n"
                                              "[Other]\n"
                                              "sOnlyElsewhere = x\n";

// The three debug lines of a configuration read of `name`.
inline std::vector<std::string> configReadLines(const std::string& name, bool found,
                                                const std::string& buffer,
                                                const std::string& focus = "Instance001")
{
    return {"focus = " + focus, "key = LotusNotesDBAgent, valName = " + name,
            std::string("ret = ") + (found ? "true" : "false") + ", buffer = " + buffer};
}

}  // namespace lndbtest
