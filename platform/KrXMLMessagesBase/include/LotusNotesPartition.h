// Request to add or delete a Domino partition, and the partition it names.
#pragma once

#include "CNMessageBase.h"
#include "CNMessageField.h"
#include "KrXMLMessagesBaseExport.h"

// The partition carried inside a LotusNotesPartitionReq.
class KRXML_API LotusNotesPartitionInfo : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 508527768;  // 0x1E4F8498

    KRXML_LOCAL static constexpr CNInt64Field kPartitionNumber{{kTagID, 1, 0, 6898689}};
    KRXML_LOCAL static constexpr CNStringField kScriptArg1{{kTagID, 2, 2, 873307}};   // required
    KRXML_LOCAL static constexpr CNStringField kScriptArg2{{kTagID, 3, 6, 15105173}};  // required to add
    // Optional (presence asked with isSet), required to add.
    KRXML_LOCAL static constexpr CNStringField kScriptArg3{{kTagID, 4, 10, 1272958}};

    LotusNotesPartitionInfo();
    ~LotusNotesPartitionInfo();
};

class KRXML_API LotusNotesPartitionReq : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 513299686;  // 0x1E9854E6

    KRXML_LOCAL static constexpr CNObjectField kPartitionInfo{{kTagID, 2, 2, 14807476},
                                                  LotusNotesPartitionInfo::kTagID, 30, 1930};
    KRXML_LOCAL static constexpr CNInt64Field kOperation{{kTagID, 3, 0, 12263650}};  // 0 = delete, 1 = add

    LotusNotesPartitionReq();
    ~LotusNotesPartitionReq();
};
