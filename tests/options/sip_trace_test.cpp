#include <gtest/gtest.h>

#include <string>

#include "fakes.h"
#include "sip_trace.h"

namespace {

// A SIP request of exactly size bytes, padded with short header lines.
std::string message(size_t size)
{
	std::string m = "OPTIONS sip:zv@127.0.0.1 SIP/2.0\r\nCall-ID: trace\r\n";
	const std::string end = "Content-Length: 0\r\n\r\n";
	for (int i = 0; m.size() + end.size() < size; ++i) {
		std::string line = "X-Pad-" + std::to_string(i) + ": ";
		line.append(60, 'a' + i % 26);
		line += "\r\n";
		if (m.size() + end.size() + line.size() > size)
			line = "X: " + std::string(size - m.size() - end.size() - 5, 'z') + "\r\n";
		m += line;
	}
	m += end;
	return m;
}

class Trace : public testing::Test {
protected:
	struct sa src, dst;

	void SetUp() override
	{
		log_enable_stdout(false);
		fakes.reset();
		fakes.capture_log(true);
		ASSERT_EQ(sa_set_str(&src, "127.0.0.1", 5060), 0);
		ASSERT_EQ(sa_set_str(&dst, "::1", 5070), 0);
	}

	void TearDown() override
	{
		fakes.capture_log(false);
	}

	// Everything logged, as one text, and the longest single log call.
	std::string logged(size_t *longest = nullptr) const
	{
		std::string all;
		size_t max = 0;
		for (const std::string &l : fakes.log) {
			EXPECT_EQ(l.substr(0, 2), "I ");
			all += l.substr(2);
			max = std::max(max, l.size() - 2);
		}
		if (longest)
			*longest = max;
		return all;
	}

	void trace(bool tx, enum sip_transp tp, const std::string &m)
	{
		webapp_sip_trace(tx, tp, &src, &dst, reinterpret_cast<const uint8_t *>(m.data()),
				 m.size(), nullptr);
	}
};

TEST_F(Trace, HeadLineNamesDirectionTransportAndAddresses)
{
	struct {
		bool tx;
		enum sip_transp tp;
		const char *head;
	} cases[] = {
		{true, SIP_TRANSP_UDP, "sip-trace: TX UDP 127.0.0.1:5060 -> [::1]:5070 (20 bytes)\n"},
		{false, SIP_TRANSP_TCP, "sip-trace: RX TCP 127.0.0.1:5060 -> [::1]:5070 (20 bytes)\n"},
		{false, SIP_TRANSP_TLS, "sip-trace: RX TLS 127.0.0.1:5060 -> [::1]:5070 (20 bytes)\n"},
		{true, SIP_TRANSP_WSS, "sip-trace: TX WSS 127.0.0.1:5060 -> [::1]:5070 (20 bytes)\n"},
	};
	for (const auto &c : cases) {
		fakes.reset();
		trace(c.tx, c.tp, "SIP/2.0 200 OK\r\n\r\nxy");
		EXPECT_EQ(logged(), std::string(c.head) + "SIP/2.0 200 OK\r\n\r\nxy\n");
	}
}

TEST_F(Trace, LongMessagesAreCutAfter7168Bytes)
{
	for (size_t size : {4000u, 7167u, 7168u, 7169u, 9000u}) {
		SCOPED_TRACE(size);
		const std::string m = message(size);
		ASSERT_EQ(m.size(), size);
		fakes.reset();
		trace(false, SIP_TRANSP_UDP, m);

		const bool cut = size > 7168;
		const std::string expect = "sip-trace: RX UDP 127.0.0.1:5060 -> [::1]:5070 (" +
					   std::to_string(size) + " bytes)\n" +
					   m.substr(0, cut ? 7168 : size) +
					   (cut ? "\n[truncated]\n" : "\n");
		size_t longest = 0;
		EXPECT_EQ(logged(&longest), expect);
		// The library's logger drops a message of 4096 bytes or more.
		EXPECT_LT(longest, 4096u);
	}
}

TEST_F(Trace, MessageWithoutLineEndsStillArrivesWhole)
{
	const std::string m(7168, 'q');
	trace(true, SIP_TRANSP_TCP, m);
	size_t longest = 0;
	EXPECT_EQ(logged(&longest),
		  "sip-trace: TX TCP 127.0.0.1:5060 -> [::1]:5070 (7168 bytes)\n" + m + "\n");
	EXPECT_LT(longest, 4096u);
}

}
