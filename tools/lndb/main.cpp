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
    {"check", "[--data-dir DIR | --partition N | --all] [--subclient DIR] [--server NAME] [--init] [--json]", "Check what the Notes bring-up, browse and the partition service need; exit 1 when a check fails.", lndbcli::runCheck, {}, "One line per check: PASS, WARN or FAIL, what was checked, and for a FAIL the reason and the fix.\nWithout --data-dir, --partition or --all every partition in the store is checked. Checks that need\nthe partition's user run in a child process as that user. --init starts Notes for the partition (in\na child); --server NAME (implies --init) asks NAME for its tasks. --json: one JSON document."},
};

const Command kRoot{"lndb", "COMMAND ...",
                    "Host for liblndb, the Lotus Notes / Domino support library of the backup agent.",
                    nullptr, kCommands};

}  // namespace

int main(int argc, char** argv)
{
    return lndbcli::run(kRoot, argc, argv);
}
