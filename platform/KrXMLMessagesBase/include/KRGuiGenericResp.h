// The agent's generic response: a result code and, on failure, a reason.
#pragma once

#include "CNMessageBase.h"
#include "CNMessageField.h"
#include "KrXMLMessagesBaseExport.h"

namespace KRGui {

class KRXML_API GenericResp : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 16778224;  // 0x10003F0

    KRXML_LOCAL static constexpr CNInt64Field kErrorCode{{kTagID, 1, 1, 10268693}};      // 0 = done, 1 = failed
    KRXML_LOCAL static constexpr CNStringField kErrorString{{kTagID, 2, 2, 12053727}};  // why the request failed

    GenericResp();  // CNMessageBase(1, 0), tag id kTagID
    ~GenericResp();
};

}  // namespace KRGui
