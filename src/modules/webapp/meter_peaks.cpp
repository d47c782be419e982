#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "meter.h"
#include "webapp_engine.h"

namespace {

// Written by the engine's period thread, taken by the main thread.
std::atomic<float> meter_peaks[METER_SLOTS][2];

// Raises the peak to a, unless the main thread's take or another raise
// has put a higher value there meanwhile: a peak is never lost.
void raise(std::atomic<float> &peak, float a)
{
	float seen = peak.load(std::memory_order_relaxed);
	while (a > seen && !peak.compare_exchange_weak(seen, a, std::memory_order_relaxed)) {
	}
}

}

void webapp_meter_update(uint32_t slot, const float *samples, uint32_t frames)
{
	if (!samples || slot >= METER_SLOTS || !frames)
		return;
	float left = 0.0f, right = 0.0f;
	for (uint32_t j = 0; j < frames; ++j) {
		const float l = std::fabs(samples[2 * j]);
		const float r = std::fabs(samples[2 * j + 1]);
		if (l > left)
			left = l;
		if (r > right)
			right = r;
	}
	raise(meter_peaks[slot][0], left);
	raise(meter_peaks[slot][1], right);
}

void webapp_meter_take(float snapshot[METER_SLOTS][2])
{
	for (unsigned s = 0; s < METER_SLOTS; ++s)
		for (unsigned c = 0; c < 2; ++c)
			snapshot[s][c] = meter_peaks[s][c].exchange(0.0f, std::memory_order_relaxed);
}

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
