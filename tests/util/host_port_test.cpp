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
        // The host: a name or an IPv4 address, nothing else.
        {L"mirror-2.farm_net.example.:8080", true, L"mirror-2.farm_net.example.", 8080},
        {L"garbage", true, L"garbage", 80},
        {L"gar$bage", false, L"", 0},
        {L"gar bage", false, L"", 0},
        {L"http://x/", false, L"", 0},
        {L"x/", false, L"", 0},
        {L"x/:80", false, L"", 0},
        {L"user@x", false, L"", 0},
        {L"a..b", false, L"", 0},
        {L".a", false, L"", 0},
        {L"-a.example", false, L"", 0},
        {L"a-.example", false, L"", 0},
        {L"h\u00e9te", false, L"", 0},
    };
    for (const Case& c : cases) {
        std::optional<HostPort> parsed = ParseHostPort(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid) << testing::PrintToString(std::wstring(c.text));
        if (!c.valid) continue;
        EXPECT_EQ(parsed->host, c.host);
        EXPECT_EQ(parsed->port, c.port);
    }
    // Labels up to 63 characters, names up to 253.
    EXPECT_TRUE(ParseHostPort(std::wstring(63, L'a') + L".example"));
    EXPECT_FALSE(ParseHostPort(std::wstring(64, L'a') + L".example"));
    std::wstring longest;
    while (longest.size() < 253) longest += longest.empty() ? L"a" : L".a";
    EXPECT_TRUE(ParseHostPort(longest + L":81"));
    EXPECT_FALSE(ParseHostPort(longest + L"a:81"));
    EXPECT_EQ(ParseHostPort(L"h", 6060)->port, 6060);
    EXPECT_EQ(ParseHostPort(L"h:81", 6060)->port, 81);
}

}  // namespace
}  // namespace bv
