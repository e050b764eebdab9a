// The answer is searched for the database name, not for every task name: a
// line that does not name the database cannot hold a match, so it is passed
// over at the speed of one search for the database, which finds the NUL that
// ends the answer on the way. On a line that names the database, the last
// place where it can begin bounds where a task name can begin, and each task
// name is looked for once. A line of repeated task names, or an answer
// without line ends, costs no more than any other answer of its size.

#include "internal/task_scan.h"

#include <algorithm>
#include <cstring>

namespace lndb {

namespace {

// The first occurrence of `needle` (not empty) that lies wholly inside
// [from, to); null when there is none.
const char* findIn(const char* from, const char* to, std::string_view needle)
{
    if (to < from || static_cast<size_t>(to - from) < needle.size())
        return nullptr;
    return static_cast<const char*>(
        memmem(from, static_cast<size_t>(to - from), needle.data(), needle.size()));
}

// The end of a search for a name of `length` bytes that begins at or before
// `reach`: reach + length, or the end of the answer when that comes first.
// The bytes up to `lineFeed` are known to be the answer's; `lastLine` tells
// that `lineFeed` is the answer's terminating NUL.
const char* nameSearchEnd(const char* reach, size_t length, const char* lineFeed, bool lastLine)
{
    const size_t known = static_cast<size_t>(lineFeed - reach);
    if (length <= known)
        return reach + length;
    if (lastLine)
        return lineFeed;
    return lineFeed + strnlen(lineFeed, length - known);
}

// The last of the occurrences of `database` found one after another without
// overlap, from its first one on the line, `hit`, up to `lineEnd`: one pass
// over the rest of the line. After it, only an occurrence that overlaps it
// can begin.
const char* lastChainedOccurrence(const char* hit, const char* lineEnd, std::string_view database)
{
    const char* last = hit;
    while (const char* next = findIn(last + database.size(), lineEnd, database))
        last = next;
    return last;
}

// The task line that starts at `at`: up to the next line feed, less one
// carriage return just before it when the line is not empty.
std::string_view taskLineAt(std::string_view answer, size_t at)
{
    size_t end = answer.find('\n', at);
    if (end == std::string_view::npos)
        return answer.substr(at);
    if (end > at && answer[end - 1] == '\r')
        --end;
    return answer.substr(at, end - at);
}

// An empty database name is found in every task line, even an empty one: the
// first occurrence of the first task name that occurs at all.
std::optional<TaskLineMatch> firstTaskLine(std::string_view answer, const std::list<std::string>& taskNames)
{
    const char* const end = answer.data() + answer.size();
    for (const std::string& name : taskNames) {
        if (name.empty())
            continue;
        if (const char* at = findIn(answer.data(), end, name))
            return TaskLineMatch{&name, taskLineAt(answer, static_cast<size_t>(at - answer.data()))};
    }
    return std::nullopt;
}

// One line of the answer that holds the database, without being cut off from
// it by the carriage return taken off the line.
struct HitLine {
    const char* start;
    const char* feed;  // its line feed, or the NUL that ends the answer
    const char* end;   // the end of its task lines
    bool last;         // `feed` is the answer's NUL
    const char* lastHit;  // the last of the chained occurrences of the database
    // No occurrence begins after it: a task name that begins later sees no
    // database on its line.
    const char* reach;
};

// The first task name before list position `bestRank` that has a task line on
// `line` holding the database; it becomes the best match.
void matchOnLine(const HitLine& line, std::string_view database, const std::list<std::string>& taskNames,
                 std::optional<TaskLineMatch>& best, size_t& bestRank)
{
    size_t rank = 0;
    for (auto name = taskNames.begin(); rank < bestRank; ++name, ++rank) {
        if (name->empty())
            continue;
        // The first occurrence on the line decides for this name: a later one
        // sees only part of what this one sees.
        const char* const at =
            findIn(line.start, nameSearchEnd(line.reach, name->size(), line.feed, line.last), *name);
        if (at != nullptr &&
            (at <= line.lastHit || findIn(at, line.reach + database.size(), database) != nullptr)) {
            best = TaskLineMatch{&*name, std::string_view(at, static_cast<size_t>(line.end - at))};
            bestRank = rank;
            return;
        }
    }
}

}  // namespace

std::optional<TaskLineMatch> findTaskLine(const char* answer, const std::string& database,
                                          const std::list<std::string>& taskNames)
{
    if (database.empty())
        return firstTaskLine(answer, taskNames);
    // A task line holds neither a line feed nor the NUL that ends the answer.
    if (database.find('\n') != std::string::npos || database.find('\0') != std::string::npos)
        return std::nullopt;

    std::optional<TaskLineMatch> best;
    size_t bestRank = taskNames.size();  // list position of the best match so far

    // `lineStart` is always the start of a line: the lines before it are done.
    for (const char* lineStart = answer; bestRank > 0;) {
        // strstr finds the NUL in the same pass: the answer's length is
        // never needed.
        const char* const hit = std::strstr(lineStart, database.c_str());
        if (hit == nullptr)
            break;
        if (const void* lastFeed = memrchr(lineStart, '\n', static_cast<size_t>(hit - lineStart)))
            lineStart = static_cast<const char*>(lastFeed) + 1;
        HitLine line{lineStart, strchrnul(hit + database.size(), '\n'), nullptr, false, nullptr, nullptr};
        line.last = *line.feed == '\0';
        line.end = !line.last && line.feed[-1] == '\r' ? line.feed - 1 : line.feed;
        // Only the carriage return taken off the line can keep the first hit
        // (and so every later one) out of the task lines of this line.
        if (hit + database.size() <= line.end) {
            line.lastHit = lastChainedOccurrence(hit, line.end, database);
            line.reach = std::min(line.lastHit + database.size() - 1, line.end - database.size());
            matchOnLine(line, database, taskNames, best, bestRank);
        }
        if (line.last)
            break;
        lineStart = line.feed + 1;
    }
    return best;
}

}  // namespace lndb
