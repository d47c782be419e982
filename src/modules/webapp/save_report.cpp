#include "save_report.h"

#include <cstring>

#include "webapp_engine.h"
#include "ws.h"

void webapp_save_failed(const char *path, int err)
{
	warning("webapp: could not save %s (%H)\n", path, ZV_ERRNO(err));

	const char *slash = std::strrchr(path, '/');
	char message[320];
	re_snprintf(message, sizeof(message), "Could not save %s: %H", slash ? slash + 1 : path,
		    ZV_ERRNO(err));

	webapp_error_show(message);
}

void webapp_error_show(const char *message)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 4))
		return;
	int failed = odict_entry_add(o, "callback", ODICT_STRING, "ERROR");
	failed |= odict_entry_add(o, "message", ODICT_STRING, message);
	if (!failed)
		webapp_ws_send_json(WS_BARESIP, o);
	mem_deref(o);
}
