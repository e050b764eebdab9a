// lndb log: the Notes API output log of this process.

#include "commands.h"
#include "failure_reason.h"

#include "lndb/notes_output_log.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace lndbcli {
namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The output went into the log when standard output is another file than
// before the call, or the call logged that it did.
int redirect()
{
    const DebugLogWatch watch;
    struct stat before {};
    const bool wasOpen = fstat(STDOUT_FILENO, &before) == 0;
    DumpFileTimeAndVer(nullptr, 1);
    struct stat after {};
    const std::vector<std::string> messages = watch.newMessages();
    const bool logged = std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("Notes API output will be logged into [", 0) == 0;
    });
    if (!logged && (fstat(STDOUT_FILENO, &after) != 0 || (wasOpen && sameFile(before, after)))) {
        watch.report("DumpFileTimeAndVer", "the instance's store or log directory cannot be used");
        return kFailure;
    }
    std::printf("lndb log redirect: standard output of pid %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    std::fprintf(stderr, "lndb log redirect: standard error of pid %d\n", static_cast<int>(getpid()));
    return kSuccess;
}

}  // namespace

void addLogCommands(Cli& cli)
{
    CLI::App* log = cli.group(cli.root(), "log", "The Notes API output log");
    cli.command(*log, "redirect",
                "Send standard output and error into this program's Notes API log, then write one line "
                "to each (exit 1 when the log could not be opened)",
                redirect);
}

}  // namespace lndbcli
