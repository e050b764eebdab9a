#include "CNMessageXML.h"

#include "decimal.h"
#include "message_fields.h"
#include "xml_characters.h"

#include <pugixml.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

namespace CNMessageXML {
namespace {

const char* kindName(CNFieldKind kind)
{
    switch (kind) {
    case CNFieldKind::Int64:
        return "int64";
    case CNFieldKind::String:
        return "string";
    case CNFieldKind::Object:
        return "object";
    }
    return "?";
}

bool kindOfElement(std::string_view name, CNFieldKind* kind)
{
    for (CNFieldKind candidate : {CNFieldKind::Int64, CNFieldKind::String, CNFieldKind::Object}) {
        if (name == kindName(candidate)) {
            *kind = candidate;
            return true;
        }
    }
    return false;
}

// ---- reading ----

// No end-of-line or attribute-blank conversion (texts arrive byte for byte),
// whitespace-only texts kept (a text of blanks is not an empty text).
constexpr unsigned int kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_ws_pcdata;

std::string elementText(const pugi::xml_node& element)
{
    std::string text;
    for (const pugi::xml_node& child : element.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
    }
    return text;
}

class Reader {
public:
    explicit Reader(std::string& error) : error_(error) {}

    CNMessagePtr readRoot(const pugi::xml_document& document)
    {
        pugi::xml_node root;
        int elements = 0;
        for (const pugi::xml_node& child : document.children()) {
            if (child.type() == pugi::node_element) {
                root = child;
                ++elements;
            }
        }
        if (elements != 1)
            return fail("malformed message: the document must hold exactly one root element");
        if (std::strcmp(root.name(), "message") != 0)
            return fail("malformed message: the root element is not <message>");
        unsigned long long tag = 0;
        if (!readTag(root, "message", &tag))
            return nullptr;
        CNMessagePtr message = CNMessageRegistry::create(tag);
        if (!readFields(root, *message, 1))
            return nullptr;
        return message;
    }

private:
    std::nullptr_t fail(const std::string& reason)
    {
        error_ = reason;
        return nullptr;
    }

    bool refuse(const std::string& reason)
    {
        error_ = reason;
        return false;
    }

    bool readTag(const pugi::xml_node& element, const char* what, unsigned long long* tag)
    {
        const pugi::xml_attribute attribute = element.attribute("tag");
        if (!attribute)
            return refuse(std::string("malformed message: <") + what + "> has no tag");
        if (!krxml::parseUnsigned(attribute.value(), ULLONG_MAX, tag))
            return refuse(std::string("malformed message: the tag of <") + what +
                          "> is not an unsigned 64-bit decimal number");
        return true;
    }

    bool readAddress(const pugi::xml_node& element, const char* what, short* number,
                     unsigned int* id)
    {
        const pugi::xml_attribute fieldAttribute = element.attribute("field");
        const pugi::xml_attribute idAttribute = element.attribute("id");
        if (!fieldAttribute || !idAttribute)
            return refuse(std::string("malformed message: an <") + what + "> lacks field or id");
        long long parsedNumber = 0;
        unsigned long long parsedId = 0;
        if (!krxml::parseSigned(fieldAttribute.value(), SHRT_MIN, SHRT_MAX, &parsedNumber))
            return refuse(std::string("malformed message: an <") + what +
                          "> field number is not a signed 16-bit decimal number");
        if (!krxml::parseUnsigned(idAttribute.value(), UINT_MAX, &parsedId))
            return refuse(std::string("malformed message: an <") + what +
                          "> id is not an unsigned 32-bit decimal number");
        *number = static_cast<short>(parsedNumber);
        *id = static_cast<unsigned int>(parsedId);
        return true;
    }

    static std::string fieldName(short number, unsigned int id)
    {
        return "field " + std::to_string(number) + " (id " + std::to_string(id) + ")";
    }

    bool readFields(const pugi::xml_node& element, CNMessageBase& message, int depth)
    {
        CNMessageFields& fields = CNMessageAccess::fields(message);
        std::unordered_set<unsigned long long> seen;
        for (const pugi::xml_node& child : element.children()) {
            CNFieldKind kind;
            if (child.type() != pugi::node_element || !kindOfElement(child.name(), &kind))
                continue;
            short number = 0;
            unsigned int id = 0;
            if (!readAddress(child, kindName(kind), &number, &id))
                return false;
            const unsigned long long key =
                (static_cast<unsigned long long>(static_cast<unsigned short>(number)) << 32) | id;
            if (!seen.insert(key).second)
                return refuse("malformed message: " + fieldName(number, id) +
                              " appears twice in one element");
            CNFieldDescription description{};
            if (CNMessageRegistry::findField(message.getTagID(), number, id, &description) && description.kind != kind)
                return refuse("malformed message: " + fieldName(number, id) + " of message type " +
                              std::to_string(message.getTagID()) + " must be an " +
                              kindName(description.kind) + ", not an " + kindName(kind));

            MessageField& field = fields.fields.emplace_back(kind, number, id);
            switch (kind) {
            case CNFieldKind::Int64:
                if (!krxml::parseSigned(elementText(child), LLONG_MIN, LLONG_MAX, &field.integer))
                    return refuse("malformed message: int64 " + fieldName(number, id) +
                                  " is not a signed 64-bit decimal number");
                break;
            case CNFieldKind::String:
                field.text = elementText(child);
                break;
            case CNFieldKind::Object: {
                if (depth >= kMaxObjectNesting)
                    return refuse("malformed message: objects nested deeper than " +
                                  std::to_string(kMaxObjectNesting) + " levels");
                unsigned long long tag = 0;
                if (!readTag(child, "object", &tag))
                    return false;
                CNMessagePtr nested = CNMessageRegistry::create(tag);
                if (!readFields(child, *nested, depth + 1))
                    return false;
                field.release = nested.get_deleter();
                field.object = nested.release();
                break;
            }
            }
        }
        return true;
    }

