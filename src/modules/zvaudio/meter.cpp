// The level meters: peaks raised by the engine period, taken by whoever
// shows them.
#include "engine.h"

#include <cmath>

namespace {

// Written by the engine's period thread, taken by the main thread.
std::atomic<float> meter_peaks[ZVAUDIO_METER_SLOTS][2];

// Raises the peak to a, unless the main thread's take or another raise
// has put a higher value there meanwhile: a peak is never lost.
void raise(std::atomic<float> &peak, float a)
{
	float seen = peak.load(std::memory_order_relaxed);
	while (a > seen && !peak.compare_exchange_weak(seen, a, std::memory_order_relaxed)) {
	}
}

}

void zvaudio_meter_update(uint32_t slot, const float *samples, uint32_t frames)
{
	if (!samples || slot >= ZVAUDIO_METER_SLOTS || !frames)
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

void zvaudio_meter_take(float snapshot[ZVAUDIO_METER_SLOTS][2])
{
	for (unsigned s = 0; s < ZVAUDIO_METER_SLOTS; ++s)
		for (unsigned c = 0; c < 2; ++c)
			snapshot[s][c] =
				meter_peaks[s][c].exchange(0.0f, std::memory_order_relaxed);
}
