#include "check.h"

#include "check_internal.h"

#include "internal/debug_hold.h"

namespace lndbcheck {
namespace {

void checkPartitions(const Platform& platform, const CheckRequest& request, bool holdPresent,
                     Findings& findings)
{
    const PartitionChecks checks{platform, request, holdPresent};
    if (request.dataDir) {
        const std::string number = partitionOfDataDir(platform, *request.dataDir, findings);
        checkPartition(checks, number, request.dataDir, findings);
        return;
    }
    if (request.partition) {
        checkPartition(checks, std::to_string(*request.partition), std::nullopt, findings);
        return;
    }
    const std::vector<std::string> numbers = storedPartitions(platform);
    if (numbers.empty())
        findings.warn("partitions", "partitions in section LotusNotesDBAgent",
                      "none found (sDominoDataDir_0 to sDominoDataDir_999)",
                      "add one with lndb partition add, or lndb config set");
    for (const std::string& number : numbers)
        checkPartition(checks, number, std::nullopt, findings);
}

Findings check(const CheckRequest& request, const CheckSettings& settings)
{
    Findings findings;
    const int selections =
        (request.dataDir ? 1 : 0) + (request.partition ? 1 : 0) + (request.all ? 1 : 0);
    if (selections > 1) {
        findings.fail("request", "the partition to check",
                      "--data-dir, --partition and --all exclude one another", "give one of them");
        return findings;
    }
    const Platform platform = checkStore(findings);
    if (platform.readable) {
        checkPlatformDirectories(platform, findings);
        checkLogFiles(platform, findings);
        checkPostInstallScript(platform, findings);
        checkDiscoveryTools(platform, findings);
    }
    const bool holdPresent = checkDebugHold(settings.holdPath, findings);
    if (request.subclient)
        checkSubclientDirectory(*request.subclient, findings);
    if (platform.readable)
        checkPartitions(platform, request, holdPresent, findings);
    return findings;
}

}  // namespace

int runCheck(const CheckRequest& request, bool json, std::FILE* out, const CheckSettings& settings)
{
    try {
        const Findings findings = check(request, settings);
        if (json)
            writeJson(findings, out);
        else
            writeText(findings, out);
        return findings.failed() ? 1 : 0;
    } catch (...) {
        // Memory ran out (the only exception the checks can meet): a fixed
        // text, in the form asked for.
        std::fputs(json
                       ? "{\"checks\":[{\"check\":\"lndb check\",\"reason\":\"unexpected failure\","
                         "\"verdict\":\"FAIL\",\"what\":\"lndb check\"}],\"status\":\"fail\"}\n"
                       : "FAIL  lndb check: unexpected failure\n",
                   out);
        std::fflush(out);
    }
    return 1;
}

int runCheck(const CheckRequest& request, bool json, std::FILE* out)
{
    return runCheck(request, json, out, CheckSettings{lndb::kDebugHoldPath});
}

}  // namespace lndbcheck
