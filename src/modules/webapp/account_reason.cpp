#include "account_reason.h"

#include "ws.h"

namespace {

struct odict *reasons;

}

bool webapp_account_reason_set(const char *aor, const char *reason)
{
	if (!aor)
		return false;
	const char *kept = reasons ? odict_string(reasons, aor) : nullptr;
	if (!str_isset(reason)) {
		if (!kept)
			return false;
		odict_entry_del(reasons, aor);
		return true;
	}
	if (kept && !str_cmp(kept, reason))
		return false;
	if (!reasons && odict_alloc(&reasons, 8))
		return false;
	odict_entry_del(reasons, aor);
	return odict_entry_add(reasons, aor, ODICT_STRING, reason) == 0;
}

void webapp_account_reasons_send(void)
{
	struct odict *o = nullptr;
	struct odict *empty = nullptr;
	if (odict_alloc(&o, 4))
		return;
	if (!reasons && odict_alloc(&empty, 1)) {
		mem_deref(o);
		return;
	}
	int err = odict_entry_add(o, "callback", ODICT_STRING, "REGISTRATION");
	err |= odict_entry_add(o, "reasons", ODICT_OBJECT, reasons ? reasons : empty);
	if (!err)
		webapp_ws_send_json(WS_BARESIP, o);
	mem_deref(empty);
	mem_deref(o);
}

void webapp_account_reasons_push(void)
{
	if (reasons && odict_count(reasons, false))
		webapp_account_reasons_send();
}

void webapp_account_reasons_close(void)
{
	reasons = static_cast<struct odict *>(mem_deref(reasons));
}
