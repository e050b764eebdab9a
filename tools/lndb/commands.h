// The command groups of the lndb command, one source file each.
#pragma once

#include "cli.h"

namespace lndbcli {

int runBrowse(const Words& args);
extern const std::span<const Command> kTextCommands;
extern const std::span<const Command> kConfigCommands;

// lndb partition (cmd_partition.cpp holds the group's table).
int runPartitionServe(const Words& args);
int runPartitionAdd(const Words& args);
int runPartitionDelete(const Words& args);
extern const std::span<const Command> kPartitionCommands;

}  // namespace lndbcli
