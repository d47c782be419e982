#include "meter.h"

#include "ws.h"
#include "ws_dispatch.h"
#include "zvaudio.h"

namespace {

struct tmr webapp_meter_tmr;

void webapp_meter_send(const float snapshot[METER_SLOTS][2])
{
	char line[4096];
	if (webapp_meter_line(line, sizeof(line), zvaudio_record_time(), snapshot) == 0)
		webapp_ws_send_text(WS_METER, line);
}

void webapp_meter_timer(void *)
{
	tmr_start(&webapp_meter_tmr, 150, webapp_meter_timer, nullptr);
	float snapshot[METER_SLOTS][2];
	zvaudio_meter_take(snapshot);
	webapp_meter_send(snapshot);
}

}

void webapp_meter_init(void)
{
	tmr_init(&webapp_meter_tmr);
	tmr_start(&webapp_meter_tmr, 150, webapp_meter_timer, nullptr);
}

void webapp_meter_close(void)
{
	tmr_cancel(&webapp_meter_tmr);
}

void webapp_ws_meter_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	struct odict *msg = nullptr;
	if (webapp_ws_decode(&msg, mb) == 0)
		mem_deref(msg);
}
