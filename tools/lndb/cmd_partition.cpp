// lndb partition: the partition administration commands.

#include "commands.h"

namespace lndbcli {
namespace {

const Command kCommands[] = {
    {"serve", "--socket PATH [--once]",
     "Serve partition requests on a Unix socket with AddorDeletePartition, one connection after "
     "another, until SIGINT or SIGTERM (or after one connection with --once).",
     runPartitionServe},
    {"add", "--socket PATH --number N ARG1 ARG2 ARG3",
     "Send a request to add partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionAdd},
    {"delete", "--socket PATH --number N ARG1",
     "Send a request to delete partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionDelete},
};

}  // namespace

const std::span<const Command> kPartitionCommands{kCommands};

}  // namespace lndbcli
