// The search of a server's "SHOW TASKS" answer for a maintenance-task line
// that names a database, in time proportional to the answer's size.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <string_view>

namespace lndb {

struct TaskLineMatch {
    const std::string* taskName;  // the entry of the task-name list that matched
    std::string_view line;        // a view into the answer
};

// The first task line, task names in list order and their occurrences in
// answer order, that holds `database` anywhere in it; nothing when none does.
// The answer is the NUL-terminated text `answer`, searched where it lies. A
// task line runs from an occurrence of the task name to the end of its line,
// without the line feed and without one carriage return just before it.
// Empty task names are passed over.
std::optional<TaskLineMatch> findTaskLine(const char* answer, const std::string& database,
                                          const std::list<std::string>& taskNames);

}  // namespace lndb
