/*
 * The G.722 module as the SIP library sees it: loading registers the codec
 * in the library's codec list, unloading removes it, and the handlers of
 * the registered record check their arguments before they code 64 kbit/s
 * streams with the core.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include <re.h>
#include <rem.h>
#include <baresip.h>

#include "coder.h"
#include "g722_codec.h"
#include "signals.h"

extern "C" const struct mod_export exports_g722;

/* The static module table of this test program, as the shell's holds */
extern "C" {
const struct mod_export *mod_table[] = {&exports_g722, nullptr};
}

namespace {

const struct aucodec *find_g722()
{
	return aucodec_find(baresip_aucodecl(), "G722", 16000, 1);
}

class G722Module : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(libre_init(), 0);
		ASSERT_EQ(module_load(".", "g722"), 0);
		ac = find_g722();
		ASSERT_NE(ac, nullptr);
	}

	void TearDown() override
	{
		mem_deref(enc);
		mem_deref(dec);
		mod_close();
		libre_close();
	}

	void make_encoder()
	{
		struct auenc_param prm = {20, 0};
		ASSERT_EQ(ac->encupdh(&enc, ac, &prm, nullptr), 0);
		ASSERT_NE(enc, nullptr);
	}

	void make_decoder()
	{
		ASSERT_EQ(ac->decupdh(&dec, ac, nullptr), 0);
		ASSERT_NE(dec, nullptr);
	}

	/* The library's states are the core's states */
	std::vector<uint8_t> snapshot(const void *state)
	{
		const auto *p = static_cast<const uint8_t *>(state);
		return {p, p + sizeof(g722_state)};
	}

	const struct aucodec *ac = nullptr;
	struct auenc_state *enc = nullptr;
	struct audec_state *dec = nullptr;
};

TEST(G722ModuleLoad, InitRegistersCodecAndCloseRemovesIt)
{
	ASSERT_EQ(libre_init(), 0);
	const uint32_t before = list_count(baresip_aucodecl());

	for (int round = 0; round < 2; round++) {
		SCOPED_TRACE(round);
		EXPECT_EQ(find_g722(), nullptr);

		/* as the configuration's module line "g722.so" loads it */
		ASSERT_EQ(module_load(".", "g722.so"), 0);
		const struct mod *m = mod_find("g722.so");
		ASSERT_NE(m, nullptr);
		EXPECT_STREQ(mod_export(m)->type, "codec");
		EXPECT_EQ(list_count(baresip_aucodecl()), before + 1);

		const struct aucodec *ac = find_g722();
		ASSERT_NE(ac, nullptr);
		EXPECT_STREQ(ac->pt, "9");
		EXPECT_STREQ(ac->name, "G722");
		EXPECT_EQ(ac->srate, 16000u);
		EXPECT_EQ(ac->crate, 8000u);
		EXPECT_EQ(ac->ch, 1);
		EXPECT_EQ(ac->pch, 1);
		EXPECT_EQ(ac->fmtp, nullptr);
		EXPECT_NE(ac->encupdh, nullptr);
		EXPECT_NE(ac->ench, nullptr);
		EXPECT_NE(ac->decupdh, nullptr);
		EXPECT_NE(ac->dech, nullptr);
		EXPECT_EQ(ac->plch, nullptr);
		EXPECT_EQ(ac->fmtp_ench, nullptr);
		EXPECT_EQ(ac->fmtp_cmph, nullptr);

		mod_close();
		EXPECT_EQ(mod_find("g722.so"), nullptr);
		EXPECT_EQ(find_g722(), nullptr);
		EXPECT_EQ(list_count(baresip_aucodecl()), before);
	}

	libre_close();
}

TEST_F(G722Module, UpdateHandlersRefuseNullArguments)
{
	struct auenc_param prm = {20, 0};
	EXPECT_EQ(ac->encupdh(nullptr, ac, &prm, nullptr), EINVAL);
	EXPECT_EQ(ac->encupdh(&enc, nullptr, &prm, nullptr), EINVAL);
	EXPECT_EQ(ac->decupdh(nullptr, ac, nullptr), EINVAL);
	EXPECT_EQ(ac->decupdh(&dec, nullptr, nullptr), EINVAL);
	EXPECT_EQ(enc, nullptr);
	EXPECT_EQ(dec, nullptr);
}

