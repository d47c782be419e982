// The library's SIP and SDP parsers that our patches make linear in their
// input: what they read from each value is what they read before (the
// library's own readings, odd ones included), and an SDP media with more
// formats than RTP has payload types is refused.
#include <cstddef>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <re.h>

namespace {

std::string str(const struct pl &pl)
{
	return pl.p ? std::string(pl.p, pl.l) : std::string("(none)");
}

struct addr_case {
	const char *value;
	const char *dname, *auri, *params, *host;
};

const addr_case addresses[] = {
	{"\"Bob Smith\" <sip:bob@example.com>;tag=1", "Bob Smith", "sip:bob@example.com", ";tag=1", "example.com"},
	// A display name of words without quotes: the library keeps the last.
	{"Bob Smith <sip:bob@example.com>;tag=1", "Smith", "sip:bob@example.com", ";tag=1", "example.com"},
	{"<sip:bob@example.com>", "(none)", "sip:bob@example.com", "(none)", "example.com"},
	{"sip:bob@example.com;tag=2", "(none)", "sip:bob@example.com", ";tag=2", "example.com"},
	{"\"a \\\"quoted\\\" <name>\" <sip:bob@example.com>", "a \\\"quoted\\\" <name>", "sip:bob@example.com",
	 "(none)", "example.com"},
	{"Bob\r\n <sip:bob@example.com>", "Bob", "sip:bob@example.com", "(none)", "example.com"},
	{"\"Bob\"<sip:bob@example.com>", "Bob", "sip:bob@example.com", "(none)", "example.com"},
	{"\"\" <sip:bob@example.com>", "(none)", "sip:bob@example.com", "(none)", "example.com"},
	// Not addresses; read as the library always read them.
	{"a\"b c<sip:x@y>", "(none)", "a\"b c<sip:x@y>", "", "y>"},
	{"Bob <> <sip:bob@example.com>", ">", "sip:bob@example.com", "(none)", "example.com"},
};

TEST(SipParse, AddressesAreReadAsBefore)
{
	for (const addr_case &c : addresses) {
		SCOPED_TRACE(c.value);
		struct sip_addr addr;
		struct pl pl;
		pl_set_str(&pl, c.value);
		ASSERT_EQ(0, sip_addr_decode(&addr, &pl));
		EXPECT_EQ(c.dname, str(addr.dname));
		EXPECT_EQ(c.auri, str(addr.auri));
		EXPECT_EQ(c.params, str(addr.params));
		EXPECT_EQ(c.host, str(addr.uri.host));
	}
}

TEST(SipParse, ALongDisplayNameOfTwoWordsKeepsTheLast)
{
	const std::string value = std::string(7000, 'a') + " b <sip:bob@example.com>";
	struct sip_addr addr;
	struct pl pl = {value.data(), value.size()};
	ASSERT_EQ(0, sip_addr_decode(&addr, &pl));
	EXPECT_EQ("b", str(addr.dname));
	EXPECT_EQ("sip:bob@example.com", str(addr.auri));
}

TEST(SipParse, ExpressionsMatchWhereTheyMatchedBefore)
{
	struct pl a, b, c;

	// A match after tries that failed, where the CSeq expression first
	// matches.
	const char *cseq = "[0-9]+[ \t\r\n]+[^ \t\r\n]+";
	ASSERT_EQ(0, re_regex("x 1 INVITE", 10, cseq, &a, &b, &c));
	EXPECT_EQ("1", str(a));
	EXPECT_EQ("INVITE", str(c));
	EXPECT_EQ(ENOENT, re_regex("1111 ", 5, cseq, &a, &b, &c));

	// A run of the first class, then the rest of the expression from
	// inside it.
	struct pl ws, type, subtype, params;
	const char *ctype = "[ \t\r\n]*[^ \t\r\n;/]+[ \t\r\n]*/[ \t\r\n]*[^ \t\r\n;]+[^]*";
	ASSERT_EQ(0, re_regex("aaa b/c;x", 9, ctype, &ws, &type, nullptr, nullptr, &subtype, &params));
	EXPECT_EQ(" ", str(ws));
	EXPECT_EQ("b", str(type));
	EXPECT_EQ("c", str(subtype));
	EXPECT_EQ(";x", str(params));
}

int decode_offer(const std::string &media)
{
	struct sa laddr;
	sa_set_str(&laddr, "127.0.0.1", 0);
	struct sdp_session *sess = nullptr;
	struct sdp_media *m = nullptr;
	EXPECT_EQ(0, sdp_session_alloc(&sess, &laddr));
	EXPECT_EQ(0, sdp_media_add(&m, sess, "audio", 4000, "RTP/AVP"));
	EXPECT_EQ(0, sdp_format_add(nullptr, m, false, "0", "PCMU", 8000, 1, nullptr, nullptr, nullptr, false,
				    nullptr));
	const std::string offer = "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
				  + media;
	struct mbuf *mb = mbuf_alloc(offer.size());
	mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(offer.data()), offer.size());
	mb->pos = 0;
	const int err = sdp_decode(sess, mb, true);
	mem_deref(mb);
	mem_deref(sess);
	return err;
}

std::string formats(int n)
{
	std::string s;
	for (int i = 0; i < n; ++i)
		s += " " + std::to_string(i);
	return s;
}

TEST(SipParse, AMediaOfMoreFormatsThanPayloadTypesIsRefused)
{
	EXPECT_EQ(0, decode_offer("m=audio 5000 RTP/AVP" + formats(128) + "\r\na=rtpmap:0 PCMU/8000\r\n"));
	EXPECT_EQ(EBADMSG, decode_offer("m=audio 5000 RTP/AVP" + formats(129) + "\r\n"));
}

}  // namespace
