// The message type registry: for each tag id, how to create and release an
// object of the class registered for it, and the fields that class knows.
//
// Registered at load: LotusNotesPartitionReq, LotusNotesPartitionInfo and
// KRGui::GenericResp with their fields. A tag id without a registration
// gives a plain CNMessageBase carrying that tag id.
//
// Field descriptions serve two purposes: getObjectAccessor creates an empty
// object of the declared class for a missing nested object, and a received
// document is refused when a known field of a registered type arrives as
// another kind (a text where an integer belongs is not silently read as 0).
#pragma once

#include "CNMessageBase.h"
#include "CNMessageField.h"
#include "KrXMLMessagesBaseExport.h"

#include <memory>
#include <vector>

struct CNFieldDescription {
    short field;
    unsigned int id;
    CNFieldKind kind;
    unsigned long long objectTag = 0;  // the nested object's type, for kind Object
};

// The description of a named field (CNMessageField.h).
template <class Field>
constexpr CNFieldDescription describe(const Field& field)
{
    if constexpr (Field::kind == CNFieldKind::Object)
        return {field.number, field.id, Field::kind, field.objectTag};
    else
        return {field.number, field.id, Field::kind};
}

// Releases a message object through the deleter of the type that created it.
struct CNMessageDeleter {
    void (*destroy)(CNMessageBase*) = nullptr;
    void operator()(CNMessageBase* message) const noexcept
    {
        if (message != nullptr && destroy != nullptr)
            destroy(message);
    }
};
using CNMessagePtr = std::unique_ptr<CNMessageBase, CNMessageDeleter>;

class KRXML_API CNMessageRegistry {
public:
    using Factory = CNMessageBase* (*)();
    using Deleter = void (*)(CNMessageBase*);

    // Registers (or replaces) the type of `tag`. Objects already created keep
    // the deleter they were created with. Thread-safe.
    static void registerType(unsigned long long tag, Factory create, Deleter destroy,
                             std::vector<CNFieldDescription> fields = {});

    // Registers class T (default-constructible, derived from CNMessageBase)
    // under T::kTagID.
    template <class T>
    static void registerClass(std::vector<CNFieldDescription> fields = {})
    {
        registerType(
            T::kTagID, []() -> CNMessageBase* { return new T; },
            [](CNMessageBase* message) { delete static_cast<T*>(message); }, std::move(fields));
    }

    static bool isRegistered(unsigned long long tag);

    // A new empty object of the class registered for `tag`, or a plain
    // CNMessageBase; either way carrying `tag`. Throws std::bad_alloc only.
    static CNMessagePtr create(unsigned long long tag);

    // The description of field `field`/`id` of type `tag`, when registered.
    static bool findField(unsigned long long tag, short field, unsigned int id, CNFieldDescription* description);
};
