// What both XML readers share: the system's parser queues the nodes it meets,
// and Next hands them out one at a time, or the error that stopped it.
#pragma once
#include <deque>
#include <string>
#include <utility>

#include "platform/xml_reader.h"

namespace bv::xml {

class NodeQueue : public Reader {
public:
    Result<Node> Next() final {
        while (nodes_.empty() && !failed_ && !done_) Advance();
        if (failed_) return error_;
        if (nodes_.empty()) return Node{};
        Node node = std::move(nodes_.front());
        nodes_.pop_front();
        return node;
    }

protected:
    // Gives the parser more of the document: it queues nodes, fails, or
    // sets done_ at the end of the document.
    virtual void Advance() = 0;

    // Drops what was queued: after an error every call fails.
    void Fail(int code, std::wstring detail) {
        failed_ = true;
        nodes_.clear();
        error_ = Error{code, 0, std::move(detail)};
    }

    std::deque<Node> nodes_;
    bool failed_ = false;
    bool done_ = false;

private:
    Error error_;
};

}  // namespace bv::xml
