// The agent's generic response: a result code and, on failure, a reason.
#pragma once

#include "CNMessageBase.h"
#include "KrXMLMessagesBaseExport.h"

namespace KRGui {

class KRXML_API GenericResp : public CNMessageBase {
public:
    static constexpr unsigned long long kTagID = 16778224;  // 0x10003F0

    // errorCode: 0 = done, 1 = failed.
    static constexpr short kErrorCodeField = 1;
    static constexpr short kErrorCodeSub = 1;
    static constexpr unsigned int kErrorCodeId = 10268693;
    // errorString: why the request failed.
    static constexpr short kErrorStringField = 2;
    static constexpr short kErrorStringSub = 2;
    static constexpr unsigned int kErrorStringId = 12053727;

    GenericResp();  // CNMessageBase(1, 0), tag id kTagID
    ~GenericResp();
};

}  // namespace KRGui
