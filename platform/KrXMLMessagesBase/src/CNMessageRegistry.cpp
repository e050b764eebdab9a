#include "CNMessageRegistry.h"

#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"
#include "message_fields.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace {

struct MessageType {
    CNMessageRegistry::Factory create;
    CNMessageRegistry::Deleter destroy;
    std::vector<CNFieldDescription> fields;
};

template <class T>
MessageType typeOf(std::vector<CNFieldDescription> fields)
{
    return MessageType{[]() -> CNMessageBase* { return new T; },
                       [](CNMessageBase* message) { delete static_cast<T*>(message); },
                       std::move(fields)};
}

void destroyPlain(CNMessageBase* message)
{
    delete message;
}

class Registry {
public:
    Registry()
    {
        using Info = LotusNotesPartitionInfo;
        using Req = LotusNotesPartitionReq;
        using Resp = KRGui::GenericResp;
        types_[Info::kTagID] = typeOf<Info>({describe(Info::kPartitionNumber), describe(Info::kScriptArg1),
                                              describe(Info::kScriptArg2), describe(Info::kScriptArg3)});
        types_[Req::kTagID] = typeOf<Req>({describe(Req::kPartitionInfo), describe(Req::kOperation)});
        types_[Resp::kTagID] = typeOf<Resp>({describe(Resp::kErrorCode), describe(Resp::kErrorString)});
    }

    void add(unsigned long long tag, MessageType type)
    {
        std::unique_lock lock(mutex_);
        types_[tag] = std::move(type);
    }

    bool has(unsigned long long tag) const
    {
        std::shared_lock lock(mutex_);
        return types_.count(tag) != 0;
    }

    CNMessagePtr create(unsigned long long tag) const
    {
        CNMessageRegistry::Factory factory = nullptr;
        CNMessageRegistry::Deleter destroy = destroyPlain;
        {
            std::shared_lock lock(mutex_);
            auto it = types_.find(tag);
            if (it != types_.end()) {
                factory = it->second.create;
                destroy = it->second.destroy;
            }
        }
        CNMessagePtr message(factory != nullptr ? factory() : new CNMessageBase(0, 0),
                             CNMessageDeleter{destroy});
        CNMessageAccess::setTag(*message, tag);
        return message;
    }

    bool findField(unsigned long long tag, short field, unsigned int id, CNFieldDescription* description) const
    {
        std::shared_lock lock(mutex_);
        auto it = types_.find(tag);
        if (it == types_.end())
            return false;
        for (const CNFieldDescription& known : it->second.fields) {
            if (known.field == field && known.id == id) {
                if (description != nullptr)
                    *description = known;
                return true;
            }
        }
        return false;
    }

private:
    mutable std::shared_mutex mutex_;
    std::map<unsigned long long, MessageType> types_;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

}  // namespace

void CNMessageRegistry::registerType(unsigned long long tag, Factory create, Deleter destroy,
                                     std::vector<CNFieldDescription> fields)
{
    if (create == nullptr || destroy == nullptr) {
        create = nullptr;
        destroy = destroyPlain;
    }
    registry().add(tag, MessageType{create, destroy, std::move(fields)});
}

bool CNMessageRegistry::isRegistered(unsigned long long tag)
{
    return registry().has(tag);
}

CNMessagePtr CNMessageRegistry::create(unsigned long long tag)
{
    return registry().create(tag);
}

bool CNMessageRegistry::findField(unsigned long long tag, short field, unsigned int id,
                                  CNFieldDescription* description)
{
    return registry().findField(tag, field, id, description);
}
