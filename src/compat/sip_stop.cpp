#include "sip_stop.h"

namespace {

struct tmr stop_tmr;

void stop_waited(void *)
{
	info("sip: transactions still pending %llu ms after the stop are abandoned\n",
	     static_cast<unsigned long long>(ZV_SIP_STOP_WAIT_MS));
	ua_stop_all(true);
}

}

void zv_sip_stop(void)
{
	if (!tmr_isrunning(&stop_tmr))
		tmr_start(&stop_tmr, ZV_SIP_STOP_WAIT_MS, stop_waited, nullptr);
	ua_stop_all(false);
}

void zv_sip_stop_done(void)
{
	tmr_cancel(&stop_tmr);
}
