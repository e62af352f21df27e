// libFuzzer target: reads the input as an XML-RPC answer and as a call.
// Whatever reads must write back and read again to the same value, and a
// fault must come back as the same fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transfer/xmlrpc.h"

using namespace bv::xmlrpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);

    bv::Result<Value> answer = ReadMethodResponse(body);
    if (answer) {
        bv::Result<std::string> doc = WriteMethodResponse(answer.value());
        if (!doc) std::abort();
        bv::Result<Value> again = ReadMethodResponse(doc.value());
        if (!again || !(again.value() == answer.value())) std::abort();
    } else if (answer.error().code == kFaultAnswer) {
        int32_t code = static_cast<int32_t>(answer.error().native);
        bv::Result<Value> again = ReadMethodResponse(WriteFault(code, answer.error().detail));
        if (again || again.error().code != kFaultAnswer || again.error().native != answer.error().native)
            std::abort();
    } else if (answer.error().code != kNotXmlRpc) {
        std::abort();
    }
    // What a result handler would receive never fails to exist.
    (void)AsText(AnswerValue(body));

    bv::Result<MethodCall> call = ReadMethodCall(body);
    if (call) {
        bv::Result<std::string> doc = WriteMethodCall(call.value().method, call.value().params);
        if (!doc) std::abort();
        bv::Result<MethodCall> again = ReadMethodCall(doc.value());
        if (!again || again.value().method != call.value().method ||
            !(again.value().params == call.value().params))
            std::abort();
    }
    return 0;
}
