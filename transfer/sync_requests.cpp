// Requests to the sync server.
#include "transfer/sync_requests.h"

#include "platform/os.h"
#include "transfer/xmlrpc.h"

namespace bv {

std::wstring EscapeQueryValue(std::wstring_view value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::wstring out;
    for (char ch : os::ToUtf8(value)) {
        unsigned char b = static_cast<unsigned char>(ch);
        bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
        for (char k : std::string_view("$()*,-./:@_"))
            if (b == static_cast<unsigned char>(k)) keep = true;
        if (keep) {
            out.push_back(static_cast<wchar_t>(b));
        } else if (b == ' ') {
            out.push_back(L'+');
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(kHex[b >> 4]));
            out.push_back(static_cast<wchar_t>(kHex[b & 15]));
        }
    }
    return out;
}

std::wstring FileNamePart(std::wstring_view path) {
    size_t cut = path.find_last_of(L"\\:");
    return std::wstring(cut == std::wstring_view::npos ? path : path.substr(cut + 1));
}

UploadQuery BuildUploadQuery(std::wstring_view clientId, std::wstring_view herdCode,
                             std::wstring_view fileName) {
    UploadQuery q;
    q.escapedName = EscapeQueryValue(FileNamePart(fileName));
    q.entries = {{L"file", q.escapedName}};
    for (auto& entry : HerdClientQuery(clientId, herdCode)) q.entries.push_back(std::move(entry));
    return q;
}

QueryEntries HerdClientQuery(std::wstring_view clientId, std::wstring_view herdCode) {
    return {{L"herdcode", EscapeQueryValue(herdCode)}, {L"clientid", EscapeQueryValue(clientId)}};
}

namespace {
xmlrpc::Value S(std::wstring_view text) { return xmlrpc::Value::String(std::wstring(text)); }
}  // namespace

Result<std::string> HelloCall(std::wstring_view name) {
    return xmlrpc::WriteMethodCall(L"Hello", {S(name)});
}

Result<std::string> GetFilesCall(std::wstring_view herdCode, std::wstring_view clientId) {
    return xmlrpc::WriteMethodCall(L"GetFiles", {S(herdCode), S(clientId)});
}

Result<std::string> FileToServerCall(std::wstring_view herdCode, std::wstring_view clientId,
                                     std::wstring_view fileName, std::string_view data) {
    return xmlrpc::WriteMethodCall(
        L"FileToServer",
        {S(herdCode), S(clientId), S(fileName), xmlrpc::Value::Base64(std::string(data))});
}

Result<std::string> FileFromServerCall(std::wstring_view herdCode, std::wstring_view clientId,
                                       std::wstring_view fileName) {
    return xmlrpc::WriteMethodCall(L"FileFromServer", {S(herdCode), S(clientId), S(fileName)});
}

}  // namespace bv
