// Audio frames: this library version's frame carries no sample rate and no
// channel count; its players and sources agree on them when they are made.
#pragma once

#include "sipstack.h"

// auframe_init with the rate and channels of newer versions, which this
// version's frame has no fields for.
void zv_auframe_init(struct auframe *af, int fmt, void *sampv, size_t sampc, uint32_t srate,
		     uint8_t ch);
