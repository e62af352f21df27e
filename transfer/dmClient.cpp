// Creation and destruction handlers of the transfer client module.
#include "transfer/dmClient.h"

#include "transfer/log.h"
#include "transfer/notify.h"

namespace bv {

TdmClient* dmClient = nullptr;

void TdmClient::DataModuleCreate() {
    WriteLog(L"Created Datamodule.");
    Notify.Init(-1);
}

void TdmClient::DataModuleDestroy() { Notify.DestroyList(); }

}  // namespace bv
