#include "track_mix.h"

#include "zvaudio.h"

namespace {

struct webapp_track_mix mixes[ZVAUDIO_CALL_TRACKS + 1];

}

struct webapp_track_mix *webapp_track_mix_of(uint32_t id)
{
	return &mixes[id];
}

void webapp_track_mix_reset(void)
{
	for (struct webapp_track_mix &m : mixes) {
		m.chmix.store(0, std::memory_order_relaxed);
		m.volume.store(1.0, std::memory_order_relaxed);
	}
}
