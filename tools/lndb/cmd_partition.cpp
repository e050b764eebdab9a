// lndb partition: Domino partitions: administration requests and discovery.

#include "commands.h"

namespace lndbcli {
namespace {

const Command kCommands[] = {
    {"serve", "--socket PATH [--once]",
     "Answer partition requests on a Unix socket, up to 32 connections at once, until SIGTERM.",
     runPartitionServe},
    {"add", "--socket PATH --number N ARG1 ARG2 ARG3",
     "Send a request to add partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionAdd},
    {"delete", "--socket PATH --number N ARG1",
     "Send a request to delete partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionDelete},
    {"find", "--instance NAME --data-dir DIR [--subclient DIR]",
     "Resolve a partition with findDataPartition (switches to its user); exit 1 when it fails.",
     runPartitionFind},
};

}  // namespace

const std::span<const Command> kPartitionCommands{kCommands};

}  // namespace lndbcli
