// XML-RPC values, writer and reader.
#include "transfer/xmlrpc.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

#include "platform/os.h"
#include "platform/xml_reader.h"

namespace bv::xmlrpc {

// ---------------------------------------------------------------- values

Value Value::String(std::wstring text) {
    Value v;
    v.type_ = Type::String;
    v.text_ = std::move(text);
    return v;
}
Value Value::Boolean(bool b) {
    Value v;
    v.type_ = Type::Boolean;
    v.integer_ = b ? 1 : 0;
    return v;
}
Value Value::Int(int32_t i) {
    Value v;
    v.type_ = Type::Int;
    v.integer_ = i;
    return v;
}
Value Value::I8(int64_t i) {
    Value v;
    v.type_ = Type::I8;
    v.integer_ = i;
    return v;
}
Value Value::Double(double d) {
    Value v;
    v.type_ = Type::Double;
    v.double_ = d;
    return v;
}
Value Value::Date(DateTime dt) {
    Value v;
    v.type_ = Type::DateTime;
    v.date_ = dt;
    return v;
}
Value Value::Base64(std::string bytes) {
    Value v;
    v.type_ = Type::Base64;
    v.bytes_ = std::move(bytes);
    return v;
}
Value Value::Struct(std::vector<Member> members) {
    Value v;
    v.type_ = Type::Struct;
    v.members_ = std::move(members);
    return v;
}
Value Value::Array(std::vector<Value> items) {
    Value v;
    v.type_ = Type::Array;
    v.items_ = std::move(items);
    return v;
}
Value Value::Fault(int32_t code, std::wstring text) {
    Value v;
    v.type_ = Type::Fault;
    v.integer_ = code;
    v.text_ = std::move(text);
    return v;
}

const Value* Value::member(std::wstring_view name) const {
    if (type_ != Type::Struct) return nullptr;
    for (const Member& m : members_)
        if (m.name == name) return &m.value;
    return nullptr;
}

bool Value::operator==(const Value& o) const {
    if (type_ != o.type_) return false;
    switch (type_) {
    case Type::Nil: return true;
    case Type::String: return text_ == o.text_;
    case Type::Boolean:
    case Type::Int:
    case Type::I8: return integer_ == o.integer_;
    case Type::Double:
        return double_ == o.double_ || (std::isnan(double_) && std::isnan(o.double_));
    case Type::DateTime: return date_ == o.date_;
    case Type::Base64: return bytes_ == o.bytes_;
    case Type::Struct: return members_ == o.members_;
    case Type::Array: return items_ == o.items_;
    case Type::Fault: return integer_ == o.integer_ && text_ == o.text_;
    }
    return false;
}

namespace {

bool ValidDate(const DateTime& d) {
    return d.year >= 0 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
           d.day <= 31 && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 && d.minute <= 59 &&
           d.second >= 0 && d.second <= 59;
}

std::string DoubleText(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

std::wstring AsText(const Value& v) {
    switch (v.type()) {
    case Type::Nil: return {};
    case Type::String: return v.text();
    case Type::Boolean: return v.boolean() ? L"true" : L"false";
    case Type::Int:
    case Type::I8: return std::to_wstring(v.integer());
    case Type::Double: return Widen(DoubleText(v.real()));
    case Type::DateTime: {
        const DateTime& d = v.date();
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", d.year, d.month, d.day,
                      d.hour, d.minute, d.second);
        return Widen(buf);
    }
    case Type::Base64: return Widen(EncodeBase64(v.bytes()));
    case Type::Array: {
        std::wstring out = L"[";
        for (size_t i = 0; i < v.items().size(); ++i) {
            if (i) out += L", ";
            out += AsText(v.items()[i]);
        }
        return out + L"]";
    }
    case Type::Struct: {
        std::wstring out = L"{";
        for (size_t i = 0; i < v.members().size(); ++i) {
            if (i) out += L", ";
            out += v.members()[i].name + L": " + AsText(v.members()[i].value);
        }
        return out + L"}";
    }
    case Type::Fault: return L"fault " + std::to_wstring(v.integer()) + L": " + v.text();
    }
    return {};
}

// ---------------------------------------------------------------- base64

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                     static_cast<uint8_t>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(n >> s) & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (rest == 2) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

bool DecodeBase64(std::string_view text, std::string& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    int pad = 0;
    size_t symbols = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=') {
            ++pad;
            ++symbols;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        } else {
            return false;
        }
        if (pad) return false;  // data after padding
        ++symbols;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    // Whole quads only; 0-2 padding signs; left-over bits must be zero.
    if (symbols % 4 != 0 || pad > 2) return false;
    if (pad && bits / 2 != pad) return false;
    if ((acc & ((1u << bits) - 1)) != 0) return false;
    return true;
}

// ---------------------------------------------------------------- writer

namespace {

class Writer {
public:
    // Lenient: a character XML cannot carry becomes "?" instead of failing.
    bool lenient = false;

