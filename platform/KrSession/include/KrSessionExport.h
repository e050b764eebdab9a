// Symbol visibility of the agent session library (libKrSession.so).
#pragma once

#define KRSESSION_API __attribute__((visibility("default")))
