// The command groups of the lndb command, one source file each.
#pragma once

#include "cli.h"

namespace lndbcli {

int runBrowse(const Words& args);
extern const std::span<const Command> kTextCommands;
extern const std::span<const Command> kConfigCommands;
int runInstanceName(const Words& args);
extern const std::span<const Command> kPartitionCommands;
int runPartitionFind(const Words& args);
extern const std::span<const Command> kNotesCommands;
extern const std::span<const Command> kLogCommands;

}  // namespace lndbcli
