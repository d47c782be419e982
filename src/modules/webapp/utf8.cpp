#include "utf8.h"

size_t utf8_sequence_length(const uint8_t *p, size_t n)
{
	uint8_t c = p[0];
	if (c < 0x80)
		return 1;

	size_t len;
	uint8_t lo = 0x80, hi = 0xbf; // range of the second byte
	if (c >= 0xc2 && c <= 0xdf)
		len = 2;
	else if (c >= 0xe0 && c <= 0xef) {
		len = 3;
		if (c == 0xe0)
			lo = 0xa0;
		else if (c == 0xed)
			hi = 0x9f;
	}
	else if (c >= 0xf0 && c <= 0xf4) {
		len = 4;
		if (c == 0xf0)
			lo = 0x90;
		else if (c == 0xf4)
			hi = 0x8f;
	}
	else
		return 0;

	if (n < len || p[1] < lo || p[1] > hi)
		return 0;
	for (size_t i = 2; i < len; ++i)
		if ((p[i] & 0xc0) != 0x80)
			return 0;
	return len;
}

bool utf8_valid(const uint8_t *p, size_t n)
{
	while (n) {
		size_t len = utf8_sequence_length(p, n);
		if (!len)
			return false;
		p += len;
		n -= len;
	}
	return true;
}

int utf8_write_sanitized(struct mbuf *mb, const uint8_t *p, size_t n)
{
	static const uint8_t replacement[] = {0xef, 0xbf, 0xbd};
	int err = 0;
	while (n && !err) {
		size_t len = utf8_sequence_length(p, n);
		if (len)
			err = mbuf_write_mem(mb, p, len);
		else {
			err = mbuf_write_mem(mb, replacement, sizeof(replacement));
			len = 1;
		}
		p += len;
		n -= len;
	}
	return err;
}
