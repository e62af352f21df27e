// The host:port reader shared by the vendor option, the internet check and
// the transfer client.
#include <gtest/gtest.h>

#include "util/host_port.h"

namespace bv {
namespace {

TEST(HostPort, ReadsHostAndPortOrRefusesTheText) {
    struct Case {
        const wchar_t* text;
        bool valid;
        const wchar_t* host;
        uint16_t port;
    };
    const Case cases[] = {
        {L"example.test", true, L"example.test", 80},
        {L"example.test:8080", true, L"example.test", 8080},
        {L"127.0.0.1:1", true, L"127.0.0.1", 1},
        {L"h:65535", true, L"h", 65535},
        {L"h:00080", true, L"h", 80},
        {L"", false, L"", 0},
        {L":8080", false, L"", 0},
        {L"h:", false, L"", 0},
        {L"h:0", false, L"", 0},
        {L"h:65536", false, L"", 0},
        {L"h:100000", false, L"", 0},
        {L"h:-1", false, L"", 0},
        {L"h:8o", false, L"", 0},
        {L"h: 80", false, L"", 0},
        {L"::1", false, L"", 0},
        {L"[::1]:80", false, L"", 0},
        {L"a:b:80", false, L"", 0},
    };
    for (const Case& c : cases) {
        std::optional<HostPort> parsed = ParseHostPort(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid) << testing::PrintToString(std::wstring(c.text));
        if (!c.valid) continue;
        EXPECT_EQ(parsed->host, c.host);
        EXPECT_EQ(parsed->port, c.port);
    }
    EXPECT_EQ(ParseHostPort(L"h", 6060)->port, 6060);
    EXPECT_EQ(ParseHostPort(L"h:81", 6060)->port, 81);
}

}  // namespace
}  // namespace bv
