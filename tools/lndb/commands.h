// The commands of the lndb command, one source file per group. Each add*
// function registers its commands on the command tree; a new command is one
// such function in a file of its own, called from main.cpp.
#pragma once

#include "cli.h"

namespace lndbcli {

void addBrowseCommand(Cli& cli);
void addTextCommands(Cli& cli);
void addConfigCommands(Cli& cli);
void addInstanceNameCommand(Cli& cli);
void addPartitionCommands(Cli& cli);
void addNotesCommands(Cli& cli);
void addLogCommands(Cli& cli);
void addCheckCommand(Cli& cli);

// lndb partition (cmd_partition.cpp makes the group; each file adds its own).
void addPartitionServiceCommands(Cli& cli, CLI::App& group);
void addPartitionFindCommand(Cli& cli, CLI::App& group);
void addPartitionListCommand(Cli& cli, CLI::App& group);

}  // namespace lndbcli
