#include <gtest/gtest.h>

#include <string>

#include "sipstack.h"

namespace {

struct config parse(const std::string &text)
{
	struct conf *conf = nullptr;
	EXPECT_EQ(0, conf_alloc_buf(&conf, reinterpret_cast<const uint8_t *>(text.data()), text.size()));
	struct config cfg = {};
	cfg.avt.jbtype = JBUF_FIXED;
	cfg.avt.jbuf_del = {5, 10};
	cfg.audio.txmode = AUDIO_MODE_THREAD;
	cfg.sip.verify_server = false;
	zv_config_complete(&cfg, conf);
	mem_deref(conf);
	return cfg;
}

const std::string jitter = "audio_jitter_buffer_type\tadaptive\n"
			   "audio_jitter_buffer_ms\t\t20-300\n"
			   "audio_jitter_buffer_size\t50\t\t# [packets]\n";

TEST(ConfigComplete, TemplateKeysTakeEffect)
{
	struct config cfg = parse(jitter);
	EXPECT_EQ(cfg.avt.jbtype, JBUF_ADAPTIVE);
	EXPECT_EQ(cfg.avt.jbuf_del.min, 1u);
	EXPECT_EQ(cfg.avt.jbuf_del.max, 15u);
	EXPECT_EQ(cfg.avt.jbuf_wish, 2u);
	EXPECT_EQ(cfg.audio.txmode, AUDIO_MODE_POLL);
	EXPECT_TRUE(cfg.sip.verify_server);
}

TEST(ConfigComplete, PacketLimitCapsTheDelay)
{
	struct config cfg = parse("audio_jitter_buffer_ms\t\t40-1000\naudio_jitter_buffer_size\t10\n");
	EXPECT_EQ(cfg.avt.jbuf_del.min, 2u);
	EXPECT_EQ(cfg.avt.jbuf_del.max, 10u);
}

TEST(ConfigComplete, ExplicitSettingsWin)
{
	struct config cfg = parse("sip_verify_server\tno\naudio_txmode\tthread\n");
	EXPECT_FALSE(cfg.sip.verify_server);
	EXPECT_EQ(cfg.audio.txmode, AUDIO_MODE_THREAD);
	// Without the jitter keys the library's own values stay.
	EXPECT_EQ(cfg.avt.jbtype, JBUF_FIXED);
	EXPECT_EQ(cfg.avt.jbuf_del.min, 5u);
}

TEST(ErrnoPrint, TextAndNumber)
{
	char buf[64];
	re_snprintf(buf, sizeof(buf), "(%H)", ZV_ERRNO(EINVAL));
	EXPECT_STREQ(buf, "(Invalid argument [22])");
}

}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	libre_init();
	int result = RUN_ALL_TESTS();
	libre_close();
	return result;
}
