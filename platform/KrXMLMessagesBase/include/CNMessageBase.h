// Message objects of the agent's messaging library.
//
// A message object carries a tag id (its message type) and a list of fields.
// A field is addressed by its field number and its field identifier together;
// two fields with the same number but different identifiers are different
// fields. Every field operation also names the tag id of the object that holds
// the field: when it is not this object's tag id, the field counts as absent
// (getters) or is not written (setters).
//
// Kinds of field: a signed 64-bit integer, a text (any bytes), or a nested
// message object. A field of another kind than the operation expects counts as
// absent for that operation: getint64 on a text answers 0, getstring on an
// integer answers the empty text. isSet answers whether the field exists, of
// whatever kind.
//
// The second 16-bit value that setint64/setstring take is kept with the field
// and written to the XML document as `sub`; it plays no part in finding a field.
//
// Neither this class nor the message classes derived from it have virtual
// operations: objects are released through the typed deleter that the message
// registry keeps for their type (CNMessageRegistry.h), never through a
// CNMessageBase pointer. Not safe for concurrent use of one object; distinct
// objects may be used on distinct threads.
#pragma once

#include "KrXMLMessagesBaseExport.h"

#include <string>

struct CNMessageFields;

class KRXML_API CNMessageBase {
public:
    // The two values identify the agent's message family and version; the
    // stand-in keeps no use for them. The object starts with tag id 0 and no
    // fields.
    CNMessageBase(int family, int version);
    ~CNMessageBase();
    CNMessageBase(const CNMessageBase&) = delete;
    CNMessageBase& operator=(const CNMessageBase&) = delete;

    unsigned long long getTagID() const;

    // The place that holds nested object `field`/`id`. When this object holds
    // no such object, an empty one is put there first: of the class registered
    // for that field of this message type, or a plain CNMessageBase with tag
    // id 0 when the registry does not know the field. When the owner tag id
    // differs from this object's, or a field of another kind sits at that
    // number and identifier, the answer is a separate empty object owned by
    // this message and the message itself is left as it was. The object in
    // the place stays owned by this message: callers read through the
    // reference and never store into it. The reference stays valid until the
    // field is set again or this message is destroyed. The two flags and the
    // two trailing values are carried for the agent's interface and have no
    // effect here.
    CNMessageBase*& getObjectAccessor(bool create, bool reserved, short field, short sub,
                                      unsigned long long ownerTag, unsigned int id,
                                      int typeFamily, int typeIndex);

    // The integer field's value; 0 when absent.
    long long getint64(short field, unsigned long long ownerTag, unsigned int id) const;
    // The text field's value; the empty text when absent.
    std::string getstring(short field, short sub, unsigned long long ownerTag, unsigned int id);
    // True when a field of any kind exists at that number and identifier.
    bool isSet(short field, unsigned long long ownerTag, unsigned long long id) const;

    // Set (or replace, whatever its kind was) a field. Replacing a nested
    // object releases it. Nothing is written when `ownerTag` is not this
    // object's tag id.
    void setint64(short field, short sub, long long value, unsigned long long ownerTag,
                  unsigned int id);
    void setstring(short field, short sub, const std::string& text, unsigned long long ownerTag,
                   unsigned int id);

protected:
    // For the constructors of the message classes.
    void setTagID(unsigned long long tag);

private:
    friend struct CNMessageAccess;  // the registry and the XML codec

    unsigned long long m_tag;
    CNMessageFields* m_fields;
};
