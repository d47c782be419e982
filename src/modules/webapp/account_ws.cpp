#include "account_ws.h"

#include "account.h"
#include "account_line.h"
#include "account_ua.h"
#include "ws.h"
#include "ws_dispatch.h"

namespace {

void push(void)
{
	webapp_ws_send_json(WS_BARESIP, webapp_accounts());
}

const struct odict *state(void)
{
	return webapp_accounts();
}

void addsip(const struct odict *msg)
{
	webapp_account_add(msg);
	push();
}

// Both texts are needed: without a user the deletion would take every
// account of the domain.
void deletesip(const struct odict *msg)
{
	const char *user = odict_string(msg, "user");
	const char *domain = odict_string(msg, "domain");
	if (!user || !domain)
		return;
	webapp_account_delete(user, domain);
	warning("delete executed\n");
	push();
}

void uagcurrent(const struct odict *msg)
{
	const struct odict_entry *aor = odict_lookup(msg, "aor");
	if (!aor)
		return;
	struct ua *ua = nullptr;
	char address[ACCOUNT_AOR_SIZE];
	if (aor->type == ODICT_STRING &&
	    re_snprintf(address, sizeof(address), "sip:%s", aor->u.str) > 0)
		ua = uag_find_aor(address);
	webapp_ua_current_set(ua);
	webapp_account_current_mark();
	push();
}

const webapp_ws_command account_commands[] = {
	{WS_BARESIP, "addsip", addsip},
	{WS_BARESIP, "deletesip", deletesip},
	{WS_BARESIP, "uagcurrent", uagcurrent},
};

}

void webapp_account_commands_set(bool on)
{
	webapp_ws_commands_set(account_commands, on);
	webapp_ws_state_set(WS_BARESIP, on ? state : nullptr);
}
