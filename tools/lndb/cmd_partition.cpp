// lndb partition: Domino partitions.

#include "commands.h"

namespace lndbcli {
namespace {

const Command kCommands[] = {
    {"find", "--instance NAME --data-dir DIR [--subclient DIR]",
     "Resolve a partition with findDataPartition (switches to its user); exit 1 when it fails.",
     runPartitionFind},
};

}  // namespace

const std::span<const Command> kPartitionCommands{kCommands};

}  // namespace lndbcli
