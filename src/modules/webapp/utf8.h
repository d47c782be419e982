// UTF-8 as browsers require it of websocket text frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sipstack.h"

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when the bytes at
// p start no valid sequence (overlong forms, surrogates and values above
// U+10FFFF are invalid). n > 0.
size_t utf8_sequence_length(const uint8_t *p, size_t n);

// True when all n bytes at p are valid UTF-8.
bool utf8_valid(const uint8_t *p, size_t n);

// Appends the n bytes at p to mb with every byte that starts no valid
// sequence replaced by U+FFFD. 0 or ENOMEM.
int utf8_write_sanitized(struct mbuf *mb, const uint8_t *p, size_t n);
