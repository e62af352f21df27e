// XML-RPC: round trips of every type, what the reader accepts from other
// writers, faults, and bodies that are not XML-RPC.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "transfer/xmlrpc.h"

namespace bv::xmlrpc {

// Failures show values as text (non-ASCII as \u escapes).
void PrintTo(const Value& v, std::ostream* os) {
    *os << "type " << static_cast<int>(v.type()) << " ";
    for (wchar_t c : AsText(v)) {
        if (c >= 32 && c < 127) {
            *os << static_cast<char>(c);
        } else {
            *os << "\\u" << std::hex << static_cast<uint32_t>(c) << std::dec;
        }
    }
}

namespace {

Value Str(const std::wstring& s) { return Value::String(s); }

std::string Response(const std::string& value) {
    return "<?xml version=\"1.0\"?><methodResponse><params><param>" + value +
           "</param></params></methodResponse>";
}

// Every type, nested, with text that needs escaping.
std::vector<Value> Samples() {
    std::string allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
    Value file = Value::Struct({{L"filename", Str(L"Herd 12 (A&B).txt")},
                                {L"filedate", Value::Date({2024, 4, 2, 9, 5, 7})}});
    return {
        Value(),
        Str(L""),
        Str(L"plain"),
        Str(L"<a & b> \"q\" 'x' ]]> \t\n end"),
        Str(L"K\u00E4se \u725B \U0001F404"),
        Str(L"  blanks kept  "),
        Value::Boolean(true),
        Value::Boolean(false),
        Value::Int(0),
        Value::Int(INT32_MAX),
        Value::Int(INT32_MIN),
        Value::I8(2147483648LL),
        Value::I8(5000000000LL),
        Value::I8(-2147483649LL),
        Value::I8(INT64_MAX),
        Value::I8(INT64_MIN),
        Value::Double(0.1),
        Value::Double(-2.5e300),
        Value::Double(1e-300),
        Value::Date({2024, 12, 31, 23, 59, 59}),
        Value::Date({1, 1, 1, 0, 0, 0}),
        Value::Base64(""),
        Value::Base64("a"),
        Value::Base64("ab"),
        Value::Base64(allBytes),
        Value::Array({}),
        Value::Struct({}),
        file,
        Value::Array({file, Str(L"x"), Value::Array({Value::Array({Value::I8(-1)})}),
                      Value::Struct({{L"a&b", Value::Struct({{L"", Value()}})},
                                     {L"a&b", Value::Int(2)}})}),
    };
}

TEST(XmlRpcTest, EveryTypeRoundTripsThroughAnAnswer) {
    for (const Value& v : Samples()) {
        Result<std::string> doc = WriteMethodResponse(v);
        ASSERT_TRUE(doc.ok()) << std::string(AsText(v).begin(), AsText(v).end());
        Result<Value> back = ReadMethodResponse(doc.value());
        ASSERT_TRUE(back.ok()) << doc.value();
        EXPECT_EQ(back.value(), v) << doc.value();
    }
}

TEST(XmlRpcTest, EveryTypeRoundTripsThroughACall) {
    std::vector<Value> params = Samples();
    Result<std::string> doc = WriteMethodCall(L"Do.It", params);
    ASSERT_TRUE(doc.ok());
    Result<MethodCall> call = ReadMethodCall(doc.value());
    ASSERT_TRUE(call.ok()) << std::string(call.error().detail.begin(), call.error().detail.end());
    EXPECT_EQ(call.value().method, L"Do.It");
    EXPECT_EQ(call.value().params, params);
}

TEST(XmlRpcTest, TheCallOnTheWire) {
    Result<std::string> doc =
        WriteMethodCall(L"Hello", {Str(L"A&B <C>"), Value::I8(4294967296LL), Value::Boolean(true),
                                   Value::Date({2024, 4, 2, 9, 5, 7}), Value::Base64("hi!")});
    ASSERT_TRUE(doc.ok());
    EXPECT_EQ(doc.value(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<methodCall><methodName>Hello</methodName><params>"
              "<param><value><string>A&amp;B &lt;C&gt;</string></value></param>"
              "<param><value><i8>4294967296</i8></value></param>"
              "<param><value><boolean>1</boolean></value></param>"
              "<param><value><dateTime.iso8601>20240402T09:05:07</dateTime.iso8601></value></param>"
              "<param><value><base64>aGkh</base64></value></param>"
              "</params></methodCall>\n");
}

TEST(XmlRpcTest, TextXmlCannotCarryIsRefusedByTheWriter) {
    for (std::wstring bad : {std::wstring(L"a\x01z"), std::wstring(L"\xFFFE"), std::wstring(1, L'\0')}) {
        Result<std::string> doc = WriteMethodCall(L"Hello", {Str(bad)});
        EXPECT_FALSE(doc.ok());
        EXPECT_EQ(doc.error().code, kNotXmlRpc);
    }
    EXPECT_FALSE(WriteMethodResponse(Value::Date({2024, 13, 1, 0, 0, 0})).ok());
    EXPECT_FALSE(WriteMethodResponse(Value::Array({Value::Fault(1, L"x")})).ok());
}

// Answers as other servers write them.
TEST(XmlRpcTest, ReadsWhatOtherWritersSend) {
    struct Case {
        const char* value;
        Value expected;
    } cases[] = {
        {"<value>untyped text</value>", Str(L"untyped text")},
        {"<value></value>", Str(L"")},
        {"<value/>", Str(L"")},
        {"<value><string/></value>", Str(L"")},
        {"<value> <string> x </string> </value>", Str(L" x ")},
        {"<value>&amp;&lt;&#x41;&#66;</value>", Str(L"&<AB")},
        {"<value><string>&amp;&lt;&#x41;</string></value>", Str(L"&<A")},
        {"<value><![CDATA[<raw>]]></value>", Str(L"<raw>")},
        {"<value>\n  <i4> -42 </i4>\n</value>", Value::Int(-42)},
        {"<value><int>+7</int></value>", Value::Int(7)},
        {"<value><i8>-9223372036854775808</i8></value>", Value::I8(INT64_MIN)},
        {"<value><boolean>0</boolean></value>", Value::Boolean(false)},
        {"<value><double>1e+100</double></value>", Value::Double(1e100)},
        {"<value><double>-0.5</double></value>", Value::Double(-0.5)},
        {"<value><dateTime.iso8601>20240402T09:05:07</dateTime.iso8601></value>",
         Value::Date({2024, 4, 2, 9, 5, 7})},
        {"<value><dateTime.iso8601>2024-04-02T09:05:07Z</dateTime.iso8601></value>",
         Value::Date({2024, 4, 2, 9, 5, 7})},
        {"<value><dateTime.iso8601>20240402T090507.250+02:00</dateTime.iso8601></value>",
         Value::Date({2024, 4, 2, 9, 5, 7})},
        {"<value><base64>\naGVs\nbG8=\n</base64></value>", Value::Base64("hello")},
        {"<value><nil/></value>", Value()},
        {"<value><array><data/></array></value>", Value::Array({})},
        {"<value><struct>\n<member>\n<name>n</name>\n<value>1</value>\n</member>\n</struct></value>",
         Value::Struct({{L"n", Str(L"1")}})},
    };
    for (const Case& c : cases) {
        Result<Value> v = ReadMethodResponse(Response(c.value));
        ASSERT_TRUE(v.ok()) << c.value;
        EXPECT_EQ(v.value(), c.expected) << c.value;
    }
    // An answer without a parameter is nil.
    Result<Value> empty = ReadMethodResponse("<methodResponse><params/></methodResponse>");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().is(Type::Nil));
}

TEST(XmlRpcTest, ValuesThatAreNotXmlRpcAreRefused) {
    const char* cases[] = {
        "<value><int>2147483648</int></value>",
        "<value><int>-2147483649</int></value>",
        "<value><i8>9223372036854775808</i8></value>",
        "<value><int>12a</int></value>",
        "<value><int></int></value>",
        "<value><int>1<b/></int></value>",
        "<value><boolean>2</boolean></value>",
        "<value><boolean>true</boolean></value>",
        "<value><double>1.5x</double></value>",
        "<value><double>+-1</double></value>",
        "<value><dateTime.iso8601>20241302T09:05:07</dateTime.iso8601></value>",
        "<value><dateTime.iso8601>20240402 09:05:07</dateTime.iso8601></value>",
        "<value><dateTime.iso8601>20240402T09:05</dateTime.iso8601></value>",
        "<value><base64>a</base64></value>",
        "<value><base64>a*==</base64></value>",
        "<value><base64>aGk=aGk=</base64></value>",
        "<value><nil>x</nil></value>",
        "<value><float>1</float></value>",
        "<value>text<int>1</int></value>",
        "<value><int>1</int><int>2</int></value>",
        "<value><int>1</int>text</value>",
        "<value><struct><member><value>1</value><name>n</name></member></struct></value>",
        "<value><struct><member><name>n</name></member></struct></value>",
        "<value><struct>x</struct></value>",
        "<value><array><value>1</value></array></value>",
        "<value><array><data><int>1</int></data></array></value>",
        "<int>1</int>",
    };
    for (const char* c : cases) {
        Result<Value> v = ReadMethodResponse(Response(c));
        ASSERT_FALSE(v.ok()) << c;
        EXPECT_EQ(v.error().code, kNotXmlRpc) << c;
    }
}

TEST(XmlRpcTest, BodiesThatAreNotAnAnswerAreRefused) {
    const char* cases[] = {
        "",
        "Internal Server Error",
        "<html><body>404 Not Found</body></html>",
        "<methodResponse/>",
        "<methodResponse><params><param><value>1</value></param><param><value>2</value></param>"
        "</params></methodResponse>",
        "<methodResponse><params><param><value>1</value></param></params></methodResponse><x/>",
        "<methodResponse><params><param><value>1</value></param></params><params/></methodResponse>",
        "<methodCall><methodName>x</methodName></methodCall>",
        "<!DOCTYPE methodResponse [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>"
        "<methodResponse><params><param><value>&b;</value></param></params></methodResponse>",
    };
    for (const char* c : cases) {
        Result<Value> v = ReadMethodResponse(c);
        ASSERT_FALSE(v.ok()) << c;
        EXPECT_EQ(v.error().code, kNotXmlRpc) << c;
        EXPECT_TRUE(AnswerValue(c).is(Type::Fault));
        EXPECT_EQ(AnswerValue(c).integer(), 0);
    }
}

TEST(XmlRpcTest, EveryTruncationOfAnAnswerFailsCleanly) {
    Value v = Samples().back();
    std::string doc = WriteMethodResponse(v).value();
    for (size_t n = 0; n < doc.size(); ++n) {
        Result<Value> r = ReadMethodResponse(std::string_view(doc).substr(0, n));
        // Only the final line break may go.
        if (n + 1 == doc.size()) {
            EXPECT_TRUE(r.ok());
        } else {
            EXPECT_FALSE(r.ok()) << n;
        }
    }
}

TEST(XmlRpcTest, NestingIsBounded) {
    auto nested = [](int depth) {
        std::string doc;
        for (int i = 0; i < depth; ++i) doc += "<value><array><data>";
        doc += "<value>x</value>";
        for (int i = 0; i < depth; ++i) doc += "</data></array></value>";
        return Response(doc);
    };
    EXPECT_TRUE(ReadMethodResponse(nested(kMaxValueDepth - 1)).ok());
    EXPECT_FALSE(ReadMethodResponse(nested(kMaxValueDepth + 1)).ok());
    EXPECT_FALSE(ReadMethodResponse(nested(5000)).ok());
}

// Values and members are bounded in proportion to the document: a long run
// of empty values (8 bytes each, far more in memory) is refused, while the
// densest ordinary answers and a long file list still read.
TEST(XmlRpcTest, ValuesAreBoundedByTheDocumentsSize) {
    auto array = [](const std::string& item, int n) {
        std::string doc = "<value><array><data>";
        for (int i = 0; i < n; ++i) doc += item;
        return Response(doc + "</data></array></value>");
    };
    struct Case {
        const char* item;
        bool reads;
    };
    for (const Case& c : {Case{"<value/>", false}, Case{"<value></value>", false},
                          Case{"<value><i4>1</i4></value>", true}, Case{"<value>x</value>", true},
                          Case{"<value><struct><member><name/><value/></member></struct></value>", true}}) {
        SCOPED_TRACE(c.item);
        Result<Value> r = ReadMethodResponse(array(c.item, 100000));
        EXPECT_EQ(r.ok(), c.reads);
        if (!r.ok()) {
            EXPECT_EQ(r.error().code, kNotXmlRpc);
        }
    }
    std::vector<Value> files;
    for (int i = 0; i < 20000; ++i)
        files.push_back(Value::Struct({{L"filename", Value::String(L"f" + std::to_wstring(i))},
                                       {L"filedate", Value::Date({2024, 1, 2, 3, 4, 5})}}));
    Result<Value> list = ReadMethodResponse(WriteMethodResponse(Value::Array(files)).value());
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list.value().items().size(), 20000u);
}

TEST(XmlRpcTest, FaultAnswers) {
    std::string doc = WriteFault(4, L"Too many <params> & \x01 more");
    Result<Value> r = ReadMethodResponse(doc);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, kFaultAnswer);
    EXPECT_EQ(static_cast<int32_t>(r.error().native), 4);
    EXPECT_EQ(r.error().detail, L"Too many <params> & ? more");
    Value f = AnswerValue(doc);
    EXPECT_TRUE(f.is(Type::Fault));
    EXPECT_EQ(f.integer(), 4);
    EXPECT_EQ(AsText(f), L"fault 4: Too many <params> & ? more");

