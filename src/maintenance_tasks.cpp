// Database maintenance-task check: asks a Domino server for its tasks and
// looks for a compactor, indexer or fixup line that names a database.

#include "lndb/maintenance_tasks.h"

#include "lndb/notes_entry_table.h"

#include "EvDebug.h"
#include "internal/bounded_text.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"
#include "internal/task_scan.h"

#include <mutex>
#include <optional>

std::list<std::string> DominoDbTaskList;

namespace {

using ApiText = lndb::FixedText<256>;  // texts handed to the Notes API
constexpr char kShowTasks[] = "SHOW TASKS";
constexpr STATUS kErrorCodeMask = 0x3FFF;  // the status without its two top bits
constexpr size_t kLoggedTaskLineLimit = 4096;  // bytes of a task line in its debug line

// Fills an empty task list with the default names, once even when two
// threads run their first check together.
void fillDefaultTaskNames()
{
    static std::mutex fillLock;
    const std::lock_guard<std::mutex> lock(fillLock);
    if (DominoDbTaskList.empty()) {
        DominoDbTaskList.push_back("Database Compactor");
        DominoDbTaskList.push_back("Index All");
        DominoDbTaskList.push_back("Database Fixup");
    }
}

// The console's answer, held in a Notes memory handle: unlocked (when it was
// locked) and freed on every way out.
class ConsoleResponse {
public:
    explicit ConsoleResponse(DHANDLE handle) : handle_(handle) {}
    ~ConsoleResponse()
    {
        if (locked_)
            KR_OSUnlockObject(handle_);
        KR_OSMemFree(handle_);
    }
    ConsoleResponse(const ConsoleResponse&) = delete;
    ConsoleResponse& operator=(const ConsoleResponse&) = delete;

    const char* lock()
    {
        const char* text = static_cast<const char*>(KR_OSLockObject(handle_));
        locked_ = text != nullptr;
        return text;
    }

private:
    DHANDLE handle_;
    bool locked_ = false;
};

// Looks in the console's answer that `handle` holds for a task line that
// names the database: 1 (and its debug line) when there is one, 0 when
// there is none, -1 when the answer cannot be read.
int searchAnswer(EvDebug& log, DHANDLE handle, const std::string& database)
{
    std::string taskName;
    std::string lineText;
    {
        // The answer is searched where the API holds it: a server's answer can
        // be tens of megabytes.
        ConsoleResponse response(handle);
        const char* text = response.lock();
        if (text == nullptr) {
            log.debug("Failed to read the server's task list for databse [%s]", database.c_str());
            return -1;
        }
        fillDefaultTaskNames();
        const std::optional<lndb::TaskLineMatch> match =
            lndb::findTaskLine(text, database, DominoDbTaskList);
        if (!match)
            return 0;
        taskName = *match->taskName;
        // The line is the server's text: one line of it must not make a
        // debug line without end.
        lineText = lndb::boundedText(match->line, kLoggedTaskLineLimit);
    }
    log.debug("Found an active maintenance task [%s] running on [%s]. TaskInfo [%s]",
              taskName.c_str(), database.c_str(), lineText.c_str());
    return 1;
}

int check(const std::string& server, const std::string& database)
{
    EvEvent log;
    if (server.empty()) {
        log.debug("Invalid Domino server Name. Failed to verify database maintanance activity for [%s].",
                  database.c_str());
        return -1;
    }
    ApiText serverName;
    if (!serverName.assign(server)) {
        log.debug("Server name of %zu characters refused (at most %zu). Failed to verify database "
                  "maintanance activity for [%s].",
                  server.size(), ApiText::kMaxLength, database.c_str());
        return -1;
    }
    ApiText command;
    command.assign(kShowTasks);

    DHANDLE handle = 0;
    const STATUS status = KR_NSFRemoteConsole(serverName.c_str(), command.c_str(), &handle);
    if (status != 0) {
        log.debug("Failed to retrieve server tasks. [%d] [%d] for databse [%s]",
                  static_cast<int>(status), static_cast<int>(status & kErrorCodeMask),
                  database.c_str());
        return -1;
    }
    return searchAnswer(log, handle, database);
}

}  // namespace

int isDBMaintananceTaskRunning(const std::string& server, std::string database)
{
    return lndb::guarded("isDBMaintananceTaskRunning", -1,
                         [&] { return check(server, database); });
}
