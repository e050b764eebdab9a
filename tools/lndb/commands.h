// The command groups of the lndb command, one source file each.
#pragma once

#include "cli.h"

namespace lndbcli {

int runBrowse(const Words& args);
extern const std::span<const Command> kTextCommands;
extern const std::span<const Command> kConfigCommands;
int runInstanceName(const Words& args);
int runCheck(const Words& args);
extern const std::span<const Command> kNotesCommands;
extern const std::span<const Command> kLogCommands;

// lndb partition (cmd_partition.cpp holds the group's table).
extern const std::span<const Command> kPartitionCommands;
int runPartitionServe(const Words& args);
int runPartitionAdd(const Words& args);
int runPartitionDelete(const Words& args);
int runPartitionFind(const Words& args);

}  // namespace lndbcli