    // As Python's xmlrpc.server writes one, with a negative code.
    const char* python =
        "<?xml version='1.0'?>\n<methodResponse>\n<fault>\n<value><struct>\n"
        "<member>\n<name>faultCode</name>\n<value><int>-32601</int></value>\n</member>\n"
        "<member>\n<name>faultString</name>\n<value><string>method \"X\" is not supported</string>"
        "</value>\n</member>\n</struct></value>\n</fault>\n</methodResponse>\n";
    Value p = AnswerValue(python);
    EXPECT_EQ(p.integer(), -32601);
    EXPECT_EQ(p.text(), L"method \"X\" is not supported");
    // A fault that is no struct still is a fault.
    Value odd = AnswerValue("<methodResponse><fault><value>odd</value></fault></methodResponse>");
    EXPECT_TRUE(odd.is(Type::Fault));
    EXPECT_EQ(odd.text(), L"odd");
}

TEST(XmlRpcTest, ValuesAsText) {
    EXPECT_EQ(AsText(Str(L"Hello, Anna")), L"Hello, Anna");
    EXPECT_EQ(AsText(Value::I8(5000000000LL)), L"5000000000");
    EXPECT_EQ(AsText(Value::Boolean(false)), L"false");
    EXPECT_EQ(AsText(Value::Double(0.1)), L"0.1");
    EXPECT_EQ(AsText(Value::Date({2024, 4, 2, 9, 5, 7})), L"2024-04-02T09:05:07");
    EXPECT_EQ(AsText(Value::Base64("hi!")), L"aGkh");
    EXPECT_EQ(AsText(Value()), L"");
    EXPECT_EQ(AsText(Value::Struct({{L"success", Value::Boolean(false)},
                                    {L"filesize", Value::Array({Value::Int(1), Str(L"a")})}})),
              L"{success: false, filesize: [1, a]}");
}

TEST(XmlRpcTest, Base64) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("f"), "Zg==");
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
    EXPECT_EQ(EncodeBase64("\xFB\xFF"), "+/8=");
    std::string out;
    EXPECT_TRUE(DecodeBase64(" Zm9v\r\nYg== ", out));
    EXPECT_EQ(out, "foob");
    for (const char* bad : {"Zg", "Zg=", "Zh==", "Z===", "Zm9v=", "Zg==Zg==", "Zm9-"})
        EXPECT_FALSE(DecodeBase64(bad, out)) << bad;
}

}  // namespace
}  // namespace bv::xmlrpc