    // Runs of characters that need no escape go through the one UTF-8
    // encoder of the program (os::ToUtf8) as they end.
    bool Text(std::wstring_view text) {
        size_t run = 0;  // where the pending run of plain characters starts
        auto flush = [&](size_t end) {
            if (end > run) out += os::ToUtf8(text.substr(run, end - run));
        };
        for (size_t i = 0; i < text.size(); ++i) {
            size_t at = i;
            uint32_t c = static_cast<uint32_t>(text[i]);
            if constexpr (sizeof(wchar_t) == 2) {
                if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                    uint32_t low = static_cast<uint32_t>(text[i + 1]);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                        ++i;
                    }
                }
            }
            const char* escape = nullptr;
            switch (c) {
            case '&': escape = "&amp;"; break;
            case '<': escape = "&lt;"; break;
            case '>': escape = "&gt;"; break;
            case '\r': escape = "&#13;"; break;  // a raw CR would read back as LF
            default: break;
            }
            bool allowed = c == 0x9 || c == 0xA || (c >= 0x20 && c <= 0xD7FF) ||
                           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
            if (!escape && allowed) continue;
            flush(at);
            run = i + 1;
            if (escape) {
                out += escape;
            } else if (lenient) {
                out.push_back('?');
            } else {
                bad_ = c;
                return false;
            }
        }
        flush(text.size());
        return true;
    }

    bool Write(const Value& v) {
        out += "<value>";
        switch (v.type()) {
        case Type::Nil: out += "<nil/>"; break;
        case Type::String:
            out += "<string>";
            if (!Text(v.text())) return false;
            out += "</string>";
            break;
        case Type::Boolean: out += v.boolean() ? "<boolean>1</boolean>" : "<boolean>0</boolean>"; break;
        case Type::Int: out += "<int>" + std::to_string(v.integer()) + "</int>"; break;
        case Type::I8: out += "<i8>" + std::to_string(v.integer()) + "</i8>"; break;
        case Type::Double: out += "<double>" + DoubleText(v.real()) + "</double>"; break;
        case Type::DateTime: {
            const DateTime& d = v.date();
            if (!ValidDate(d)) {
                badDate_ = true;
                return false;
            }
            char buf[64];
            std::snprintf(buf, sizeof buf, "<dateTime.iso8601>%04d%02d%02dT%02d:%02d:%02d</dateTime.iso8601>",
                          d.year, d.month, d.day, d.hour, d.minute, d.second);
            out += buf;
            break;
        }
        case Type::Base64: out += "<base64>" + EncodeBase64(v.bytes()) + "</base64>"; break;
        case Type::Struct:
            out += "<struct>";
            for (const Member& m : v.members()) {
                out += "<member><name>";
                if (!Text(m.name)) return false;
                out += "</name>";
                if (!Write(m.value)) return false;
                out += "</member>";
            }
            out += "</struct>";
            break;
        case Type::Array:
            out += "<array><data>";
            for (const Value& item : v.items())
                if (!Write(item)) return false;
            out += "</data></array>";
            break;
        case Type::Fault:
            // A fault is no value of the wire; it travels as a fault answer.
            badFault_ = true;
            return false;
        }
        out += "</value>";
        return true;
    }

    Error Failure() const {
        if (badDate_) return Error{kNotXmlRpc, 0, L"a date outside the years 0000-9999 or invalid"};
        if (badFault_) return Error{kNotXmlRpc, 0, L"a fault cannot be sent as a value"};
        return Error{kNotXmlRpc, bad_,
                     L"a character XML cannot carry (U+" + Hex(bad_) + L")"};
    }

    std::string out;

private:
    static std::wstring Hex(uint32_t c) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(c));
        return Widen(buf);
    }
    uint32_t bad_ = 0;
    bool badDate_ = false;
    bool badFault_ = false;
};

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace

Result<std::string> WriteMethodCall(std::wstring_view method, const std::vector<Value>& params) {
    Writer w;
    w.out = kDecl;
    w.out += "<methodCall><methodName>";
    if (!w.Text(method)) return w.Failure();
    w.out += "</methodName><params>";
    for (const Value& p : params) {
        w.out += "<param>";
        if (!w.Write(p)) return w.Failure();
        w.out += "</param>";
    }
    w.out += "</params></methodCall>\n";
    return std::move(w.out);
}

