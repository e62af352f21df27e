// The XML reader on Windows: XmlLite. MinGW has its header but no import
// library, so xmllite.dll and its CreateXmlReader are loaded at run time and
// the interface id is our own constant. The document reaches the reader
// through a memory stream. Document type declarations are prohibited.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/xml_queue.h"

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

// The markup of a document checked before XmlLite sees it: every tag,
// comment, CDATA section and processing instruction complete, end tags
// matching start tags, one root element, no document type declaration and
// no deeper nesting than allowed. Some XmlLite versions (Wine's) hang, end
// the document with end tags of their own or stop the process on truncated
// markup; this keeps such documents away from it. Entities, characters and
// encodings stay XmlLite's to check.
template <class Unit>
int CheckMarkup(const Unit* p, size_t n, int maxDepth) {
    using Name = std::basic_string<Unit>;
    std::vector<Name> open;
    bool sawRoot = false;
    size_t i = 0;
    auto startsWith = [&](const char* lit) {
        size_t k = 0;
        for (; lit[k]; ++k)
            if (i + k >= n || p[i + k] != static_cast<Unit>(lit[k])) return false;
        return true;
    };
    auto skipPast = [&](const char* lit) {
        for (; i < n; ++i)
            if (startsWith(lit)) {
                while (*lit++) ++i;
                return true;
            }
        return false;
    };
    auto blank = [](Unit c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < n) {
        if (p[i] != '<') {
            if (open.empty() && !blank(p[i])) return kXmlMalformed;  // text outside the root
            ++i;
            continue;
        }
        if (startsWith("<?")) {
            if (!skipPast("?>")) return kXmlMalformed;
        } else if (startsWith("<!--")) {
            if (!skipPast("-->")) return kXmlMalformed;
        } else if (startsWith("<![CDATA[")) {
            if (open.empty() || !skipPast("]]>")) return kXmlMalformed;
        } else if (startsWith("<!")) {
            return kXmlMalformed;  // document type declarations are not accepted
        } else {
            bool end = i + 1 < n && p[i + 1] == '/';
            i += end ? 2 : 1;
            size_t nameStart = i;
            while (i < n && !blank(p[i]) && p[i] != '>' && p[i] != '/') ++i;
            Name name(p + nameStart, i - nameStart);
            if (name.empty()) return kXmlMalformed;
            Unit quote = 0;
            bool empty = false;
            for (; i < n; ++i) {
                if (quote) {
                    if (p[i] == quote) quote = 0;
                } else if (p[i] == '"' || p[i] == '\'') {
                    quote = p[i];
                } else if (p[i] == '>') {
                    empty = !end && p[i - 1] == '/';
                    break;
                }
            }
            if (i == n) return kXmlMalformed;  // the tag is cut
            ++i;
            if (end) {
                if (open.empty() || open.back() != name) return kXmlMalformed;
                open.pop_back();
            } else {
                if (open.empty() && sawRoot) return kXmlMalformed;  // a second root
                sawRoot = true;
                if (static_cast<int>(open.size()) + 1 > maxDepth) return kXmlTooDeep;
                if (!empty) open.push_back(std::move(name));
            }
        }
    }
    return sawRoot && open.empty() ? 0 : kXmlMalformed;
}

int CheckDocument(std::string_view doc, int maxDepth) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(doc[i]); };
    if (doc.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
        bool little = byte(0) == 0xFF;
        std::wstring units;
        for (size_t i = 2; i + 1 < doc.size(); i += 2)
            units.push_back(static_cast<wchar_t>(little ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1)));
        if (doc.size() % 2) return kXmlMalformed;
        return CheckMarkup(units.data(), units.size(), maxDepth);
    }
    if (doc.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) doc.remove_prefix(3);
    return CheckMarkup(doc.data(), doc.size(), maxDepth);
}

std::wstring HrText(HRESULT hr) {
    wchar_t buf[16];
    wsprintfW(buf, L"0x%08X", static_cast<unsigned>(hr));
    return buf;
}

class XmlLiteReader : public NodeQueue {
public:
    XmlLiteReader(std::string_view document, int maxDepth)
        : document_(document), maxDepth_(maxDepth) {
        CreateXmlReaderFn create = LoadCreateXmlReader();
        if (!create) {
            Fail(kXmlUnavailable, L"xmllite.dll or CreateXmlReader not found");
            return;
        }
        if (document.size() > UINT_MAX) {
            Fail(kXmlMalformed, L"document too large");
            return;
        }
        if (int code = CheckDocument(document, maxDepth)) {
            Fail(code, code == kXmlTooDeep ? L"elements nested deeper than " + std::to_wstring(maxDepth)
                                           : std::wstring(L"not well-formed XML: cut or unbalanced markup"));
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

private:
    // Reads one node of XmlLite's and queues what it gives.
    void Advance() override {
        // Every node takes at least one byte of the document; a reader that
        // goes on longer repeats itself.
        if (++reads_ > document_.size() + 2)
            return Fail(kXmlMalformed, L"document ends early (the reader repeats itself)");
        XmlNodeType type = XmlNodeType_None;
        HRESULT hr = reader_->Read(&type);
        if (FAILED(hr)) return Fail(kXmlMalformed, L"not well-formed XML: " + HrText(hr));
        if (hr == S_FALSE || type == XmlNodeType_None) {
            if (!sawRoot_ || depth_ != 0)
                return Fail(kXmlMalformed, L"document ends early");
            FlushText();
            done_ = true;
            return;
        }
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
            bool empty = reader_->IsEmptyElement();
            sawRoot_ = true;
            nodes_.push_back(Node{NodeKind::Start, qname, {}});
            if (empty)
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

    std::string_view document_;
    int maxDepth_;
    size_t reads_ = 0;
    IStream* stream_ = nullptr;
    IXmlReader* reader_ = nullptr;
    int depth_ = 0;
    bool sawRoot_ = false;
    std::wstring text_;
};

}  // namespace

std::unique_ptr<Reader> OpenReader(std::string_view document, int maxDepth) {
    return std::make_unique<XmlLiteReader>(document, maxDepth);
}

}  // namespace bv::xml
