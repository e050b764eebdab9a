// lndb check: the command line of the check engine (tools/lndb/check).

#include "commands.h"

#include "check.h"

#include <cstdio>

namespace lndbcli {

int runCheck(const Words& args)
{
    const Options options =
        parseOptions(args, {"--data-dir", "--partition", "--subclient", "--server"},
                     {"--all", "--init", "--json"});
    expectPositional(options, 0, 0);
    lndbcheck::CheckRequest request;
    if (options.has("--data-dir"))
        request.dataDir = options.required("--data-dir");
    if (options.has("--partition"))
        request.partition = parseInteger(options.required("--partition"), "--partition");
    request.all = options.flag("--all");
    if ((request.dataDir ? 1 : 0) + (request.partition ? 1 : 0) + (request.all ? 1 : 0) > 1)
        throw UsageError("--data-dir, --partition and --all exclude one another");
    if (options.has("--subclient"))
        request.subclient = options.required("--subclient");
    if (options.has("--server"))
        request.server = options.required("--server");
    request.init = options.flag("--init");
    return lndbcheck::runCheck(request, options.flag("--json"), stdout);
}

}  // namespace lndbcli
