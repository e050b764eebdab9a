// Inside of a message object: its fields, for the registry and the XML codec.
#pragma once

#include "CNMessageBase.h"
#include "CNMessageRegistry.h"

#include <list>
#include <string>

struct MessageField {
    CNFieldKind kind;
    short number;
    unsigned int id;
    bool hasSub = false;
    short sub = 0;
    long long integer = 0;
    std::string text;
    // The place getObjectAccessor hands out; owned through `release`.
    CNMessageBase* object = nullptr;
    CNMessageDeleter release;

    MessageField(CNFieldKind k, short n, unsigned int i) : kind(k), number(n), id(i) {}
    ~MessageField() { release(object); }
    MessageField(const MessageField&) = delete;
    MessageField& operator=(const MessageField&) = delete;
};

struct CNMessageFields {
    // A list, so that references to a field's object place stay valid while
    // other fields are added.
    std::list<MessageField> fields;
    // Empty objects handed out by getObjectAccessor for a place that cannot be
    // filled (wrong owner tag, field of another kind).
    std::list<MessageField> detached;
};

// Privileged access to message objects for this library's own code.
struct CNMessageAccess {
    static void setTag(CNMessageBase& message, unsigned long long tag) { message.m_tag = tag; }
    static CNMessageFields& fields(CNMessageBase& message) { return *message.m_fields; }
    static const CNMessageFields& fields(const CNMessageBase& message) { return *message.m_fields; }
    // The field at number/id, or null.
    static MessageField* find(CNMessageFields& fields, short number, unsigned int id);
    static const MessageField* find(const CNMessageFields& fields, short number, unsigned int id);
};
