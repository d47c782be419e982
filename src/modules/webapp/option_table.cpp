#include "option_table.h"

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

void monitoring(const char *value)
{
	zvaudio_set_monitoring(is_true(value));
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

void record(const char *value)
{
	zvaudio_record_set(!is_false(value));
}

void mute(const char *value)
{
	zvaudio_set_mute(!is_false(value));
}

void onair(const char *value)
{
	if (is_false(value))
		(void)webapp_stream_stop();
	else
		webapp_stream_start();
}

const webapp_option options[] = {
	{"monitoring", true, monitoring}, {"monorecord", true, monorecord},
	{"monostream", true, monostream}, {"verbose", true, verbose},
	{"bypass", false, nullptr},       {"record", false, record},
	{"onair", false, onair},          {"raisehand", false, nullptr},
	{"afk", false, nullptr},          {"mute", false, mute},
	{"samplerate", false, nullptr},
};

}

const std::span<const webapp_option> webapp_option_table{options};

const webapp_option *webapp_option_find(const char *key)
{
	for (const webapp_option &o : webapp_option_table) {
		if (!str_cmp(o.key, key))
			return &o;
	}
	return nullptr;
}
