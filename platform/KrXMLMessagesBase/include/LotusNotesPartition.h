// Request to add or delete a Domino partition, and the partition it names.
#pragma once

#include "CNMessageBase.h"
#include "KrXMLMessagesBaseExport.h"

// The partition carried inside a LotusNotesPartitionReq.
class KRXML_API LotusNotesPartitionInfo : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 508527768;  // 0x1E4F8498

    static constexpr short kPartitionNumberField = 1;  // int64
    static constexpr unsigned int kPartitionNumberId = 6898689;
    static constexpr short kScriptArg1Field = 2;  // text, required
    static constexpr short kScriptArg1Sub = 2;
    static constexpr unsigned int kScriptArg1Id = 873307;
    static constexpr short kScriptArg2Field = 3;  // text, required to add
    static constexpr short kScriptArg2Sub = 6;
    static constexpr unsigned int kScriptArg2Id = 15105173;
    static constexpr short kScriptArg3Field = 4;  // text, optional, required to add
    static constexpr short kScriptArg3Sub = 10;
    static constexpr unsigned int kScriptArg3Id = 1272958;

    LotusNotesPartitionInfo();
    ~LotusNotesPartitionInfo();
};

class KRXML_API LotusNotesPartitionReq : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 513299686;  // 0x1E9854E6

    static constexpr short kPartitionInfoField = 2;  // nested LotusNotesPartitionInfo
    static constexpr short kPartitionInfoSub = 2;
    static constexpr unsigned int kPartitionInfoId = 14807476;
    static constexpr int kPartitionInfoTypeFamily = 30;  // values the accessor is called with
    static constexpr int kPartitionInfoTypeIndex = 1930;
    static constexpr short kOperationField = 3;  // int64: 0 = delete, 1 = add
    static constexpr unsigned int kOperationId = 12263650;

    LotusNotesPartitionReq();
    ~LotusNotesPartitionReq();
};
