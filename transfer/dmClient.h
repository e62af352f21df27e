// The transfer client module: created right after the wizard window, it sets
// up the notification mailbox; destroyed last, it frees the mailbox's list.
#pragma once

namespace bv {

class TdmClient {
public:
    TdmClient() { DataModuleCreate(); }
    ~TdmClient() { DataModuleDestroy(); }
    TdmClient(const TdmClient&) = delete;
    TdmClient& operator=(const TdmClient&) = delete;

    void DataModuleCreate();
    void DataModuleDestroy();
};

// The program's one module; null before start-up creates it.
extern TdmClient* dmClient;

}  // namespace bv
