// The answer is searched for the database name, not for every task name: a
// line that does not name the database cannot hold a match, so it is passed
// over at the speed of one memmem, and only the lines that name it are
// looked at for task names, each at most twice per task name. A line of
// repeated task names, or an answer without line ends, costs no more than
// any other answer of its size.

#include "internal/task_scan.h"

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

}  // namespace

std::optional<TaskLineMatch> findTaskLine(std::string_view answer, std::string_view database,
                                          const std::list<std::string>& taskNames)
{
    if (database.empty())
        return firstTaskLine(answer, taskNames);
    // A task line never holds a line feed.
    if (database.find('\n') != std::string_view::npos)
        return std::nullopt;

    const char* const begin = answer.data();
    const char* const end = begin + answer.size();
    std::optional<TaskLineMatch> best;
    size_t bestRank = taskNames.size();  // list position of the best match so far

    // `lineStart` is always the start of a line: the lines before it are done.
    for (const char* lineStart = begin; bestRank > 0;) {
        const char* const hit = findIn(lineStart, end, database);
        if (hit == nullptr)
            break;
        if (const void* lastFeed = memrchr(lineStart, '\n', static_cast<size_t>(hit - lineStart)))
            lineStart = static_cast<const char*>(lastFeed) + 1;
        const char* const lineFeed = static_cast<const char*>(
            memchr(hit + database.size(), '\n', static_cast<size_t>(end - hit) - database.size()));
        const char* lineEnd = lineFeed == nullptr ? end : lineFeed;
        if (lineFeed != nullptr && lineFeed[-1] == '\r')
            --lineEnd;

        // Only the carriage return taken off the line can keep the first hit
        // (and so every later one) out of the task lines of this line.
        if (hit + database.size() <= lineEnd) {
            // A task name that begins after this point leaves no room for
            // the database before the end of the line.
            const char* const lastStart = lineEnd - database.size();
            size_t rank = 0;
            for (auto name = taskNames.begin(); rank < bestRank; ++name, ++rank) {
                if (name->empty())
                    continue;
                const size_t room = static_cast<size_t>(end - lastStart);
                const char* const searchEnd = room > name->size() ? lastStart + name->size() : end;
                // The first occurrence on the line decides for this name: a
                // later one sees only part of what this one sees.
                const char* const at = findIn(lineStart, searchEnd, *name);
                if (at != nullptr && (at <= hit || findIn(at, lineEnd, database) != nullptr)) {
                    best = TaskLineMatch{&*name, std::string_view(at, static_cast<size_t>(lineEnd - at))};
                    bestRank = rank;
                    break;
                }
            }
        }
        if (lineFeed == nullptr)
            break;
        lineStart = lineFeed + 1;
    }
    return best;
}

}  // namespace lndb