TEST_F(G722Module, UpdateGivesA64kStateAndLaterUpdatesKeepIt)
{
	make_encoder();
	make_decoder();

	const auto *es = reinterpret_cast<const g722_state *>(enc);
	const auto *ds = reinterpret_cast<const g722_state *>(dec);
	for (const g722_state *s : {es, ds}) {
		EXPECT_EQ(s->bits_per_sample, 8);
		EXPECT_EQ(s->packed, 0);
		EXPECT_EQ(s->eight_k, 0);
	}

	/* run some audio through both so they hold history */
	const std::vector<int16_t> in = joined_signals(16000);
	uint8_t octets[160];
	size_t len = sizeof(octets);
	ASSERT_EQ(ac->ench(enc, nullptr, octets, &len, AUFMT_S16LE, in.data(), 320), 0);
	int16_t samples[320];
	size_t sampc = 320;
	ASSERT_EQ(ac->dech(dec, AUFMT_S16LE, samples, &sampc, false, octets, len), 0);

	const std::vector<uint8_t> enc_before = snapshot(enc);
	const std::vector<uint8_t> dec_before = snapshot(dec);
	struct auenc_state *const enc_ptr = enc;
	struct audec_state *const dec_ptr = dec;

	struct auenc_param prm = {40, 48000};
	EXPECT_EQ(ac->encupdh(&enc, ac, &prm, "mode=1"), 0);
	EXPECT_EQ(ac->decupdh(&dec, ac, "mode=1"), 0);

	EXPECT_EQ(enc, enc_ptr);
	EXPECT_EQ(dec, dec_ptr);
	EXPECT_EQ(snapshot(enc), enc_before);
	EXPECT_EQ(snapshot(dec), dec_before);
}

