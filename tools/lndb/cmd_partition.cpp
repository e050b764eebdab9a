// lndb partition: Domino partitions.

#include "commands.h"

namespace lndbcli {
namespace {

const Command kCommands[] = {
    {"find", "--instance NAME --data-dir DIR [--subclient DIR]",
     "Resolve a partition with findDataPartition, switching to its user; show the result, the "
     "ids and the Notes variables (exit 1 when it fails).",
     runPartitionFind},
};

}  // namespace

const std::span<const Command> kPartitionCommands{kCommands};

}  // namespace lndbcli
