// The XML reader natively: expat, fed the document in blocks. Its callbacks
// queue the nodes that Next hands out; a document type declaration stops the
// parse, so no entity of the document's own is ever expanded.
#include <expat.h>


#include "platform/os.h"
#include "platform/xml_queue.h"

namespace bv::xml {
namespace {

constexpr size_t kBlock = 16384;

class ExpatReader : public NodeQueue {
public:
    ExpatReader(std::string_view document, int maxDepth)
        : document_(document), maxDepth_(maxDepth), parser_(XML_ParserCreate(nullptr)) {
        if (!parser_) {
            Fail(kXmlUnavailable, L"expat: out of memory");
            return;
        }
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &ExpatReader::OnStart, &ExpatReader::OnEnd);
        XML_SetCharacterDataHandler(parser_, &ExpatReader::OnText);
        XML_SetStartDoctypeDeclHandler(parser_, &ExpatReader::OnDoctype);
    }
    ~ExpatReader() override {
        if (parser_) XML_ParserFree(parser_);
    }

private:
    void Advance() override {
        size_t n = std::min(kBlock, document_.size() - offset_);
        bool last = offset_ + n == document_.size();
        XML_Status status =
            XML_Parse(parser_, document_.data() + offset_, static_cast<int>(n), last ? 1 : 0);
        offset_ += n;
        if (failed_) return;  // stopped by one of our callbacks
        if (status != XML_STATUS_OK) {
            XML_Error code = XML_GetErrorCode(parser_);
            Fail(kXmlMalformed, os::FromUtf8(XML_ErrorString(code)) + L" at line " +
                                    std::to_wstring(XML_GetCurrentLineNumber(parser_)));
            return;
        }
        if (last) {
            FlushText();
            done_ = true;
        }
    }

    void Stop(int code, std::wstring detail) {
        Fail(code, std::move(detail));
        XML_StopParser(parser_, XML_FALSE);
    }

    void FlushText() {
        if (!text_.empty()) {
            nodes_.push_back(Node{NodeKind::Text, {}, os::FromUtf8(text_)});
            text_.clear();
        }
    }

    static void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char**) {
        auto* self = static_cast<ExpatReader*>(data);
        if (self->failed_) return;
        if (++self->depth_ > self->maxDepth_) {
            self->Stop(kXmlTooDeep, L"elements nested deeper than " +
                                        std::to_wstring(self->maxDepth_));
            return;
        }
        self->FlushText();
        self->nodes_.push_back(Node{NodeKind::Start, os::FromUtf8(name), {}});
    }

    static void XMLCALL OnEnd(void* data, const XML_Char* name) {
        auto* self = static_cast<ExpatReader*>(data);
        if (self->failed_) return;
        --self->depth_;
        self->FlushText();
        self->nodes_.push_back(Node{NodeKind::End, os::FromUtf8(name), {}});
    }

    static void XMLCALL OnText(void* data, const XML_Char* s, int len) {
        auto* self = static_cast<ExpatReader*>(data);
        if (self->failed_) return;
        // Blanks outside the root element are not part of the document.
        if (self->depth_ == 0) return;
        self->text_.append(s, static_cast<size_t>(len));
    }

    static void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                  int) {
        auto* self = static_cast<ExpatReader*>(data);
        if (self->failed_) return;
        self->Stop(kXmlMalformed, L"document type declarations are not accepted");
    }

    std::string_view document_;
    size_t offset_ = 0;
    int maxDepth_;
    int depth_ = 0;
    XML_Parser parser_;
    std::string text_;
};

}  // namespace

std::unique_ptr<Reader> OpenReader(std::string_view document, int maxDepth) {
    return std::make_unique<ExpatReader>(document, maxDepth);
}

}  // namespace bv::xml
