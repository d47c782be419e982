#include "http_access.h"

#include <arpa/inet.h>

namespace {

// An IP literal that names a host: not 0.0.0.0 and the rest of 0.0.0.0/8
// ("this network"), nor ::, nor those as IPv4-mapped addresses. Browsers
// send pages of any site to 0.0.0.0, which reaches this server.
bool ip_literal(const struct pl *host, int af)
{
	char text[64];
	if (host->l == 0 || host->l >= sizeof(text))
		return false;
	(void)pl_strcpy(host, text, sizeof(text));
	if (af == AF_INET) {
		struct in_addr a;
		return inet_pton(AF_INET, text, &a) == 1 && (ntohl(a.s_addr) >> 24) != 0;
	}
	struct in6_addr a;
	if (inet_pton(AF_INET6, text, &a) != 1 || IN6_IS_ADDR_UNSPECIFIED(&a))
		return false;
	return !IN6_IS_ADDR_V4MAPPED(&a) || a.s6_addr[12] != 0;
}

bool port_matches(const struct pl *port, uint16_t bound)
{
	if (port->l == 0 || port->l > 5)
		return false;
	for (size_t i = 0; i < port->l; ++i) {
		if (port->p[i] < '0' || port->p[i] > '9')
			return false;
	}
	return pl_u32(port) == bound;
}

// Host "localhost", an IPv4 literal or a bracketed IPv6 literal of a host,
// each optionally followed by ":" and the server's port.
bool host_allowed(const struct pl *value, uint16_t bound)
{
	struct pl host = *value;
	struct pl port = PL_INIT;
	bool has_port = false;
	bool v6 = false;

	if (host.l && host.p[0] == '[') {
		const char *close = pl_strchr(&host, ']');
		if (!close)
			return false;
		const char *after = close + 1;
		const char *end = host.p + host.l;
		if (after < end) {
			if (*after != ':')
				return false;
			has_port = true;
			port.p = after + 1;
			port.l = static_cast<size_t>(end - port.p);
		}
		host.p += 1;
		host.l = static_cast<size_t>(close - host.p);
		v6 = true;
	}
	else if (const char *colon = pl_strchr(&host, ':')) {
		has_port = true;
		port.p = colon + 1;
		port.l = static_cast<size_t>(host.p + host.l - port.p);
		host.l = static_cast<size_t>(colon - host.p);
	}

	if (has_port && !port_matches(&port, bound))
		return false;
	if (v6)
		return ip_literal(&host, AF_INET6);
	return !pl_strcasecmp(&host, "localhost") || ip_literal(&host, AF_INET);
}

bool origin_matches(const struct pl *origin, const struct pl *host)
{
	static const char scheme[] = "http://";
	const size_t n = sizeof(scheme) - 1;
	if (origin->l != n + host->l)
		return false;
	struct pl head = {origin->p, n};
	struct pl rest = {origin->p + n, host->l};
	return !pl_strcasecmp(&head, scheme) && !pl_casecmp(&rest, host);
}

}

bool webapp_http_allowed(const struct http_msg *msg, uint16_t port)
{
	if (http_msg_hdr_count(msg, HTTP_HDR_HOST) > 1 || http_msg_xhdr_count(msg, "Origin") > 1)
		return false;

	const struct http_hdr *host = http_msg_hdr(msg, HTTP_HDR_HOST);
	if (host && !host_allowed(&host->val, port))
		return false;

	const struct http_hdr *origin = http_msg_xhdr(msg, "Origin");
	if (!origin)
		return true;
	return host && origin_matches(&origin->val, &host->val);
}
