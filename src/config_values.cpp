// Typed values of the agent's configuration store, section LotusNotesDBAgent,
// for the installation instance the process runs under.

#include "lndb/config_values.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "KRPlatformInfo.h"
#include "instance_string.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using common::kAgentSection;
constexpr unsigned kNameSize = 1024;
constexpr unsigned kValueSize = 1024;
using NameText = lndb::FixedText<kNameSize>;
using ValueText = lndb::FixedText<kValueSize>;

enum class ValueType { Int32, Int64, Text };

// The first characters of the caller's value name select the type; "n" is
// tested first.
ValueType typeOf(const char* valueName)
{
    if (valueName[0] == 'n')
        return ValueType::Int32;
    if (valueName[0] == 'l' && valueName[1] == 'l')
        return ValueType::Int64;
    return ValueType::Text;
}

// "<valueName>" or "<valueName>_<partition>"; false when it does not fit.
bool composeName(NameText& name, const char* valueName, const char* partition)
{
    return partition != nullptr ? name.format("%s_%s", valueName, partition) : name.assign(valueName);
}

// Writes the value text to `out` in the type the name selects; a text that
// is not a number converts as atoi/atoll convert it.
void storeTyped(unsigned char* out, ValueType type, const char* text)
{
    switch (type) {
    case ValueType::Int32: {
        const std::int32_t value = std::atoi(text);
        std::memcpy(out, &value, sizeof value);
        break;
    }
    case ValueType::Int64: {
        const std::int64_t value = std::atoll(text);
        std::memcpy(out, &value, sizeof value);
        break;
    }
    case ValueType::Text:
        std::memcpy(out, text, std::strlen(text) + 1);
        break;
    }
}

bool readValue(unsigned char* out, const char* valueName, const char* partition)
{
    if (out == nullptr)
        return false;

    NameText name;
    if (valueName == nullptr || !composeName(name, valueName, partition)) {
        EvEvent log;
        log.debug("GetLndbUnixRegValue: refused: value name '%s' with partition '%s' is %s",
                  valueName != nullptr ? valueName : "(null)",
                  partition != nullptr ? partition : "(null)",
                  valueName == nullptr ? "missing" : "longer than 1023 characters");
        return false;
    }

    KRPlatformInfo store;  // focused on KRPI_Focus::getFocus()
    EvEvent log;
    log.debug("focus = %s", KRPI_Focus::getFocus().c_str());

    ValueText value;
    const int found = value.fill([&](char* buffer, std::size_t size) {
        unsigned length = static_cast<unsigned>(size);
        return store.getString(kAgentSection, name.c_str(), buffer, &length);
    });
    log.debug("key = %s, valName = %s", kAgentSection, name.c_str());
    log.debug("ret = %s, buffer = %s", found != 0 ? "true" : "false", value.c_str());
    if (found == 0)
        log.debug("Last Error = %s", store.getLastErrorMsg());

    // The store leaves the zeroed buffer untouched after a failed read, so a
    // failed read still writes 0 or the empty text.
    storeTyped(out, typeOf(valueName), value.c_str());
    return found != 0;
}

}  // namespace

bool GetLndbUnixRegValue(unsigned char* out, const char* valueName, const char* partition)
{
    return lndb::guarded("GetLndbUnixRegValue", false,
                         [&] { return readValue(out, valueName, partition); });
}

int GetRegistryValue(const char* /*key*/, const char* valueName, unsigned char* out,
                     unsigned int /*size*/)
{
    return GetLndbUnixRegValue(out, valueName, nullptr) ? 1 : 0;
}

int GetVMRegistryValue(const char* key, const char* valueName, unsigned int& value)
{
    // `value` has room for the 32-bit number of an "n" name only; any other
    // name would write a 64-bit number or a text past it.
    if (valueName == nullptr || valueName[0] != 'n') {
        lndb::guardedVoid("GetVMRegistryValue", [&] {
            EvEvent log;
            log.debug("GetVMRegistryValue: refused: value name '%s' does not begin with \"n\" "
                      "(a 32-bit number)",
                      valueName != nullptr ? valueName : "(null)");
        });
        return 0;
    }
    return GetRegistryValue(key, valueName, reinterpret_cast<unsigned char*>(&value),
                            sizeof value);
}

int GetRegistryValueWithAlt(const char* key, const char* altKey, const char* valueName,
                            unsigned char* out, unsigned int size)
{
    // The keys are not used, so the second read repeats the first; its
    // result and what it writes are what the caller gets.
    if (GetRegistryValue(key, valueName, out, size) == 0)
        return 0;
    return GetRegistryValue(altKey, valueName, out, size);
}
