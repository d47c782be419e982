// An engine with its eight tracks and a stream state without devices, so
// that tests drive the period with buffers of their own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine.h"
#include "fakes.h"

// A call as the engine sees it: its player plays value pairs of the test's
// choosing, its source records what the engine sends.
struct fake_peer {
	int16_t left = 0, right = 0;
	std::vector<int16_t> sent;
	std::vector<uint64_t> timestamps;
	unsigned plays = 0;
};

class engine_test : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	struct track *track_at(int index);
	// Puts a call on the track and binds its player and (optionally) source.
	void bind(int index, bool with_source = true);
	void unbind(int index);
	void configure(int in_channels, double in_rate, int out_channels, double out_rate);
	// One period of interleaved device input (empty: no input buffer), with
	// what the calls' thread does around it.
	void period(const std::vector<float> &input, int in_channels);
	void period(const float *input, uint32_t frames, PaStreamCallbackFlags status = 0);
	// Plays frames of the output, as the output stream does.
	std::vector<float> play_output(unsigned long frames);

	// The engine's time as the calls' thread sees it: a period's length a
	// period, from an hour on.
	int64_t clock_ns = int64_t(3600) * 1000000000;

	fake_peer peers[8];
	std::unique_ptr<uint8_t[]> calls[8];
	struct auplay_st *players[8] = {};
	struct ausrc_st *sources[8] = {};
};

std::vector<float> stereo(size_t frames, float l, float r);