Result<std::string> WriteMethodResponse(const Value& value) {
    if (value.is(Type::Fault))
        return WriteFault(static_cast<int32_t>(value.integer()), value.text());
    Writer w;
    w.out = kDecl;
    w.out += "<methodResponse><params><param>";
    if (!w.Write(value)) return w.Failure();
    w.out += "</param></params></methodResponse>\n";
    return std::move(w.out);
}

std::string WriteFault(int32_t code, std::wstring_view text) {
    Writer w;
    w.out = kDecl;
    w.out += "<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>" +
             std::to_string(code) + "</int></value></member><member><name>faultString</name>"
             "<value><string>";
    // The fault goes out even when its text holds a character XML cannot carry.
    w.lenient = true;
    (void)w.Text(text);
    w.out += "</string></value></member></struct></value></fault></methodResponse>\n";
    return std::move(w.out);
}

// ---------------------------------------------------------------- reader

namespace {

bool IsBlank(std::wstring_view t) {
    for (wchar_t c : t)
        if (c != L' ' && c != L'\t' && c != L'\r' && c != L'\n') return false;
    return true;
}

std::wstring_view TrimBlanks(std::wstring_view t) {
    size_t b = 0, e = t.size();
    while (b < e && (t[b] == L' ' || t[b] == L'\t' || t[b] == L'\r' || t[b] == L'\n')) ++b;
    while (e > b && (t[e - 1] == L' ' || t[e - 1] == L'\t' || t[e - 1] == L'\r' || t[e - 1] == L'\n')) --e;
    return t.substr(b, e - b);
}

// ASCII text, or false.
bool Narrow(std::wstring_view t, std::string& out) {
    out.clear();
    for (wchar_t c : t) {
        if (static_cast<uint32_t>(c) > 0x7F) return false;
        out.push_back(static_cast<char>(c));
    }
    return true;
}

bool ParseInteger(std::wstring_view text, int64_t lo, int64_t hi, int64_t& out) {
    std::string s;
    if (!Narrow(TrimBlanks(text), s) || s.empty()) return false;
    size_t i = s[0] == '+' || s[0] == '-' ? 1 : 0;
    if (i == s.size()) return false;
    for (size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    std::string digits = s[0] == '+' ? s.substr(1) : s;
    int64_t v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return false;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseDouble(std::wstring_view text, double& out) {
    std::string s;
    if (!Narrow(TrimBlanks(text), s) || s.empty()) return false;
    bool plus = s[0] == '+';
    if (plus) s.erase(0, 1);
    if (s.empty() || (plus && (s[0] == '+' || s[0] == '-'))) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// 20240402T09:05:07, 2024-04-02T09:05:07 or 20240402T090507, with an
// optional fraction of a second and zone (Z or +hh:mm), which are dropped.
bool ParseDate(std::wstring_view text, DateTime& out) {
    std::string s;
    if (!Narrow(TrimBlanks(text), s)) return false;
    size_t i = 0;
    auto digits = [&](int n, int& v) {
        if (i + n > s.size()) return false;
        v = 0;
        for (int k = 0; k < n; ++k, ++i) {
            if (s[i] < '0' || s[i] > '9') return false;
            v = v * 10 + (s[i] - '0');
        }
        return true;
    };
    auto optional = [&](char c) {
        if (i < s.size() && s[i] == c) ++i;
    };
    DateTime d;
    if (!digits(4, d.year)) return false;
    optional('-');
    if (!digits(2, d.month)) return false;
    optional('-');
    if (!digits(2, d.day)) return false;
    if (i >= s.size() || s[i] != 'T') return false;
    ++i;
    if (!digits(2, d.hour)) return false;
    optional(':');
    if (!digits(2, d.minute)) return false;
    optional(':');
    if (!digits(2, d.second)) return false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == start) return false;
    }
    if (i < s.size() && s[i] == 'Z') {
        ++i;
    } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
        int hh, mm;
        if (!digits(2, hh)) return false;
        optional(':');
        if (!digits(2, mm) || hh > 23 || mm > 59) return false;
    }
    if (i != s.size() || !ValidDate(d)) return false;
    out = d;
    return true;
}

class Parser {
public:
    // Each value and member costs far more memory than the bytes that
    // write it (an empty "<value/>" is 8 bytes), so a document may hold at
    // most one of them per kBytesPerValue bytes of itself: memory stays in
    // proportion to the document, whatever it holds.
    static constexpr size_t kBytesPerValue = 16;

