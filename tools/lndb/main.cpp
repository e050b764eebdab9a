// lndb: a command-line host for liblndb.

#include "commands.h"

namespace {

using lndbcli::Command;

const Command kCommands[] = {
    {"browse", "--type N --client C --instance I --seq S PATH",
     "Launch the discovery tool of application type N on PATH; exit with browse's result.",
     lndbcli::runBrowse},
    {"text", "COMMAND TEXT", "Text utilities.", nullptr, lndbcli::kTextCommands},
    {"config", "COMMAND ...", "The configuration store of the focused instance.", nullptr,
     lndbcli::kConfigCommands},
    {"instance-name", "",
     "Print the installation instance name from ../orrery_vm (exit 1 when it names none).",
     lndbcli::runInstanceName},
    {"partition", "COMMAND ...", "Domino partitions: administration requests and discovery.", nullptr,
     lndbcli::kPartitionCommands},
    {"notes", "COMMAND ...", "The Notes API: entry table, start-up, maintenance tasks.", nullptr,
     lndbcli::kNotesCommands},
    {"log", "COMMAND ...", "The Notes API output log.", nullptr, lndbcli::kLogCommands},
};

const Command kRoot{"lndb", "COMMAND ...",
                    "Host for liblndb, the Lotus Notes / Domino support library of the backup agent.",
                    nullptr, kCommands};

}  // namespace

int main(int argc, char** argv)
{
    return lndbcli::run(kRoot, argc, argv);
}
