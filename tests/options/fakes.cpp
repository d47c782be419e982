// The engine's setters and the websocket senders, recorded.
#include "fakes.h"

#include "sipstack.h"
#include "stream.h"

option_fakes fakes;

namespace {

int print_mb(const char *p, size_t size, void *arg)
{
	return mbuf_write_mem(static_cast<struct mbuf *>(arg), reinterpret_cast<const uint8_t *>(p),
			      size);
}

void engine(const char *name, bool on)
{
	fakes.engine.push_back(std::string(name) + (on ? "=1" : "=0"));
}

void log_line(uint32_t level, const char *msg)
{
	fakes.log.push_back(std::string(level == LEVEL_WARN ? "W " : level == LEVEL_INFO ? "I " : "D ") +
			    msg);
}

struct log log_handler = {{}, log_line};

}

void option_fakes::reset()
{
	engine.clear();
	pushes.clear();
	log.clear();
	folder_opened = 0;
}

void option_fakes::capture_log(bool on)
{
	if (on)
		log_register_handler(&log_handler);
	else
		log_unregister_handler(&log_handler);
}

void zvaudio_set_monorecord(bool on)
{
	engine("monorecord", on);
}

void zvaudio_set_monostream(bool on)
{
	engine("monostream", on);
}

void zvaudio_set_mute(bool on)
{
	engine("mute", on);
}

void zvaudio_set_monitoring(bool on)
{
	engine("monitoring", on);
}

void zvaudio_record_set(bool on)
{
	engine("record", on);
}

void zvaudio_open_folder(void)
{
	++fakes.folder_opened;
}

void webapp_stream_start(void)
{
	fakes.engine.push_back("stream start");
}

int webapp_stream_stop(void)
{
	fakes.engine.push_back("stream stop");
	return 0;
}

void webapp_ws_send_json(int endpoint, const struct odict *dict)
{
	struct mbuf *mb = mbuf_alloc(256);
	struct re_printf pf = {print_mb, mb};
	if (dict)
		(void)json_encode_odict(&pf, dict);
	fakes.pushes.emplace_back(endpoint, std::string(reinterpret_cast<char *>(mb->buf), mb->end));
	mem_deref(mb);
}

void webapp_ws_state_set(int endpoint, webapp_ws_state_h *state)
{
	fakes.state[endpoint] = state;
}
