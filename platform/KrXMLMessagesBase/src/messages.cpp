#include "KRGuiGenericResp.h"
#include "LotusNotesPartition.h"

namespace KRGui {

GenericResp::GenericResp() : CNMessageBase(1, 0)
{
    setTagID(kTagID);
}

GenericResp::~GenericResp() = default;

}  // namespace KRGui

LotusNotesPartitionInfo::LotusNotesPartitionInfo() : CNMessageBase(30, 0)
{
    setTagID(kTagID);
}

LotusNotesPartitionInfo::~LotusNotesPartitionInfo() = default;

LotusNotesPartitionReq::LotusNotesPartitionReq() : CNMessageBase(30, 0)
{
    setTagID(kTagID);
}

LotusNotesPartitionReq::~LotusNotesPartitionReq() = default;
