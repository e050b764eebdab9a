// Symbol visibility of the agent messaging library (libKrXMLMessagesBase.so).
#pragma once

#define KRXML_API __attribute__((visibility("default")))
