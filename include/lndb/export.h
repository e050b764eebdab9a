// Marks the names that liblndb.so exports; everything else is built hidden.
#pragma once

#define LNDB_API __attribute__((visibility("default")))
