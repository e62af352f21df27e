// The XML reader on Windows: XmlLite. MinGW has its header but no import
// library, so xmllite.dll and its CreateXmlReader are loaded at run time and
// the interface id is our own constant. The document reaches the reader
// through a memory stream. Document type declarations are prohibited.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <climits>
#include <deque>

#include "platform/xml_reader.h"

namespace bv::xml {
namespace {

// {7279FC81-709D-4095-B63D-69FE4B0D9030}
const IID kIidXmlReader = {0x7279fc81, 0x709d, 0x4095,
                           {0xb6, 0x3d, 0x69, 0xfe, 0x4b, 0x0d, 0x90, 0x30}};

using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

CreateXmlReaderFn LoadCreateXmlReader() {
    static CreateXmlReaderFn fn = [] {
        HMODULE dll = LoadLibraryW(L"xmllite.dll");
        return dll ? reinterpret_cast<CreateXmlReaderFn>(
                         reinterpret_cast<void*>(GetProcAddress(dll, "CreateXmlReader")))
                   : nullptr;
    }();
    return fn;
}

std::wstring HrText(HRESULT hr) {
    wchar_t buf[16];
    wsprintfW(buf, L"0x%08X", static_cast<unsigned>(hr));
    return buf;
}

class XmlLiteReader : public Reader {
public:
    XmlLiteReader(std::string_view document, int maxDepth) : maxDepth_(maxDepth) {
        CreateXmlReaderFn create = LoadCreateXmlReader();
        if (!create) {
            Fail(kXmlUnavailable, L"xmllite.dll or CreateXmlReader not found");
            return;
        }
        if (document.size() > UINT_MAX) {
            Fail(kXmlMalformed, L"document too large");
            return;
        }
        stream_ = SHCreateMemStream(reinterpret_cast<const BYTE*>(document.data()),
                                    static_cast<UINT>(document.size()));
        HRESULT hr = stream_ ? create(kIidXmlReader, reinterpret_cast<void**>(&reader_), nullptr)
                             : E_OUTOFMEMORY;
        if (SUCCEEDED(hr))
            hr = reader_->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
        if (SUCCEEDED(hr)) hr = reader_->SetInput(stream_);
        if (FAILED(hr)) Fail(kXmlUnavailable, L"XmlLite set-up failed: " + HrText(hr));
    }
    ~XmlLiteReader() override {
        if (reader_) reader_->Release();
        if (stream_) stream_->Release();
    }

    Result<Node> Next() override {
        while (nodes_.empty() && !failed_ && !done_) Pull();
        if (failed_) return error_;
        if (nodes_.empty()) return Node{};
        Node node = std::move(nodes_.front());
        nodes_.pop_front();
        return node;
    }

private:
    // Reads one node of XmlLite's and queues what it gives.
    void Pull() {
        XmlNodeType type = XmlNodeType_None;
        HRESULT hr = reader_->Read(&type);
        if (hr == S_FALSE) {
            if (!sawRoot_ || depth_ != 0) return Fail(kXmlMalformed, L"document ends early");
            FlushText();
            done_ = true;
            return;
        }
        if (FAILED(hr)) return Fail(kXmlMalformed, L"not well-formed XML: " + HrText(hr));
        switch (type) {
        case XmlNodeType_Text:
        case XmlNodeType_CDATA:
        case XmlNodeType_Whitespace: {
            if (depth_ == 0) return;  // blanks around the root element
            const WCHAR* value = nullptr;
            UINT len = 0;
            if (FAILED(reader_->GetValue(&value, &len))) return Fail(kXmlMalformed, L"unreadable text");
            text_.append(value, len);
            return;
        }
        case XmlNodeType_Element:
        case XmlNodeType_EndElement: {
            const WCHAR* name = nullptr;
            UINT len = 0;
            if (FAILED(reader_->GetQualifiedName(&name, &len)))
                return Fail(kXmlMalformed, L"unreadable element name");
            std::wstring qname(name, len);
            FlushText();
            if (type == XmlNodeType_EndElement) {
                --depth_;
                nodes_.push_back(Node{NodeKind::End, std::move(qname), {}});
                return;
            }
            if (depth_ == 0 && sawRoot_) return Fail(kXmlMalformed, L"a second root element");
            if (depth_ + 1 > maxDepth_)
                return Fail(kXmlTooDeep, L"elements nested deeper than " + std::to_wstring(maxDepth_));
            sawRoot_ = true;
            nodes_.push_back(Node{NodeKind::Start, qname, {}});
            if (reader_->IsEmptyElement())
                nodes_.push_back(Node{NodeKind::End, std::move(qname), {}});
            else
                ++depth_;
            return;
        }
        case XmlNodeType_DocumentType:
            return Fail(kXmlMalformed, L"document type declarations are not accepted");
        default:
            return;  // the declaration, comments, processing instructions
        }
    }

    void FlushText() {
        if (!text_.empty()) {
            nodes_.push_back(Node{NodeKind::Text, {}, std::move(text_)});
            text_.clear();
        }
    }

    void Fail(int code, std::wstring detail) {
        failed_ = true;
        nodes_.clear();
        error_ = Error{code, 0, std::move(detail)};
    }

    int maxDepth_;
    IStream* stream_ = nullptr;
    IXmlReader* reader_ = nullptr;
    int depth_ = 0;
    bool sawRoot_ = false;
    bool done_ = false;
    bool failed_ = false;
    std::deque<Node> nodes_;
    std::wstring text_;
    Error error_;
};

}  // namespace

std::unique_ptr<Reader> OpenReader(std::string_view document, int maxDepth) {
    return std::make_unique<XmlLiteReader>(document, maxDepth);
}

}  // namespace bv::xml
