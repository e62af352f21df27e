// A pull reader of XML documents held in memory: the system's XML parser
// (XmlLite on Windows, expat natively) behind one small interface. It hands
// out start tags, end tags and text with entities and character references
// decoded; a malformed or truncated document, a document type declaration
// and nesting deeper than the limit are errors.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "util/error.h"

namespace bv::xml {

enum class NodeKind {
    Start,  // a start tag (an empty element gives Start, then End)
    End,    // an end tag
    Text,   // character data, CDATA sections and blanks between tags;
            // adjacent pieces come as one node
    Done,   // the end of a well-formed document; every later call says so too
};

struct Node {
    NodeKind kind = NodeKind::Done;
    std::wstring name;  // elements: the qualified name as written
    std::wstring text;  // Text: the decoded characters
};

// Error codes of the reader.
constexpr int kXmlMalformed = 1;  // not well-formed, truncated, or a DTD
constexpr int kXmlTooDeep = 2;    // elements nested deeper than the limit
constexpr int kXmlUnavailable = 3;  // the system's parser could not be loaded

class Reader {
public:
    virtual ~Reader() = default;
    // The next node, or an error; after an error every call fails again.
    virtual Result<Node> Next() = 0;
};

// Elements nested deeper than this are refused.
constexpr int kDefaultMaxDepth = 256;

// A reader over `document` (which must outlive it). Attributes, comments
// and processing instructions are passed over.
std::unique_ptr<Reader> OpenReader(std::string_view document, int maxDepth = kDefaultMaxDepth);

}  // namespace bv::xml
