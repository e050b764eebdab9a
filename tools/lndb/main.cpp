// lndb: a command-line host for liblndb.

#include "commands.h"

int main(int argc, char** argv)
{
    lndbcli::Cli cli;
    lndbcli::addBrowseCommand(cli);
    lndbcli::addTextCommands(cli);
    lndbcli::addConfigCommands(cli);
    lndbcli::addInstanceNameCommand(cli);
    lndbcli::addPartitionCommands(cli);
    lndbcli::addNotesCommands(cli);
    lndbcli::addLogCommands(cli);
    lndbcli::addCheckCommand(cli);
    return cli.run(argc, argv);
}
