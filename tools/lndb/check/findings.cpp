#include "findings.h"

#include "system_error.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdint>

namespace lndbcheck {

void Findings::record(Verdict verdict, std::string check, std::string what, std::string reason,
                      std::string fix)
{
    all_.push_back(Finding{partition_, std::move(check), verdict, std::move(what),
                           std::move(reason), std::move(fix)});
}

void Findings::pass(std::string check, std::string what, std::string reason)
{
    record(Verdict::Pass, std::move(check), std::move(what), std::move(reason), {});
}

void Findings::warn(std::string check, std::string what, std::string reason, std::string fix)
{
    record(Verdict::Warn, std::move(check), std::move(what), std::move(reason), std::move(fix));
}

void Findings::fail(std::string check, std::string what, std::string reason, std::string fix)
{
    record(Verdict::Fail, std::move(check), std::move(what), std::move(reason), std::move(fix));
}

bool Findings::failed() const
{
    return failedSince(0);
}

bool Findings::failedSince(std::size_t mark) const
{
    for (std::size_t i = mark; i < all_.size(); ++i) {
        if (all_[i].verdict == Verdict::Fail)
            return true;
    }
    return false;
}

void Findings::noteOnFailures(std::size_t mark, const std::string& note)
{
    for (std::size_t i = mark; i < all_.size(); ++i) {
        if (all_[i].verdict == Verdict::Fail)
            all_[i].reason += note;
    }
}

namespace {

const char* verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return "PASS";
    case Verdict::Warn:
        return "WARN";
    case Verdict::Fail:
        return "FAIL";
    }
    return "FAIL";
}

std::string shown(const std::string& text)
{
    return common::escapedControls(text);
}

// A partition number as JSON: a number when it reads as one, else its text.
nlohmann::json partitionJson(const std::string& partition)
{
    std::int64_t number = 0;
    const char* end = partition.data() + partition.size();
    const auto [at, error] = std::from_chars(partition.data(), end, number);
    if (!partition.empty() && error == std::errc() && at == end)
        return number;
    return partition;
}

const char* statusOf(const Findings& findings)
{
    bool warned = false;
    for (const Finding& finding : findings.all()) {
        if (finding.verdict == Verdict::Fail)
            return "fail";
        warned = warned || finding.verdict == Verdict::Warn;
    }
    return warned ? "warn" : "pass";
}

// One field of the child's report: its length in decimal, ':', its bytes.
void putField(std::string& out, const std::string& field)
{
    out += std::to_string(field.size());
    out += ':';
    out += field;
}

bool takeField(const std::string& in, std::size_t& at, std::string& field)
{
    const std::size_t colon = in.find(':', at);
    if (colon == std::string::npos || colon == at || colon - at > 9)
        return false;
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(in.data() + at, in.data() + colon, length);
    if (error != std::errc() || end != in.data() + colon || length > in.size() - colon - 1)
        return false;
    field = in.substr(colon + 1, length);
    at = colon + 1 + length;
    return true;
}

}  // namespace

std::string textLine(const Finding& finding)
{
    std::string line = verdictName(finding.verdict);
    line += "  ";
    if (finding.partition)
        line += "partition " + *finding.partition + ": ";
    line += finding.what + ": " + finding.reason;
    if (!finding.fix.empty())
        line += " \u2014 fix: " + finding.fix;
    return shown(line);
}

void writeText(const Findings& findings, std::FILE* out)
{
    for (const Finding& finding : findings.all())
        std::fprintf(out, "%s\n", textLine(finding).c_str());
    std::fflush(out);
}

void writeJson(const Findings& findings, std::FILE* out)
{
    nlohmann::json checks = nlohmann::json::array();
    for (const Finding& finding : findings.all()) {
        nlohmann::json entry = nlohmann::json::object();
        if (finding.partition)
            entry["partition"] = partitionJson(*finding.partition);
        entry["check"] = finding.check;
        entry["verdict"] = verdictName(finding.verdict);
        entry["what"] = finding.what;
        entry["reason"] = finding.reason;
        if (!finding.fix.empty())
            entry["fix"] = finding.fix;
        checks.push_back(std::move(entry));
    }
    const nlohmann::json document = {{"status", statusOf(findings)}, {"checks", std::move(checks)}};
    const std::string text =
        document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
}

std::string encodeFindings(const std::vector<Finding>& findings)
{
    std::string out;
    for (const Finding& finding : findings) {
        out += finding.partition ? 'P' : 'I';
        out += static_cast<char>('0' + static_cast<int>(finding.verdict));
        putField(out, finding.partition.value_or(""));
        putField(out, finding.check);
        putField(out, finding.what);
        putField(out, finding.reason);
        putField(out, finding.fix);
    }
    return out;
}

bool decodeFindings(const std::string& encoded, std::vector<Finding>& into)
{
    std::size_t at = 0;
    while (at < encoded.size()) {
        if (encoded.size() - at < 2)
            return false;
        const char scope = encoded[at];
        const char verdict = encoded[at + 1];
        if ((scope != 'P' && scope != 'I') || verdict < '0' || verdict > '2')
            return false;
        at += 2;
        Finding finding;
        std::string partition;
        finding.verdict = static_cast<Verdict>(verdict - '0');
        if (!takeField(encoded, at, partition) || !takeField(encoded, at, finding.check) ||
            !takeField(encoded, at, finding.what) || !takeField(encoded, at, finding.reason) ||
            !takeField(encoded, at, finding.fix))
            return false;
        if (scope == 'P')
            finding.partition = std::move(partition);
        into.push_back(std::move(finding));
    }
    return true;
}

}  // namespace lndbcheck
