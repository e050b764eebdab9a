// lndb check: the command line of the check engine (tools/lndb/check).

#include "commands.h"

#include "check.h"

#include <cstdio>
#include <memory>

namespace lndbcli {

namespace {

struct CheckOptions {
    lndbcheck::CheckRequest request;
    bool json = false;
};

}  // namespace

void addCheckCommand(Cli& cli)
{
    auto options = std::make_shared<CheckOptions>();
    CLI::App* command = cli.command(
        cli.root(), "check",
        "Check what the Notes bring-up, browse and the partition service need; exit 1 when a check fails",
        [options] { return lndbcheck::runCheck(options->request, options->json, stdout); });
    command->footer(
        "One line per check: PASS, WARN or FAIL, what was checked, and for a FAIL the reason and the fix.\n"
        "Without --data-dir, --partition or --all every partition in the store is checked. Checks that need\n"
        "the partition's user run in a child process as that user, so this process keeps its own.");
    lndbcheck::CheckRequest& request = options->request;
    CLI::Option* dataDir =
        command->add_option("--data-dir", request.dataDir, "Check the partition of this data directory")
            ->type_name("DATADIR");
    CLI::Option* partition =
        command->add_option("--partition", request.partition, "Check partition number N of the store")
            ->type_name("N");
    CLI::Option* all = command->add_flag("--all", request.all, "Check every partition in the store");
    dataDir->excludes(partition)->excludes(all);
    partition->excludes(all);
    command->add_option("--subclient", request.subclient,
                        "Also check this subclient directory (a directory reached through no other user's link)")
        ->type_name("DIR");
    command->add_option("--server", request.server,
                        "Also ask this Domino server for its maintenance tasks (implies --init)")
        ->type_name("SERVER");
    command->add_flag("--init", request.init, "Also start Notes for the partition, in a child process");
    command->add_flag("--json", options->json, "Write one JSON document instead of the lines");
}

}  // namespace lndbcli
