// lndb log: the Notes API output log of this process.

#include "commands.h"

#include "lndb/notes_output_log.h"

#include <cstdio>
#include <unistd.h>

namespace lndbcli {
namespace {

int redirect(const Words& args)
{
    const Options options = parseOptions(args, {});
    expectPositional(options, 0, 0);
    DumpFileTimeAndVer(nullptr, 1);
    std::printf("lndb log redirect: standard output of pid %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    std::fprintf(stderr, "lndb log redirect: standard error of pid %d\n", static_cast<int>(getpid()));
    return 0;
}

const Command kCommands[] = {
    {"redirect", "",
     "Send standard output and error into this program's Notes API log, then write one line "
     "to each.",
     redirect},
};

}  // namespace

const std::span<const Command> kLogCommands{kCommands};

}  // namespace lndbcli
