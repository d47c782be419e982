// Following a far clock. A caller's sound card and ours run at slightly
// different rates, which shows as a receive buffer that creeps away from
// its place. The follower turns the caller's frames into ours at a speed a
// little above or below 1, by band-limited interpolation between the
// frames. At rest (speed 1, on an input frame) every output frame is an
// input frame, value for value. Larger changes of the buffer are the
// receive playout's, by whole pitch periods (time_stretch.h).
//
// The control decides the speed from the buffer's lowest level over the
// last periods: a level that leaves its band is brought back well inside by
// a speed that leans against the error; inside the band the speed is 1. A
// drifting far clock shows as steps of the level, one period's read at a
// time, so the correction leaves room for the next step. The speed never
// leaves 1 by more than 0.5 % and changes in small steps.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t FOLLOW_TAPS = 32; // interpolation filter length
constexpr size_t FOLLOW_HALF = FOLLOW_TAPS / 2;
constexpr double FOLLOW_MAX_SPEED = 0.005;   // the largest deviation from speed 1
constexpr double FOLLOW_SPEED_STEP = 0.0001; // the largest change per period
constexpr double FOLLOW_LANDING = 0.0001;    // speed at which a correction returns onto a frame

// Interleaved stereo int16 frames in, the same out.
struct clock_follower {
	int16_t *buf;        // frames: history before pos, then the frames ahead
	float *left, *right; // the same frames as float, one channel each
	size_t cap;          // frames buf holds
	size_t count;        // frames in buf
	size_t pos;          // the frame at the next output position
	double frac;         // the position's fraction past pos, in [0, 1)
	double speed;        // input frames per output frame, minus 1
	double target;       // the speed the control asks for
	bool landing;        // returning onto a frame at the landing speed
};

// Frames of storage for periods of up to max_frames.
size_t follow_storage_frames(size_t max_frames);

// frames: 2 x frames values; channels: 2 x frames floats.
void follow_init(struct clock_follower *f, int16_t *frames_storage, float *channels, size_t frames);
void follow_reset(struct clock_follower *f);

// Frames to append before producing out frames.
size_t follow_input_needed(const struct clock_follower *f, size_t out);

// Where to write frames new input frames (space is made by moving the frames
// still needed to the front); follow_input_done appends them.
int16_t *follow_input(struct clock_follower *f, size_t frames);
void follow_input_done(struct clock_follower *f, size_t frames);

// Writes out frames.
void follow_produce(struct clock_follower *f, int16_t *out, size_t out_frames);

// Input frames buffered ahead of the output position.
size_t follow_ahead(const struct clock_follower *f);

// At rest: every output frame is an input frame.
bool follow_at_rest(const struct clock_follower *f);

// The control of one caller's receive buffer.
constexpr size_t FOLLOW_WINDOW = 48; // periods whose lowest level counts

struct follow_control {
	double levels[FOLLOW_WINDOW]; // buffer levels of the last periods, in frames
	size_t n;                     // levels measured so far
	double lo, hi;                // the band, in frames
	double goal;                  // the level a correction aims at; 0 = none
};

void follow_control_init(struct follow_control *c, double lo_frames, double hi_frames);
// Moves the band of the level.
void follow_control_band(struct follow_control *c, double lo_frames, double hi_frames);
// The level jumped (audio was taken out or put in, or ran dry): what was
// measured before no longer counts, and the speed returns to 1 until the
// window has filled again.
void follow_control_restart(struct follow_control *c);

// One period's level (frames) after the pull; sets the follower's target
// speed.
void follow_control_update(struct follow_control *c, struct clock_follower *f, double level);
