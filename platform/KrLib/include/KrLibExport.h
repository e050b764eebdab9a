// Symbol visibility of the agent platform library (libKrLib.so).
#pragma once

#define KRLIB_API __attribute__((visibility("default")))
// Members declared with the platform classes but defined, for its own use,
// inside another library that must not export them.
#define KRLIB_LOCAL __attribute__((visibility("hidden")))
