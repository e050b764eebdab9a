// lndb partition: Domino partitions: administration requests and discovery.

#include "commands.h"

namespace lndbcli {

void addPartitionCommands(Cli& cli)
{
    CLI::App* partition =
        cli.group(cli.root(), "partition", "Domino partitions: administration requests, discovery, listing");
    addPartitionServiceCommands(cli, *partition);
    addPartitionFindCommand(cli, *partition);
    addPartitionListCommand(cli, *partition);
}

}  // namespace lndbcli
