// XML-RPC: the typed values of remote calls to the sync server, the writer of
// calls and answers (only escaping), and their reader over the platform's XML
// reader. A fault or a body that is not XML-RPC is an error of the reader;
// AnswerValue turns it into a Fault value, which no result handler takes for
// what it expects.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace bv::xmlrpc {

enum class Type {
    Nil,       // <nil/>
    String,    // <string>, or a <value> with text only
    Boolean,   // <boolean> 0 or 1
    Int,       // <int> or <i4>: 32-bit
    I8,        // <i8>: 64-bit
    Double,    // <double>
    DateTime,  // <dateTime.iso8601>, no time zone
    Base64,    // <base64>: bytes
    Struct,    // named members, in the order they came
    Array,     // elements
    Fault,     // not a value of the wire: a fault answer or an unreadable body
};

struct DateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    bool operator==(const DateTime&) const = default;
};

struct Member;

class Value {
public:
    Value() = default;  // nil
    static Value String(std::wstring text);
    static Value Boolean(bool b);
    static Value Int(int32_t i);
    static Value I8(int64_t i);
    static Value Double(double d);
    static Value Date(DateTime dt);
    static Value Base64(std::string bytes);
    static Value Struct(std::vector<Member> members);
    static Value Array(std::vector<Value> items);
    static Value Fault(int32_t code, std::wstring text);

    Type type() const { return type_; }
    bool is(Type t) const { return type_ == t; }
    bool isInteger() const { return type_ == Type::Int || type_ == Type::I8; }

    // String and Fault: the text.
    const std::wstring& text() const { return text_; }
    bool boolean() const { return integer_ != 0; }
    // Int, I8, Boolean; a Fault's code.
    int64_t integer() const { return integer_; }
    double real() const { return double_; }
    const DateTime& date() const { return date_; }
    const std::string& bytes() const { return bytes_; }
    const std::vector<Value>& items() const { return items_; }
    const std::vector<Member>& members() const { return members_; }
    // The first member of that name, or null (also for a value that is no struct).
    const Value* member(std::wstring_view name) const;

    bool operator==(const Value& other) const;

private:
    Type type_ = Type::Nil;
    std::wstring text_;
    int64_t integer_ = 0;
    double double_ = 0;
    DateTime date_;
    std::string bytes_;
    std::vector<Value> items_;
    std::vector<Member> members_;
};

struct Member {
    std::wstring name;
    Value value;
    bool operator==(const Member&) const = default;
};

// A value as one line of text, for the log and the mailbox: a string as it
// is; integers in decimal; a boolean "true" or "false"; a double in its
// shortest exact decimal form; a date "2024-04-02T09:05:07"; bytes as their
// base64; nil empty; an array "[a, b]"; a struct "{name: value, name: value}";
// a fault "fault <code>: <text>".
std::wstring AsText(const Value& value);

// Error codes of the reader (Error::code); a fault's code is in Error::native.
constexpr int kNotXmlRpc = 1;  // not XML, or XML that is not XML-RPC
constexpr int kFaultAnswer = 2;  // a <fault> answer: detail is faultString

// Values nested deeper than this (arrays and structs) are refused.
constexpr int kMaxValueDepth = 64;

// The methodCall document. Fails only for text that XML cannot carry
// (control characters other than tab, line feed and carriage return,
// unpaired surrogates, U+FFFE and U+FFFF).
Result<std::string> WriteMethodCall(std::wstring_view method, const std::vector<Value>& params);
// A methodResponse carrying one value, or a fault.
Result<std::string> WriteMethodResponse(const Value& value);
std::string WriteFault(int32_t code, std::wstring_view text);

struct MethodCall {
    std::wstring method;
    std::vector<Value> params;
};

// Reads a methodResponse: its one value (nil when it has no parameter), a
// kFaultAnswer error for a fault, a kNotXmlRpc error for anything else.
Result<Value> ReadMethodResponse(std::string_view body);
Result<MethodCall> ReadMethodCall(std::string_view body);

// What a result handler receives for an answer: the value, or a Fault value
// with the fault's code and text (code 0 and the reason for a body that is
// not XML-RPC).
Value AnswerValue(std::string_view body);

// Base64 without line breaks, and its reader (blanks and line breaks
// ignored; false for anything else that is not base64).
std::string EncodeBase64(std::string_view bytes);
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace bv::xmlrpc