TEST_F(G722Module, EncodeHandlerChecksArgumentsInOrderAndTouchesNothingOnRefusal)
{
	make_encoder();
	const std::vector<int16_t> in = joined_signals(16000);
	std::vector<uint8_t> buf(400, 0xEE);
	const std::vector<uint8_t> state_before = snapshot(enc);

	struct call {
		const char *what;
		bool null_state, null_buf, null_len, null_samples;
		int fmt;
		size_t sampc;
		size_t len;
		int err;
	} calls[] = {
		{"null state", true, false, false, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null buffer", false, true, false, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null length", false, false, true, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null samples", false, false, false, true, AUFMT_S16LE, 320, 160, EINVAL},
		{"null before format", true, false, false, false, AUFMT_FLOAT, 320, 0, EINVAL},
		{"float before length", false, false, false, false, AUFMT_FLOAT, 320, 0, ENOTSUP},
		{"count above int", false, false, false, false, AUFMT_S16LE,
		 size_t(INT_MAX) + 1, SIZE_MAX, ENOMEM},
		{"buffer one short", false, false, false, false, AUFMT_S16LE, 320, 159, ENOMEM},
		{"odd count one short", false, false, false, false, AUFMT_S16LE, 321, 160, ENOMEM},
		{"no samples", false, false, false, false, AUFMT_S16LE, 0, 160, EPROTO},
	};

	for (const call &c : calls) {
		SCOPED_TRACE(c.what);
		size_t len = c.len;
		EXPECT_EQ(ac->ench(c.null_state ? nullptr : enc, nullptr,
				   c.null_buf ? nullptr : buf.data(),
				   c.null_len ? nullptr : &len, c.fmt,
				   c.null_samples ? nullptr : in.data(), c.sampc),
			  c.err);
		EXPECT_EQ(len, c.len);
	}

	EXPECT_EQ(buf, std::vector<uint8_t>(400, 0xEE));
	EXPECT_EQ(snapshot(enc), state_before);
}

TEST_F(G722Module, EncodeHandlerCodesFramesLikeTheCore)
{
	make_encoder();
	const std::vector<int16_t> in = joined_signals(16000);
	const size_t frames = 50;

	std::vector<uint8_t> out;
	for (size_t f = 0; f < frames; f++) {
		uint8_t buf[200];
		size_t len = f % 2 ? 160 : sizeof(buf);
		bool marker = f % 2;
		ASSERT_EQ(ac->ench(enc, &marker, buf, &len, AUFMT_S16LE,
				   in.data() + 320 * f, 320), 0);
		ASSERT_EQ(len, 160u);
		EXPECT_EQ(marker, bool(f % 2));
		out.insert(out.end(), buf, buf + len);
	}

	const std::vector<int16_t> head(in.begin(), in.begin() + 320 * frames);
	EXPECT_EQ(out, ours_encode(64000, 0, head, head.size()));
}

TEST_F(G722Module, EncodeHandlerAllowsOneOctetForAnOddLastSample)
{
	make_encoder();
	const std::vector<int16_t> in = joined_signals(16000);

	uint8_t buf[161];
	size_t len = sizeof(buf);
	ASSERT_EQ(ac->ench(enc, nullptr, buf, &len, AUFMT_S16LE, in.data(), 321), 0);
	EXPECT_EQ(len, 161u);
}

TEST_F(G722Module, DecodeHandlerChecksArgumentsInOrderAndTouchesNothingOnRefusal)
{
	make_decoder();
	const std::vector<uint8_t> octets = random_octets(400, 5);
	std::vector<int16_t> out(800, 0x7EEE);
	const std::vector<uint8_t> state_before = snapshot(dec);

	struct call {
		const char *what;
		bool null_state, null_samples, null_sampc, null_buf;
		int fmt;
		size_t sampc;
		size_t len;
		int err;
	} calls[] = {
		{"null state", true, false, false, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null samples", false, true, false, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null count", false, false, true, false, AUFMT_S16LE, 320, 160, EINVAL},
		{"null buffer", false, false, false, true, AUFMT_S16LE, 320, 160, EINVAL},
		{"null before format", false, true, false, false, AUFMT_FLOAT, 0, 160, EINVAL},
		{"float before length", false, false, false, false, AUFMT_FLOAT, 0, 160, ENOTSUP},
		{"length above limit", false, false, false, false, AUFMT_S16LE, SIZE_MAX,
		 size_t(1073741824), ENOMEM},
		{"room one short", false, false, false, false, AUFMT_S16LE, 319, 160, ENOMEM},
	};

	for (const call &c : calls) {
		SCOPED_TRACE(c.what);
		size_t sampc = c.sampc;
		EXPECT_EQ(ac->dech(c.null_state ? nullptr : dec, c.fmt,
				   c.null_samples ? nullptr : out.data(),
				   c.null_sampc ? nullptr : &sampc, false,
				   c.null_buf ? nullptr : octets.data(), c.len),
			  c.err);
		EXPECT_EQ(sampc, c.sampc);
	}

	EXPECT_EQ(out, std::vector<int16_t>(800, 0x7EEE));
	EXPECT_EQ(snapshot(dec), state_before);
}

TEST_F(G722Module, DecodeHandlerDecodesFramesLikeTheCore)
{
	make_decoder();
	const std::vector<uint8_t> octets = random_octets(160 * 50, 9);

	std::vector<int16_t> out;
	for (size_t f = 0; f < 50; f++) {
		int16_t buf[400];
		size_t sampc = f % 2 ? 320 : 400;
		ASSERT_EQ(ac->dech(dec, AUFMT_S16LE, buf, &sampc, f % 3 == 0,
				   octets.data() + 160 * f, 160), 0);
		ASSERT_EQ(sampc, 320u);
		out.insert(out.end(), buf, buf + sampc);
	}
	EXPECT_EQ(out, ours_decode(64000, 0, octets, octets.size()));

	/* an empty payload decodes to nothing */
	int16_t buf[2];
	size_t sampc = 2;
	EXPECT_EQ(ac->dech(dec, AUFMT_S16LE, buf, &sampc, false, octets.data(), 0), 0);
	EXPECT_EQ(sampc, 0u);
}

}  // namespace
