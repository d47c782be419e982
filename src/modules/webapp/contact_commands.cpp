#include "contact_commands.h"

#include "contacts.h"
#include "webapp.h"
#include "ws.h"
#include "ws_dispatch.h"

namespace {

void addcontact(const struct odict *msg)
{
	webapp_contact_add(msg);
	webapp_ws_send_json(WS_CONTACTS, webapp_contacts());
	webapp_ws_send_json(WS_CALLS, webapp_calls);
}

void deletecontact(const struct odict *msg)
{
	const struct odict_entry *e = odict_lookup(msg, "sip");
	if (!e)
		return;

	char sip[100] = "";
	if (e->type == ODICT_STRING)
		str_ncpy(sip, e->u.str, sizeof(sip));
	webapp_contact_delete(sip);
	webapp_ws_send_json(WS_CONTACTS, webapp_contacts());
}

const webapp_ws_command contact_commands[] = {
	{WS_CONTACTS, "addcontact", addcontact},
	{WS_CONTACTS, "deletecontact", deletecontact},
};

}

void webapp_contact_commands_set(bool on)
{
	webapp_ws_commands_set(contact_commands, on);
}
