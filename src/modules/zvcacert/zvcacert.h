// The program's own set of public root certificates, for the TLS contexts
// that must verify a server.
#pragma once

#include "sipstack.h"

// Adds every PEM block of the bundle to the SIP stack's TLS context.
// 0; ENOENT when none was accepted; ENOMEM.
int zvcacert_add_all(struct tls *tls);
// EINVAL for a NULL context, else zvcacert_add_all.
int zvcacert_tls_add(struct tls *tls);
// An HTTP client whose TLS context trusts the bundle, and only it.
int zvcacert_http_client_alloc(struct http_cli **clip, struct dnsc *dnsc);
// The bundle text.
const char *zvcacert_pem(void);

// The loader behind both: hands every complete PEM block of the text, NUL
// terminated, to the adder, counts what it refused and warns once.
typedef int(zvcacert_add_h)(void *target, const char *pem);
int zvcacert_load(const char *bundle, zvcacert_add_h *add, void *target);
