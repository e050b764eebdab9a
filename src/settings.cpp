#include "lndb/settings.h"

int loggingLevel = 1;
int numOfDbBackedUp = 0;
int reinitializeThres = 0;
int showAllErrors = 0;
