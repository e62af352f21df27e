// The notification mailbox.
#include "transfer/notify.h"

namespace bv {

TNotify Notify;

void TNotify::InitLocked(NotifyCode theType) {
    nfCode_ = theType;
    nfReady_ = false;
    nfStatus_.clear();
    nfProgress_ = 0;
    fileToServerReady_ = false;
    fileFromServerReady_ = false;
    if (theType == NotifyCode::KeepList) {
        if (!nfReturnList_) nfReturnList_ = std::make_unique<std::vector<std::wstring>>();
    } else if (nfReturnList_) {
        nfReturnList_->clear();
    } else {
        // Only reachable when a reset comes before the module's creation;
        // a fresh list keeps the mailbox usable.
        nfReturnList_ = std::make_unique<std::vector<std::wstring>>();
    }
}

void TNotify::Init(NotifyCode theType) {
    std::lock_guard<std::mutex> lock(mutex_);
    InitLocked(theType);
}

void TNotify::AddLine(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!nfReturnList_) nfReturnList_ = std::make_unique<std::vector<std::wstring>>();
    nfReturnList_->push_back(line);
}

void TNotify::SetReady(bool ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    nfReady_ = ready;
}

void TNotify::Post(const std::vector<std::wstring>& lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!nfReturnList_) nfReturnList_ = std::make_unique<std::vector<std::wstring>>();
    nfReturnList_->insert(nfReturnList_->end(), lines.begin(), lines.end());
    nfReady_ = true;
}

void TNotify::SetStatus(const std::wstring& status, int32_t progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    nfStatus_ = status;
    nfProgress_ = progress;
}

void TNotify::SetStatusText(const std::wstring& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    nfStatus_ = status;
}

void TNotify::SetProgress(int32_t progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    nfProgress_ = progress;
}

TNotify::Fields TNotify::CopyLocked() const {
    Fields f;
    f.nfCode = nfCode_;
    f.nfReady = nfReady_;
    f.FileToServerReady = fileToServerReady_;
    f.FileFromServerReady = fileFromServerReady_;
    f.hasList = nfReturnList_ != nullptr;
    if (nfReturnList_) f.nfReturnList = *nfReturnList_;
    f.nfStatus = nfStatus_;
    f.nfProgress = nfProgress_;
    return f;
}

TNotify::Fields TNotify::Read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CopyLocked();
}

TNotify::Fields TNotify::TakeForTimer() {
    std::lock_guard<std::mutex> lock(mutex_);
    Fields f = CopyLocked();
    if (f.nfReady) InitLocked(NotifyCode::Idle);
    return f;
}

void TNotify::DestroyList() {
    std::lock_guard<std::mutex> lock(mutex_);
    nfReturnList_.reset();
}

}  // namespace bv
