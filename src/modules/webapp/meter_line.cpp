#include <cerrno>
#include <cmath>
#include <cstring>

#include "meter.h"

int webapp_meter_line(char *buf, size_t size, int32_t t, const float snapshot[METER_SLOTS][2])
{
	const int32_t h = t / 3600000;
	const int32_t m = t / 60000 - 60 * h;
	const int32_t s = t / 1000 - 60 * (t / 60000);

	char piece[100];
	size_t len = 0;
	auto append = [&]() {
		const size_t n = str_len(piece);
		if (len + n >= size)
			return false;
		memcpy(buf + len, piece, n + 1);
		len += n;
		return true;
	};

	(void)re_snprintf(piece, sizeof(piece), "%d:%02d:%02d 0 ", h, m, s);
	if (!append())
		return ENOMEM;
	for (unsigned slot = 0; slot < METER_SLOTS; ++slot) {
		for (unsigned c = 0; c < 2; ++c) {
			const float v = 20.0f * log10f(snapshot[slot][c]);
			(void)re_snprintf(piece, sizeof(piece), "%.1f ", static_cast<double>(v));
			if (!append())
				return ENOMEM;
		}
	}
	buf[len - 1] = '\0';
	return 0;
}