    explicit Parser(std::string_view body)
        : reader_(xml::OpenReader(body, kMaxValueDepth * 3 + 8)), budget_(body.size() / kBytesPerValue + 16) {}

    bool Spend() {
        if (budget_ == 0) return Fail(L"more values than a document of this size may hold");
        --budget_;
        return true;
    }

    // The next node; blank text between elements is passed over.
    bool Tag(xml::Node& node) {
        for (;;) {
            if (!Raw(node)) return false;
            if (node.kind != xml::NodeKind::Text || !IsBlank(node.text)) return true;
        }
    }
    bool Raw(xml::Node& node) {
        Result<xml::Node> r = reader_->Next();
        if (!r) {
            error_ = r.error();
            error_.code = kNotXmlRpc;
            return false;
        }
        node = std::move(r.value());
        return true;
    }

    bool Fail(std::wstring detail) {
        if (error_.detail.empty()) error_ = Error{kNotXmlRpc, 0, std::move(detail)};
        return false;
    }
    bool Start(const wchar_t* name) {
        xml::Node n;
        if (!Tag(n)) return false;
        if (n.kind != xml::NodeKind::Start || n.name != name)
            return Fail(std::wstring(L"expected <") + name + L">");
        return true;
    }
    bool End(const std::wstring& name) {
        xml::Node n;
        if (!Tag(n)) return false;
        if (n.kind != xml::NodeKind::End || n.name != name)
            return Fail(L"expected </" + name + L">");
        return true;
    }
    bool Done() {
        xml::Node n;
        if (!Tag(n)) return false;
        return n.kind == xml::NodeKind::Done || Fail(L"content after the document");
    }

    // The text up to the end tag of `name` (empty for an empty element).
    bool TextOf(const std::wstring& name, std::wstring& text) {
        xml::Node n;
        if (!Raw(n)) return false;
        text.clear();
        if (n.kind == xml::NodeKind::Text) {
            text = std::move(n.text);
            if (!Raw(n)) return false;
        }
        if (n.kind != xml::NodeKind::End || n.name != name)
            return Fail(L"expected text and </" + name + L">");
        return true;
    }

    // After <value>: the value up to and including </value>.
    bool ValueBody(int depth, Value& out) {
        if (depth > kMaxValueDepth) return Fail(L"values nested too deeply");
        if (!Spend()) return false;
        xml::Node n;
        if (!Raw(n)) return false;
        std::wstring leading;
        if (n.kind == xml::NodeKind::Text) {
            leading = std::move(n.text);
            if (!Raw(n)) return false;
        }
        if (n.kind == xml::NodeKind::End && n.name == L"value") {
            out = Value::String(std::move(leading));  // untyped text is a string
            return true;
        }
        if (n.kind != xml::NodeKind::Start || !IsBlank(leading))
            return Fail(L"a <value> holding neither text nor one typed element");
        std::wstring type = std::move(n.name);
        if (!Typed(type, depth, out)) return false;
        return End(L"value");
    }

    // After <type>: its content up to and including </type>.
    bool Typed(const std::wstring& type, int depth, Value& out) {
        if (type == L"struct") return StructBody(depth, out);
        if (type == L"array") return ArrayBody(depth, out);
        std::wstring text;
        if (!TextOf(type, text)) return false;
        int64_t i = 0;
        if (type == L"string") {
            out = Value::String(std::move(text));
        } else if (type == L"int" || type == L"i4") {
            if (!ParseInteger(text, INT32_MIN, INT32_MAX, i)) return Fail(L"not a 32-bit integer");
            out = Value::Int(static_cast<int32_t>(i));
        } else if (type == L"i8") {
            if (!ParseInteger(text, INT64_MIN, INT64_MAX, i)) return Fail(L"not a 64-bit integer");
            out = Value::I8(i);
        } else if (type == L"boolean") {
            if (!ParseInteger(text, 0, 1, i)) return Fail(L"a boolean other than 0 or 1");
            out = Value::Boolean(i != 0);
        } else if (type == L"double") {
            double d = 0;
            if (!ParseDouble(text, d)) return Fail(L"not a double");
            out = Value::Double(d);
        } else if (type == L"dateTime.iso8601") {
            DateTime d;
            if (!ParseDate(text, d)) return Fail(L"not a date and time");
            out = Value::Date(d);
        } else if (type == L"base64") {
            std::string ascii, bytes;
            if (!Narrow(text, ascii) || !DecodeBase64(ascii, bytes)) return Fail(L"not base64");
            out = Value::Base64(std::move(bytes));
        } else if (type == L"nil") {
            if (!IsBlank(text)) return Fail(L"<nil> with content");
            out = Value();
        } else {
            return Fail(L"unknown type <" + type + L">");
        }
        return true;
    }

