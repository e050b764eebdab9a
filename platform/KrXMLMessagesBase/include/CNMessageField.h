// Named fields of a message type: each constant carries every number that
// names the field in a call (the owner's tag id, the field number, the second
// 16-bit value and the field identifier) and its kind, and reads or writes
// the field only as that kind. One constant per field, so that no call can
// pair one field's number with another's identifier.
#pragma once

#include "CNMessageBase.h"

#include <string>

enum class CNFieldKind { Int64, String, Object };

// Where a field of a message type lies. `sub` is 0 for a field whose
// operations take no second 16-bit value.
struct CNFieldAddress {
    unsigned long long ownerTag;
    short number;
    short sub;
    unsigned int id;

    bool isSet(const CNMessageBase& message) const { return message.isSet(number, ownerTag, id); }
};

struct CNInt64Field : CNFieldAddress {
    static constexpr CNFieldKind kind = CNFieldKind::Int64;

    long long get(const CNMessageBase& message) const { return message.getint64(number, ownerTag, id); }
    void set(CNMessageBase& message, long long value) const
    {
        message.setint64(number, sub, value, ownerTag, id);
    }
};

struct CNStringField : CNFieldAddress {
    static constexpr CNFieldKind kind = CNFieldKind::String;

    std::string get(CNMessageBase& message) const { return message.getstring(number, sub, ownerTag, id); }
    void set(CNMessageBase& message, const std::string& text) const
    {
        message.setstring(number, sub, text, ownerTag, id);
    }
};

// A nested message object of type `objectTag`; `typeFamily` and `typeIndex`
// are the two values the accessor is called with.
struct CNObjectField : CNFieldAddress {
    static constexpr CNFieldKind kind = CNFieldKind::Object;
    unsigned long long objectTag;
    int typeFamily;
    int typeIndex;

    // The place of the nested object, made when missing (see getObjectAccessor).
    CNMessageBase*& access(CNMessageBase& message) const
    {
        return message.getObjectAccessor(true, false, number, sub, ownerTag, id, typeFamily, typeIndex);
    }
};
