// The handlers of the sync server's remote-call results. Each receives the
// call's value (a Fault value for a fault answer or a body that is not
// XML-RPC), writes the log and posts its lines to the mailbox; they run on
// the user-interface thread.
#pragma once
#include <string>
#include <string_view>

#include "platform/os.h"
#include "transfer/xmlrpc.h"

namespace bv {

// Any value: logs "Server returned : " + the value as text, posts that text.
void helloResult(const xmlrpc::Value& value);
// An array of structs {filename, filedate}: logs the count, then posts and
// logs one "%-32s %s" line per struct (other elements are passed over); any
// other value posts "Error geting filelist from server".
void GetFilesResult(const xmlrpc::Value& value);
// A struct {success, filesize}: posts and logs "File received at server N
// bytes", or posts "File NOT received OK at server" and logs "File NOT
// received OK at server.  <the struct as text> bytes" (AsText, e.g.
// "{success: false, filesize: 0}"); any other value posts nothing. The ready
// flag is raised in every case.
void FileToServerResult(const xmlrpc::Value& value);
// Does nothing: the fetched file arrives through the download.
void FileFromServerResult(const xmlrpc::Value& value);

// A file date as "mm/dd/yy hh:mm:ss" with the given separators.
std::wstring FormatFileDate(const xmlrpc::DateTime& date, const os::DateTimeSeparators& seps);
// One line of the file list: the name left-aligned in 32 characters (a
// longer name is not cut), a blank, the date.
std::wstring FileListLine(std::wstring_view name, std::wstring_view date);

}  // namespace bv
