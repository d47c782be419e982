#include "webapp_parts.h"

#include <ranges>

#include "account.h"
#include "contacts.h"
#include "event.h"
#include "meter.h"
#include "options.h"
#include "session.h"
#include "stats.h"
#include "stream.h"
#include "webapp_engine.h"
#include "ws.h"

namespace {

struct part {
	void (*init)(void);
	void (*close)(void);
};

// The SIP event handler comes last: it runs only while every other part is
// up.
const part parts[] = {
	{webapp_engine_init, webapp_engine_close},
	{webapp_ws_init, webapp_ws_close},
	{[] { (void)webapp_options_init(); }, webapp_options_close},
	{[] { (void)webapp_accounts_init(); }, webapp_accounts_close},
	{[] { (void)webapp_contacts_init(); }, webapp_contacts_close},
	{webapp_meter_init, webapp_meter_close},
	{webapp_sessions_init, webapp_sessions_close},
	{webapp_stats_init, webapp_stats_close},
	{webapp_stream_init, webapp_stream_close},
	{webapp_events_init, webapp_events_close},
};

}

void webapp_parts_init(void)
{
	for (const part &p : parts)
		p.init();
}

void webapp_parts_close(void)
{
	for (const part &p : std::views::reverse(parts))
		p.close();
}
