// Remote-call results: the log lines and the mailbox posts.
#include "transfer/sync_results.h"

#include <cstdio>
#include <vector>

#include "util/log.h"
#include "transfer/notify.h"

namespace bv {

std::wstring FormatFileDate(const xmlrpc::DateTime& d, const os::DateTimeSeparators& seps) {
    auto two = [](int v) {
        wchar_t buf[8];
        std::swprintf(buf, 8, L"%02d", ((v % 100) + 100) % 100);
        return std::wstring(buf);
    };
    return two(d.month) + seps.date + two(d.day) + seps.date + two(d.year) + L" " + two(d.hour) +
           seps.time + two(d.minute) + seps.time + two(d.second);
}

std::wstring FileListLine(std::wstring_view name, std::wstring_view date) {
    std::wstring line(name);
    if (line.size() < 32) line.append(32 - line.size(), L' ');
    return line + L" " + std::wstring(date);
}

void helloResult(const xmlrpc::Value& value) {
    std::wstring text = xmlrpc::AsText(value);
    ClientLog(L"Server returned : " + text);
    Notify.Post({text});
}

void GetFilesResult(const xmlrpc::Value& value) {
    if (!value.is(xmlrpc::Type::Array)) {
        const std::wstring error = L"Error geting filelist from server";
        WriteLog(L"GetFilesResultReturn() got " + error);
        Notify.Post({error});
        return;
    }
    ClientLog(L"GetFilesReturned count files " + std::to_wstring(value.items().size()));
    os::DateTimeSeparators seps = os::LocaleSeparators();
    std::vector<std::wstring> lines;
    for (const xmlrpc::Value& item : value.items()) {
        if (!item.is(xmlrpc::Type::Struct)) continue;
        // A missing field reads as empty text; a field of another type as
        // its text.
        const xmlrpc::Value* name = item.member(L"filename");
        const xmlrpc::Value* date = item.member(L"filedate");
        std::wstring dateText;
        if (date) dateText = date->is(xmlrpc::Type::DateTime) ? FormatFileDate(date->date(), seps)
                                                              : xmlrpc::AsText(*date);
        std::wstring line = FileListLine(name ? xmlrpc::AsText(*name) : std::wstring(), dateText);
        ClientLog(line);
        lines.push_back(std::move(line));
    }
    Notify.Post(lines);
}

void FileToServerResult(const xmlrpc::Value& value) {
    std::vector<std::wstring> lines;
    if (value.is(xmlrpc::Type::Struct)) {
        const xmlrpc::Value* success = value.member(L"success");
        const xmlrpc::Value* size = value.member(L"filesize");
        if (success && success->is(xmlrpc::Type::Boolean) && success->boolean()) {
            std::wstring line =
                L"File received at server " + (size ? xmlrpc::AsText(*size) : L"0") + L" bytes";
            lines.push_back(line);
            WriteLog(line);
        } else {
            lines.push_back(L"File NOT received OK at server");
            WriteLog(L"File NOT received OK at server.  " + xmlrpc::AsText(value) + L" bytes");
        }
    }
    Notify.Post(lines);
}

void FileFromServerResult(const xmlrpc::Value&) {}

}  // namespace bv