    bool StructBody(int depth, Value& out) {
        std::vector<Member> members;
        for (;;) {
            xml::Node n;
            if (!Tag(n)) return false;
            if (n.kind == xml::NodeKind::End && n.name == L"struct") break;
            if (n.kind != xml::NodeKind::Start || n.name != L"member") return Fail(L"expected <member>");
            if (!Spend()) return false;
            Member m;
            if (!Start(L"name") || !TextOf(L"name", m.name)) return false;
            if (!Start(L"value") || !ValueBody(depth + 1, m.value)) return false;
            if (!End(L"member")) return false;
            members.push_back(std::move(m));
        }
        out = Value::Struct(std::move(members));
        return true;
    }

    bool ArrayBody(int depth, Value& out) {
        std::vector<Value> items;
        if (!Start(L"data")) return false;
        for (;;) {
            xml::Node n;
            if (!Tag(n)) return false;
            if (n.kind == xml::NodeKind::End && n.name == L"data") break;
            if (n.kind != xml::NodeKind::Start || n.name != L"value") return Fail(L"expected <value>");
            Value item;
            if (!ValueBody(depth + 1, item)) return false;
            items.push_back(std::move(item));
        }
        if (!End(L"array")) return false;
        out = Value::Array(std::move(items));
        return true;
    }

    const Error& error() const { return error_; }

private:
    std::unique_ptr<xml::Reader> reader_;
    size_t budget_;
    Error error_;
};

}  // namespace

Result<Value> ReadMethodResponse(std::string_view body) {
    Parser p(body);
    if (!p.Start(L"methodResponse")) return p.error();
    xml::Node n;
    if (!p.Tag(n)) return p.error();
    if (n.kind == xml::NodeKind::Start && n.name == L"fault") {
        Value fault;
        if (!p.Start(L"value") || !p.ValueBody(1, fault) || !p.End(L"fault") ||
            !p.End(L"methodResponse") || !p.Done())
            return p.error();
        const Value* code = fault.member(L"faultCode");
        const Value* text = fault.member(L"faultString");
        int64_t c = code && code->isInteger() ? code->integer() : 0;
        std::wstring t = text ? AsText(*text) : AsText(fault);
        return Error{kFaultAnswer, static_cast<uint32_t>(static_cast<int32_t>(c)), std::move(t)};
    }
    if (n.kind != xml::NodeKind::Start || n.name != L"params") {
        p.Fail(L"expected <params> or <fault>");
        return p.error();
    }
    Value value;
    if (!p.Tag(n)) return p.error();
    if (n.kind == xml::NodeKind::Start && n.name == L"param") {
        if (!p.Start(L"value") || !p.ValueBody(1, value) || !p.End(L"param") || !p.End(L"params"))
            return p.error();
    } else if (!(n.kind == xml::NodeKind::End && n.name == L"params")) {
        p.Fail(L"expected <param>");
        return p.error();
    }
    if (!p.End(L"methodResponse") || !p.Done()) return p.error();
    return value;
}

Result<MethodCall> ReadMethodCall(std::string_view body) {
    Parser p(body);
    MethodCall call;
    if (!p.Start(L"methodCall") || !p.Start(L"methodName") || !p.TextOf(L"methodName", call.method))
        return p.error();
    xml::Node n;
    if (!p.Tag(n)) return p.error();
    if (n.kind == xml::NodeKind::Start && n.name == L"params") {
        for (;;) {
            if (!p.Tag(n)) return p.error();
            if (n.kind == xml::NodeKind::End && n.name == L"params") break;
            if (n.kind != xml::NodeKind::Start || n.name != L"param") {
                p.Fail(L"expected <param>");
                return p.error();
            }
            Value v;
            if (!p.Start(L"value") || !p.ValueBody(1, v) || !p.End(L"param")) return p.error();
            call.params.push_back(std::move(v));
        }
        if (!p.Tag(n)) return p.error();
    }
    if (n.kind != xml::NodeKind::End || n.name != L"methodCall") {
        p.Fail(L"expected </methodCall>");
        return p.error();
    }
    if (!p.Done()) return p.error();
    return call;
}

Value AnswerValue(std::string_view body) {
    Result<Value> r = ReadMethodResponse(body);
    if (r) return std::move(r.value());
    if (r.error().code == kFaultAnswer)
        return Value::Fault(static_cast<int32_t>(r.error().native), r.error().detail);
    return Value::Fault(0, L"not an XML-RPC answer: " + r.error().detail);
}

}  // namespace bv::xmlrpc