    std::string& error_;
};

// ---- writing ----

// pugixml writes a carriage return in a text as itself, which every other
// XML parser reads as a line feed (end-of-line handling): it goes out as a
// character reference instead. Names and attribute values hold none.
struct AppendWriter : pugi::xml_writer {
    explicit AppendWriter(std::string& out) : out_(out) {}
    void write(const void* data, size_t size) override
    {
        const std::string_view chunk(static_cast<const char*>(data), size);
        for (std::size_t from = 0; from < chunk.size();) {
            const std::size_t cr = std::min(chunk.find('\r', from), chunk.size());
            out_.append(chunk.substr(from, cr - from));
            if (cr < chunk.size())
                out_.append("&#13;");
            from = cr + 1;
        }
    }
    std::string& out_;
};

class Writer {
public:
    explicit Writer(std::string& error) : error_(error) {}

    bool writeObject(const CNMessageBase& message, pugi::xml_node element, int depth)
    {
        if (!element.append_attribute("tag").set_value(message.getTagID()))
            return outOfMemory();
        for (const MessageField& field : CNMessageAccess::fields(message).fields) {
            if (field.kind == CNFieldKind::Object && field.object == nullptr)
                continue;
            pugi::xml_node child = element.append_child(kindName(field.kind));
            if (!child || !child.append_attribute("field").set_value(static_cast<int>(field.number)))
                return outOfMemory();
            if (field.hasSub && !child.append_attribute("sub").set_value(static_cast<int>(field.sub)))
                return outOfMemory();
            if (!child.append_attribute("id").set_value(field.id))
                return outOfMemory();
            switch (field.kind) {
            case CNFieldKind::Int64:
                if (!child.append_child(pugi::node_pcdata)
                         .set_value(std::to_string(field.integer).c_str()))
                    return outOfMemory();
                break;
            case CNFieldKind::String:
                if (!writeText(child, field.text))
                    return outOfMemory();
                break;
            case CNFieldKind::Object:
                if (depth >= kMaxObjectNesting) {
                    error_ = "message objects nested deeper than " +
                             std::to_string(kMaxObjectNesting) + " levels cannot be written";
                    return false;
                }
                if (!writeObject(*field.object, child, depth + 1))
                    return false;
                break;
            }
        }
        return true;
    }

private:
    // Characters XML cannot carry, and bytes that are not UTF-8, go out as
    // U+FFFD: the frame stays a document any XML parser reads.
    static bool writeText(pugi::xml_node& element, const std::string& text)
    {
        if (text.empty())
            return true;
        const std::string written = krxml::wellFormedText(text);
        return element.append_child(pugi::node_pcdata).set_value(written.data(), written.size());
    }

    bool outOfMemory()
    {
        error_ = "out of memory writing a message";
        return false;
    }

    std::string& error_;
};

}  // namespace

bool write(const CNMessageBase& message, std::string& document, std::string& error)
{
    pugi::xml_document tree;
    pugi::xml_node root = tree.append_child("message");
    Writer writer(error);
    if (!root || !writer.writeObject(message, root, 1))
        return false;
    AppendWriter out(document);
    tree.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return true;
}

CNMessagePtr read(const char* data, std::size_t size, std::string& error)
{
    if (size == 0) {
        error = "malformed XML: the document is empty";
        return nullptr;
    }
    // pugixml lets control characters through, written or referred to; XML
    // forbids them (NUL would also cut a text short without a trace).
    if (!krxml::holdsOnlyXmlCharacters(std::string_view(data, size), error))
        return nullptr;
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(data, size, kParseOptions, pugi::encoding_utf8);
    if (!parsed) {
        error = std::string("malformed XML: ") + parsed.description() + " at byte " +
                std::to_string(parsed.offset);
        return nullptr;
    }
    Reader reader(error);
    return reader.readRoot(document);
}

}  // namespace CNMessageXML
