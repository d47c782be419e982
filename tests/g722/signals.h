/*
 * Deterministic test signals for the G.722 comparisons.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct test_signal {
	std::string name;
	std::vector<int16_t> samples;
};

/*
 * Tones, a sweep over the whole band, full-range and low-level noise,
 * silence and a full-scale square wave, each one second long at the
 * given sample rate.
 */
std::vector<test_signal> test_signals(int srate);

/* All test signals of a rate joined into one stream */
std::vector<int16_t> joined_signals(int srate);

/* Uniformly distributed octets, a stream of every possible code word */
std::vector<uint8_t> random_octets(size_t count, uint32_t seed);
