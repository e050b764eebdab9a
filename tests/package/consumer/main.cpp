// Calls the installed liblndb through its public header: a text utility, a
// new string the caller frees, and an exported global at its load value.
// Prints one line; exit status 1 when an answer is wrong.

#include <lndb/lndb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    char text[] = "Mail:Alice";
    KRNormalizeText(text);
    strlwr(text);
    char* logName = GetLogFilename("/opt/agent/bin/lnBackup");
    std::printf("%s %s %d\n", text, logName != nullptr ? logName : "(null)", loggingLevel);
    const bool right = std::strcmp(text, "mail alice") == 0 && logName != nullptr && loggingLevel == 1;
    std::free(logName);
    return right ? 0 : 1;
}
