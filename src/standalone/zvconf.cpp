#include "zvconf.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform.h"
#include "settings_file.h"
#include "zv_version.h"

namespace {

const char *config_path;
char config_dir[512];

const char config_template[] =
	"#\n"
	"# Zorvane configuration\n"
	"#\n"
	"# This file is written by Zorvane and replaced on\n"
	"# version updates (the old file is kept as config.old)\n"
	"#\n"
	"zv_version\t\t" ZV_VERSION
	"\n"
	"\n"
	"# Call\n"
	"call_max_calls\t\t%u\n"
	"\n"
	"# Audio\n"
	"audio_player\t\tzvaudio,default\n"
	"audio_source\t\tzvaudio,default\n"
	"audio_alert\t\tzvaudio,default\n"
	"audio_buffer\t\t20-160\t\t# ms\n"
	"# the Zorvane audio modules work with 48kHz stereo only,\n"
	"# other codec rates/channels are converted by auresamp\n"
	"ausrc_srate\t\t48000\n"
	"auplay_srate\t\t48000\n"
	"ausrc_channels\t\t2\n"
	"auplay_channels\t\t2\n"
	"\n"
	"# AVT - Audio/Video Transport\n"
	"audio_jitter_buffer_type\tadaptive\n"
	"audio_jitter_buffer_ms\t\t20-300\n"
	"audio_jitter_buffer_size\t50\t\t# [packets]\n"
	"rtp_stats\t\tno\n"
	"\n"
	"# Network\n"
	"dns_fallback\t\t8.8.8.8:53\n"
	"\n"
	"# Modules\n"
	"module\t\t\tzvlogging.so\n"
	"module\t\t\topus.so\n"
	"module\t\t\tg722.so\n"
	"module\t\t\tg711.so\n"
	"module\t\t\tauresamp.so\n"
	"module\t\t\tzvaudio.so\n"
	"module\t\t\tstun.so\n"
	"module\t\t\tturn.so\n"
	"module\t\t\tice.so\n"
	"module\t\t\tdtls_srtp.so\n"
	"module\t\t\tuuid.so\n"
	"module\t\t\tnetroam.so\n"
	"\n"
	"module_app\t\twebapp.so\n"
	"\n"
	"# Opus codec parameters\n"
	"opus_bitrate\t\t64000\t# 6000-510000\n"
	"opus_application\taudio\t# {voip,audio}\n"
	"opus_samplerate\t\t48000\n"
	"opus_inbandfec\t\tyes\n"
	"opus_packet_loss\t10\t# 0-100 percent\n"
	"\n";

// The six remote tracks and the stream track of the audio engine.
constexpr unsigned max_calls = 7;

int count_line(const struct pl *val, void *arg)
{
	(void)val;
	++*static_cast<unsigned *>(arg);
	return 0;
}

// True for a file of this version that still has its module lines: a file
// that a failed write cut short is not current, whatever its version says.
bool file_is_current(const char *file)
{
	std::string text;
	struct conf *conf = nullptr;
	if (zv_settings_read(file, text) ||
	    conf_alloc_buf(&conf, reinterpret_cast<const uint8_t *>(text.data()), text.size()))
		return false;

	char version[64] = {0};
	int err = conf_get_str(conf, "zv_version", version, sizeof(version));
	unsigned modules = 0;
	(void)conf_apply(conf, "module", count_line, &modules);
	struct pl app;
	const bool has_app = conf_get(conf, "module_app", &app) == 0;
	mem_deref(conf);
	return !err && 0 == str_cmp(version, ZV_VERSION) && modules && has_app;
}

int write_template(const char *file)
{
	char *text = nullptr;
	if (re_sdprintf(&text, "%H", zvconf_template_print, nullptr)) {
		warning("zvconf: could not write %s (%H)\n", file, ZV_ERRNO(EIO));
		return EIO;
	}
	int err = zv_settings_write(file, text, str_len(text), 0666);
	mem_deref(text);
	if (!err)
		return 0;

	warning("zvconf: could not write %s (%H)\n", file, ZV_ERRNO(err));
	// The disk refusing the text counts as a failed print of the template.
	if (err == ENOSPC || err == EFBIG || err == EDQUOT)
		return EIO;
	return err;
}

}

void zvconf_path_set(const char *path)
{
	config_path = path;
}

const char *zvconf_software(void)
{
	return ZV_SOFTWARE;
}

const char *zvconf_dir(void)
{
	return config_dir;
}

int zvconf_template_print(struct re_printf *pf, void *arg)
{
	(void)arg;
	return re_hprintf(pf, config_template, max_calls);
}

int zvconf_configure(bool reset)
{
	char dir[512];
	if (config_path) {
		if (re_snprintf(dir, sizeof(dir), "%s", config_path) < 0)
			return ENOMEM;
	}
	else {
		char home[512];
		int err = zv_home_dir(home, sizeof(home));
		if (err)
			return err;
		if (re_snprintf(dir, sizeof(dir), "%s/.zorvane", home) < 0)
			return ENOMEM;
	}

	int err = zv_conf_path_set(dir);
	if (err)
		return err;
	str_ncpy(config_dir, dir, sizeof(config_dir));

	char file[512];
	if (re_snprintf(file, sizeof(file), "%s/config", dir) < 0)
		return ENOMEM;

	if (conf_fileexist(file) && (reset || !file_is_current(file))) {
		info("zvconf: configuration reset (" ZV_VERSION ")\n");

		char old[512];
		if (re_snprintf(old, sizeof(old), "%s.old", file) < 0)
			return ENOMEM;

		std::remove(old);
		// When the file cannot be moved aside it stays and is used as it
		// is: the user's settings are never thrown away.
		if (std::rename(file, old) != 0)
			warning("zvconf: could not rename %s (%H), keeping it\n", file,
				ZV_ERRNO(errno));
	}

	if (!conf_fileexist(file)) {
		(void)fs_mkdir(dir, 0700);
		err = write_template(file);
		if (err)
			return err;
	}

	err = conf_configure();
	if (err)
		return err;

	zv_config_complete(conf_config(), conf_cur());
	return 0;
}
