// Symbol visibility of the agent messaging library (libKrXMLMessagesBase.so).
#pragma once

#define KRXML_API __attribute__((visibility("default")))
// Constants of the exported classes that each library that uses them keeps a
// copy of, so that they never become part of that library's interface.
#define KRXML_LOCAL __attribute__((visibility("hidden")))
