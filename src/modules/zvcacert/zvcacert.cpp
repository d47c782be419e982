#include "zvcacert.h"

#include <cstring>

#define DEBUG_MODULE "zvcacert"
#define DEBUG_LEVEL 5
#include <re_dbg.h>

extern "C" const unsigned char zvcacert_bundle[];

namespace {

const char begin_marker[] = "-----BEGIN CERTIFICATE-----";
const char end_marker[] = "-----END CERTIFICATE-----";

int add_to_tls(void *target, const char *pem)
{
	return tls_add_capem(static_cast<struct tls *>(target), pem);
}

int add_to_http_client(void *target, const char *pem)
{
	return http_client_add_capem(static_cast<struct http_cli *>(target), pem);
}

}

int zvcacert_load(const char *bundle, zvcacert_add_h *add, void *target)
{
	unsigned added = 0, failed = 0;
	const char *pos = bundle;

	for (;;) {
		const char *begin = std::strstr(pos, begin_marker);
		if (!begin)
			break;
		const char *end = std::strstr(begin, end_marker);
		if (!end)
			break;
		end += sizeof(end_marker) - 1;
		pos = end;

		size_t len = static_cast<size_t>(end - begin);
		char *pem = static_cast<char *>(mem_alloc(len + 1, nullptr));
		if (!pem)
			return ENOMEM;
		std::memcpy(pem, begin, len);
		pem[len] = '\0';

		if (add(target, pem) == 0)
			added++;
		else
			failed++;
		mem_deref(pem);
	}

	if (failed)
		dbg_printf(DBG_WARNING, "zvcacert: %u CA certificates could not be added\n",
			   failed);

	return added ? 0 : ENOENT;
}

int zvcacert_add_all(struct tls *tls)
{
	return zvcacert_load(zvcacert_pem(), add_to_tls, tls);
}

int zvcacert_tls_add(struct tls *tls)
{
	if (!tls)
		return EINVAL;
	return zvcacert_add_all(tls);
}

int zvcacert_http_client_alloc(struct http_cli **clip, struct dnsc *dnsc)
{
	if (!clip)
		return EINVAL;

	struct http_cli *cli = nullptr;
	int err = http_client_alloc(&cli, dnsc);
	if (err)
		return err;

	err = zvcacert_load(zvcacert_pem(), add_to_http_client, cli);
	if (err) {
		mem_deref(cli);
		return err;
	}

	*clip = cli;
	return 0;
}

const char *zvcacert_pem(void)
{
	return reinterpret_cast<const char *>(zvcacert_bundle);
}
