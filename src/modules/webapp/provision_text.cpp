#include "provision_text.h"

#include <cerrno>
#include <cstring>

namespace {

bool blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool uuid_char(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
	       c == '-';
}

int fits(int n, size_t size)
{
	return n < 0 || static_cast<size_t>(n) >= size ? ENOMEM : 0;
}

}

void provision_trim(char *text)
{
	if (!text)
		return;
	const char *start = text;
	while (blank(*start))
		++start;
	size_t n = strlen(start);
	while (n && blank(start[n - 1]))
		--n;
	memmove(text, start, n);
	text[n] = '\0';
}

int provision_uuid(char *out, size_t size, const char *uuid)
{
	if (!uuid || !size)
		return EINVAL;
	while (blank(*uuid))
		++uuid;
	size_t n = strlen(uuid);
	while (n && blank(uuid[n - 1]))
		--n;
	if (!n || n >= size)
		return EINVAL;
	for (size_t i = 0; i < n; ++i) {
		if (!uuid_char(uuid[i]))
			return EINVAL;
	}
	memcpy(out, uuid, n);
	out[n] = '\0';
	return 0;
}

int provision_url(char *buf, size_t size, const char *host, const char *uuid, const char *version)
{
	return fits(re_snprintf(buf, size, "https://%s/%s/%s?version=%s&type=standalone", host,
				"api/v1/provisioning", uuid, version),
		    size);
}

bool provision_object(const uint8_t *body, size_t len, struct pl *object)
{
	if (!body || len >= 8192)
		return false;
	const char *text = reinterpret_cast<const char *>(body);
	len = strnlen(text, len);
	const char *open = static_cast<const char *>(memchr(text, '{', len));
	const char *close = static_cast<const char *>(memchr(text, '}', len));
	if (!open || !close || close < open)
		return false;
	object->p = open;
	object->l = static_cast<size_t>(close - open) + 1;
	return true;
}

int provision_update_message(char *buf, size_t size, const char *version)
{
	return fits(re_snprintf(buf, size,
				"{\t\t\t\"callback\": \"UPDATE\",\t\t\t\"version\": \"%H\"\t\t\t}",
				utf8_encode, version),
		    size);
}
