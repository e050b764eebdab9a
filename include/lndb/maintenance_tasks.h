// Database maintenance-task check on a Domino server.
#pragma once

#include "export.h"

#include <list>
#include <string>

// Server task names that count as database maintenance. Filled with
// "Database Compactor", "Index All" and "Database Fixup" by the first check
// that finds it empty.
// (C language linkage keeps the plain symbol name.)
extern "C" LNDB_API std::list<std::string> DominoDbTaskList;

// 1 when a maintenance task line of the server's "SHOW TASKS" answer names
// `database`, 0 when none does, -1 when no answer was obtained.
LNDB_API int isDBMaintananceTaskRunning(const std::string& server, std::string database);
