#include "CNMessageBase.h"

#include "CNMessageRegistry.h"
#include "message_fields.h"

#include <limits>

MessageField* CNMessageAccess::find(CNMessageFields& fields, short number, unsigned int id)
{
    for (MessageField& field : fields.fields) {
        if (field.number == number && field.id == id)
            return &field;
    }
    return nullptr;
}

const MessageField* CNMessageAccess::find(const CNMessageFields& fields, short number,
                                          unsigned int id)
{
    return find(const_cast<CNMessageFields&>(fields), number, id);
}

CNMessageBase::CNMessageBase(int, int) : m_tag(0), m_fields(new CNMessageFields) {}

CNMessageBase::~CNMessageBase()
{
    delete m_fields;
}

unsigned long long CNMessageBase::getTagID() const
{
    return m_tag;
}

void CNMessageBase::setTagID(unsigned long long tag)
{
    m_tag = tag;
}

namespace {

// Moves `created` into an object field so that the field owns it.
void adopt(MessageField& field, CNMessagePtr created)
{
    field.release = created.get_deleter();
    field.object = created.release();
}

// Replaces (or adds) field number/id with a fresh field of `kind`.
MessageField& resetField(CNMessageFields& fields, CNFieldKind kind, short number, short sub,
                         unsigned int id)
{
    for (auto it = fields.fields.begin(); it != fields.fields.end(); ++it) {
        if (it->number == number && it->id == id) {
            it = fields.fields.erase(it);
            MessageField& field = *fields.fields.emplace(it, kind, number, id);
            field.hasSub = true;
            field.sub = sub;
            return field;
        }
    }
    MessageField& field = fields.fields.emplace_back(kind, number, id);
    field.hasSub = true;
    field.sub = sub;
    return field;
}

}  // namespace

CNMessageBase*& CNMessageBase::getObjectAccessor(bool, bool, short field, short sub,
                                                 unsigned long long ownerTag, unsigned int id, int,
                                                 int)
{
    const bool owned = ownerTag == m_tag;
    MessageField* existing = owned ? CNMessageAccess::find(*m_fields, field, id) : nullptr;
    if (existing != nullptr && existing->kind == CNFieldKind::Object && existing->object != nullptr)
        return existing->object;

    CNFieldDescription description{};
    const bool known = CNMessageRegistry::findField(m_tag, field, id, &description) &&
                       description.kind == CNFieldKind::Object;
    CNMessagePtr created = CNMessageRegistry::create(known ? description.objectTag : 0);

    MessageField* place = nullptr;
    if (!owned || (existing != nullptr && existing->kind != CNFieldKind::Object))
        place = &m_fields->detached.emplace_back(CNFieldKind::Object, field, id);
    else if (existing != nullptr)
        place = existing;
    else
        place = &resetField(*m_fields, CNFieldKind::Object, field, sub, id);
    adopt(*place, std::move(created));
    return place->object;
}

long long CNMessageBase::getint64(short field, unsigned long long ownerTag, unsigned int id) const
{
    if (ownerTag != m_tag)
        return 0;
    const MessageField* found = CNMessageAccess::find(*m_fields, field, id);
    return found != nullptr && found->kind == CNFieldKind::Int64 ? found->integer : 0;
}

std::string CNMessageBase::getstring(short field, short, unsigned long long ownerTag,
                                     unsigned int id)
{
    if (ownerTag != m_tag)
        return std::string();
    const MessageField* found = CNMessageAccess::find(*m_fields, field, id);
    return found != nullptr && found->kind == CNFieldKind::String ? found->text : std::string();
}

bool CNMessageBase::isSet(short field, unsigned long long ownerTag, unsigned long long id) const
{
    if (ownerTag != m_tag || id > std::numeric_limits<unsigned int>::max())
        return false;
    return CNMessageAccess::find(*m_fields, field, static_cast<unsigned int>(id)) != nullptr;
}

void CNMessageBase::setint64(short field, short sub, long long value, unsigned long long ownerTag,
                             unsigned int id)
{
    if (ownerTag != m_tag)
        return;
    resetField(*m_fields, CNFieldKind::Int64, field, sub, id).integer = value;
}

void CNMessageBase::setstring(short field, short sub, const std::string& text,
                              unsigned long long ownerTag, unsigned int id)
{
    if (ownerTag != m_tag)
        return;
    // Copy first: `text` may be this very field's text.
    std::string copy = text;
    resetField(*m_fields, CNFieldKind::String, field, sub, id).text = std::move(copy);
}
