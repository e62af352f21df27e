// What the transfer client sends to the sync server, built without a
// connection: the escaping of query values, the upload's and the fetch's
// query strings, and the bodies of the four remote calls on "/BVSYNC".
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/error.h"

namespace bv {

// The module of the remote functions, and the upload's path.
inline constexpr wchar_t kSyncModulePath[] = L"/BVSYNC";
inline constexpr wchar_t kUploadPath[] = L"/UPLOAD";

// A query value: the text's UTF-8 bytes, with A-Z a-z 0-9 and $ ( ) * , - .
// / : @ _ kept, a blank turned into "+" and every other byte into "%XX"
// (upper-case hex). "Herd 12 (A&B).txt" gives "Herd+12+(A%26B).txt".
std::wstring EscapeQueryValue(std::wstring_view value);

// The file name part of a path: what follows the last "\" or ":".
std::wstring FileNamePart(std::wstring_view path);

// Query entries as they are sent: name "=" value, joined by "&".
using QueryEntries = std::vector<std::pair<std::wstring, std::wstring>>;

// The upload's query for UploadFile(ClientID, HerdCode, FileName): the
// entries "file", "herdcode" and "clientid", every value escaped, so a herd
// code holding "&clientid=99" stays one value.
struct UploadQuery {
    std::wstring escapedName;  // the "file" value, as the log line shows it
    QueryEntries entries;
};
UploadQuery BuildUploadQuery(std::wstring_view clientId, std::wstring_view herdCode,
                             std::wstring_view fileName);

// The fetch's query for FileFromServer(ClientID, HerdCode, FileName): the
// entries "herdcode" and "clientid", escaped the same way.
QueryEntries HerdClientQuery(std::wstring_view clientId, std::wstring_view herdCode);

// The methodCall bodies, parameters in the remote functions' order:
//   Hello(name) -> string
//   GetFiles(herdcode, clientid) -> array of {filename, filedate}
//   FileToServer(herdcode, clientid, filename, data: base64) -> {success, filesize: i8}
//   FileFromServer(herdcode, clientid, filename) -> base64
// They fail only for text that XML cannot carry.
Result<std::string> HelloCall(std::wstring_view name);
Result<std::string> GetFilesCall(std::wstring_view herdCode, std::wstring_view clientId);
Result<std::string> FileToServerCall(std::wstring_view herdCode, std::wstring_view clientId,
                                     std::wstring_view fileName, std::string_view data);
Result<std::string> FileFromServerCall(std::wstring_view herdCode, std::wstring_view clientId,
                                       std::wstring_view fileName);

}  // namespace bv
