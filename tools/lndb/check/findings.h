// The findings of lndb check: one per check, with its verdict, and their
// text and JSON forms.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace lndbcheck {

enum class Verdict { Pass, Warn, Fail };

struct Finding {
    std::optional<std::string> partition;  // the partition number; none for the installation
    std::string check;                     // short name of the check, e.g. "notes.ini"
    Verdict verdict = Verdict::Pass;
    std::string what;    // what was checked, e.g. "notes.ini /data/notes.ini"
    std::string reason;  // what was found: the problem, or what was confirmed
    std::string fix;     // what to do about it (empty for a PASS)
};

class Findings {
public:
    // Later findings belong to this partition (none: the installation).
    void setPartition(std::optional<std::string> partition) { partition_ = std::move(partition); }

    void pass(std::string check, std::string what, std::string reason);
    void warn(std::string check, std::string what, std::string reason, std::string fix = {});
    void fail(std::string check, std::string what, std::string reason, std::string fix);
    void add(Finding finding) { all_.push_back(std::move(finding)); }

    const std::vector<Finding>& all() const { return all_; }
    bool failed() const;
    // Failures since `mark` (a size of all()).
    bool failedSince(std::size_t mark) const;
    // Appends `note` to the reason of each FAIL since `mark`.
    void noteOnFailures(std::size_t mark, const std::string& note);

private:
    void record(Verdict verdict, std::string check, std::string what, std::string reason,
                std::string fix);

    std::optional<std::string> partition_;
    std::vector<Finding> all_;
};

// "FAIL  partition 1: notes.ini /x/notes.ini: not readable by user notes
// (mode 0600, owner root) — fix: chown notes /x/notes.ini"; control bytes
// are shown as \xNN, so a hostile path cannot rewrite the terminal.
std::string textLine(const Finding& finding);

void writeText(const Findings& findings, std::FILE* out);
// {"status":"pass"|"warn"|"fail","checks":[{...},...]}; any bytes are
// escaped, invalid UTF-8 replaced.
void writeJson(const Findings& findings, std::FILE* out);

// The findings of a child process, as it sends them back over a pipe.
std::string encodeFindings(const std::vector<Finding>& findings);
// Appends what `encoded` holds; false when it is cut short or malformed.
bool decodeFindings(const std::string& encoded, std::vector<Finding>& into);

}  // namespace lndbcheck
