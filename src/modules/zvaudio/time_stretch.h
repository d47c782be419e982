// Making received audio shorter or longer by whole pitch periods. Where the
// audio repeats itself (a voice, a note, a steady tone) one period of it can
// be taken out or said twice without changing its pitch: the two periods
// that meet are joined by an overlap-add over a whole period, so that the
// waveform never jumps. The period is the lag at which the audio is most
// like itself; audio that does not repeat (noise) is joined at its best lag
// all the same, where the overlap-add sounds like more of the same noise.
//
// Interleaved stereo int16 frames at 48 kHz throughout.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t STRETCH_MIN_LAG = 120; // 2.5 ms: a 400 Hz voice
constexpr size_t STRETCH_MAX_LAG = 480; // 10 ms: a 100 Hz voice

// The lag within [min_lag, max_lag] at which the frames repeat best: the
// frames from the start, one lag long, against the lag that follows them.
// frames must be at least 2 x max_lag. Near silence, max_lag.
size_t stretch_pitch(const int16_t *x, size_t frames, size_t min_lag, size_t max_lag);

// Takes lag frames out at the start of x, in place: the first two periods
// become one that fades from the first into the second. frames >= 2 x lag;
// x holds frames - lag frames afterwards.
void stretch_shorten(int16_t *x, size_t frames, size_t lag);

// Says the first period of x twice, in place: x gains lag frames after its
// first period, fading from the second period back into the first. x has
// room for frames + lag frames; frames >= 2 x lag.
void stretch_lengthen(int16_t *x, size_t frames, size_t lag);
