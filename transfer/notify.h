// The notification mailbox between transfers and the window: one record that
// an operation's starter resets, its finisher fills, and the window's timer
// reads, acts on and resets. Every access holds one lock, so a post from a
// worker thread is seen whole and never lost between the timer's read and
// its reset.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bv {

// What the mailbox's result answers: the operation's starter sets it with
// Init, and the window's timer acts on a result by it.
enum class NotifyCode : int32_t {
    KeepList = -1,  // the transfer module's creation: makes the list, keeps its lines
    Idle = 0,       // nothing awaited: the timer took the last result
    Hello = 1,      // a remote greeting: the answer goes to a message box
    FileList = 2,   // the server's list of files
    FileSent = 3,   // a file sent to the server
    Download = 4,   // a file fetched to the disk: the batch's next file follows
};

class TNotify {
public:
    // A copy of the mailbox's fields, taken under the lock.
    struct Fields {
        NotifyCode nfCode = NotifyCode::Idle;
        bool nfReady = false;
        bool FileToServerReady = false;
        bool FileFromServerReady = false;
        std::vector<std::wstring> nfReturnList;
        std::wstring nfStatus;
        int32_t nfProgress = 0;
        bool hasList = false;
    };

    // Resets the mailbox for operation `theType`. KeepList creates the list
    // if there is none and keeps any lines; every other code empties it.
    void Init(NotifyCode theType);

    // Adds result lines, in order; they are complete before SetReady.
    void AddLine(const std::wstring& line);
    void SetReady(bool ready);
    // Adds the lines and raises the ready flag in one step.
    void Post(const std::vector<std::wstring>& lines);
    // The running status text (and a download's percentage).
    void SetStatus(const std::wstring& status, int32_t progress = 0);
    // Each alone, the other left as it is.
    void SetStatusText(const std::wstring& status);
    void SetProgress(int32_t progress);

    Fields Read() const;

    // The timer's read-act-reset, made atomic: answers the fields as they
    // were and, when the ready flag was up, resets the mailbox with Init(Idle)
    // before releasing the lock. The caller acts on the answer afterwards.
    Fields TakeForTimer();

    // Program end: the list is destroyed.
    void DestroyList();

private:
    void InitLocked(NotifyCode theType);
    Fields CopyLocked() const;

    mutable std::mutex mutex_;
    NotifyCode nfCode_ = NotifyCode::Idle;
    bool nfReady_ = false;
    bool fileToServerReady_ = false;
    bool fileFromServerReady_ = false;
    std::unique_ptr<std::vector<std::wstring>> nfReturnList_;
    std::wstring nfStatus_;
    int32_t nfProgress_ = 0;
};

// The one mailbox.
extern TNotify Notify;

}  // namespace bv
