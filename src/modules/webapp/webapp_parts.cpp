#include "webapp_parts.h"

#include "account.h"
#include "contacts.h"
#include "event.h"
#include "meter.h"
#include "options.h"
#include "session.h"
#include "stats.h"
#include "stream.h"
#include "webapp_ws.h"

void webapp_parts_init(void)
{
	webapp_events_init();
	webapp_ws_init();
	(void)webapp_options_init();
	(void)webapp_accounts_init();
	(void)webapp_contacts_init();
	webapp_meter_init();
	webapp_sessions_init();
	webapp_stats_start();
	webapp_stream_init();
}

void webapp_parts_close(void)
{
	webapp_events_close();
	webapp_stream_close();
	webapp_sessions_close();
	webapp_meter_close();
	webapp_accounts_close();
	webapp_contacts_close();
	webapp_options_close();
	webapp_ws_close();
}
