// Which requests the HTTP server serves, and UTF-8 replacement.
#include <gtest/gtest.h>

#include <string>

#include "http_access.h"
#include "http_routes.h"
#include "utf8.h"

namespace {

struct access_case {
	const char *headers;
	bool allowed;
};

class Access : public testing::TestWithParam<access_case> {};

TEST_P(Access, HostAndOrigin)
{
	std::string req = std::string("GET /ws_calls HTTP/1.1\r\n") + GetParam().headers + "\r\n";
	struct mbuf *mb = mbuf_alloc(req.size());
	ASSERT_EQ(mbuf_write_str(mb, req.c_str()), 0);
	mb->pos = 0;
	struct http_msg *msg = nullptr;
	ASSERT_EQ(http_msg_decode(&msg, mb, true), 0) << req;
	EXPECT_EQ(webapp_http_allowed(msg, 8123), GetParam().allowed) << GetParam().headers;
	mem_deref(msg);
	mem_deref(mb);
}

INSTANTIATE_TEST_SUITE_P(
	Cases, Access,
	testing::Values(
		access_case{"", true},
		access_case{"Host: 127.0.0.1:8123\r\n", true},
		access_case{"Host: 127.0.0.1\r\n", true},
		access_case{"Host: LOCALHOST:8123\r\n", true},
		access_case{"Host: [::1]:8123\r\n", true},
		access_case{"Host: 192.168.1.20:8123\r\n", true},
		access_case{"Host: 127.0.0.1:8123\r\nOrigin: http://127.0.0.1:8123\r\n", true},
		access_case{"Host: localhost:8123\r\nOrigin: HTTP://LocalHost:8123\r\n", true},
		access_case{"Host: [::ffff:127.0.0.1]:8123\r\n", true},
		access_case{"Host: 0.0.0.0:8123\r\n", false},
		access_case{"Host: 0.0.0.0\r\n", false},
		access_case{"Host: 0.1.2.3:8123\r\n", false},
		access_case{"Host: [::]:8123\r\n", false},
		access_case{"Host: [::ffff:0.0.0.0]:8123\r\n", false},
		access_case{"Host: evil.test:8123\r\n", false},
		access_case{"Host: evil.test\r\n", false},
		access_case{"Host: 127.0.0.1:8124\r\n", false},
		access_case{"Host: 127.0.0.1:08123x\r\n", false},
		access_case{"Host: 127.0.0.1:\r\n", false},
		access_case{"Host: [::1\r\n", false},
		access_case{"Host: [evil]:8123\r\n", false},
		access_case{"Host: 127.0.0.1:8123\r\nHost: evil.test\r\n", false},
		access_case{"Host: 127.0.0.1:8123\r\nOrigin: http://evil.test\r\n", false},
		access_case{"Host: 127.0.0.1:8123\r\nOrigin: null\r\n", false},
		access_case{"Host: 127.0.0.1:8123\r\nOrigin: https://127.0.0.1:8123\r\n", false},
		access_case{"Host: 127.0.0.1:8123\r\nOrigin: http://127.0.0.1:8124\r\n", false},
		access_case{"Origin: http://127.0.0.1:8123\r\n", false}));

struct utf8_case {
	std::string in;
	std::string out;
};

class Utf8 : public testing::TestWithParam<utf8_case> {};

TEST_P(Utf8, InvalidBytesBecomeReplacement)
{
	const utf8_case &c = GetParam();
	const auto *p = reinterpret_cast<const uint8_t *>(c.in.data());
	EXPECT_EQ(utf8_valid(p, c.in.size()), c.in == c.out);
	struct mbuf *mb = mbuf_alloc(16);
	ASSERT_EQ(utf8_write_sanitized(mb, p, c.in.size()), 0);
	EXPECT_EQ(std::string(reinterpret_cast<char *>(mb->buf), mb->end), c.out);
	mem_deref(mb);
}

const std::string R = "\xef\xbf\xbd";

INSTANTIATE_TEST_SUITE_P(
	Cases, Utf8,
	testing::Values(
		utf8_case{"plain {\"a\":1}", "plain {\"a\":1}"},
		utf8_case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa7"},
		utf8_case{"a\xff" "b", "a" + R + "b"},
		utf8_case{"\xc0\xaf", R + R},
		utf8_case{"\xed\xa0\x80", R + R + R},
		utf8_case{"\xf4\x90\x80\x80", R + R + R + R},
		utf8_case{"end\xe2\x82", "end" + R + R},
		utf8_case{"\x80x", R + "x"}));

}
