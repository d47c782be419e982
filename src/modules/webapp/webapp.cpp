#include "webapp.h"

#include "listener.h"
#include "webapp_parts.h"
#include "zv_version.h"

struct odict *webapp_calls;

namespace {

int webapp_close(void);

int webapp_init(void)
{
	int err = odict_alloc(&webapp_calls, 32);
	if (err)
		return err;

	re_fprintf(stderr, "Zorvane Webapp %s - Standalone\n", ZV_VERSION);

	err = webapp_conf_listen();
	if (err)
		return err;

	webapp_parts_init();

	if (webapp_open_browser())
		warning("webapp: could not open %s\n", webapp_url());
	return 0;
}

int webapp_close(void)
{
	webapp_parts_close();
	webapp_http_sock = static_cast<struct http_sock *>(mem_deref(webapp_http_sock));
	webapp_calls = static_cast<struct odict *>(mem_deref(webapp_calls));
	return 0;
}

}

extern "C" const struct mod_export exports_webapp = {"webapp", "application", webapp_init,
						     webapp_close};
