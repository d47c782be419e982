// The period's mixing arithmetic over 16-bit audio. Every single addition
// saturates to -32767 ... 32767 (never -32768), in the order the tracks are
// listed; the loops are written for the compiler to vectorise.
#pragma once

#include <cstddef>
#include <cstdint>

// mix[k] = saturate(mix[k] + add[k])
void mix_add(int16_t *mix, const int16_t *add, size_t samples);

// The mix-minus of n >= 2 callers: out[i] gets the audio of every other
// caller in their order, the first one as it is (widened), each later one
// added with saturation, exactly as if each were summed on its own. The
// work grows with n, not with n x (n - 1).
void mixminus_build(const int16_t *const *calls, int32_t *const *out, size_t n, size_t samples);

// out[k] = saturate(local[k] + mixminus[k])
void mix_send(int16_t *out, const int16_t *local, const int32_t *mixminus, size_t samples);

// out[k] = local[k], -32768 sent as -32767
void mix_send_alone(int16_t *out, const int16_t *local, size_t samples);
