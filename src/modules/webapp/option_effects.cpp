#include "option_effects.h"

#include "options.h"
#include "webapp_engine.h"
#include "sip_trace.h"
#include "stream.h"
#include "zvaudio.h"

namespace {

bool is_true(const char *value)
{
	return !str_cmp(value, "true");
}

bool is_false(const char *value)
{
	return !str_cmp(value, "false");
}

void verbose(const char *value)
{
	const bool on = is_true(value);
	if (on == is_true(webapp_option_get("verbose", "")))
		return;
	log_enable_debug(on);
	sip_set_trace_handler(uag_sip(), on ? webapp_sip_trace : nullptr);
	info("webapp/option: verbose logging (SIP trace) %s\n", on ? "enabled" : "disabled");
}

void monostream(const char *value)
{
	if (is_true(value)) {
		zvaudio_set_monostream(true);
		return;
	}
	zvaudio_set_monostream(false);
	webapp_option_request("monorecord", "");
}

void monorecord(const char *value)
{
	if (!is_true(value)) {
		zvaudio_set_monorecord(false);
		return;
	}
	zvaudio_set_monorecord(true);
	webapp_option_request("monostream", "true");
}

}

void webapp_option_effect(const char *key, const char *value)
{
	if (!str_cmp(key, "verbose"))
		verbose(value);
	else if (!str_cmp(key, "monitoring"))
		zvaudio_set_monitoring(is_true(value));
	else if (!str_cmp(key, "monostream"))
		monostream(value);
	else if (!str_cmp(key, "monorecord"))
		monorecord(value);
	else if (!str_cmp(key, "record"))
		zvaudio_record_set(!is_false(value));
	else if (!str_cmp(key, "mute"))
		zvaudio_set_mute(!is_false(value));
	else if (!str_cmp(key, "onair")) {
		if (is_false(value))
			(void)webapp_stream_stop();
		else
			webapp_stream_start();
	}
}
