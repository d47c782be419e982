#include "sipstack.h"

int zv_account_uri_complete_strdup(const struct account *acc, char **uri, const char *dial)
{
	if (!uri)
		return EINVAL;

	struct mbuf *mb = mbuf_alloc(64);
	if (!mb)
		return ENOMEM;
	int err = account_uri_complete(acc, mb, dial);
	if (!err) {
		mb->pos = 0;
		err = mbuf_strdup(mb, uri, mb->end);
	}
	mem_deref(mb);
	return err;
}
