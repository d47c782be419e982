// The level meters: the engine's peaks per meter slot, taken every 150 ms
// (zvaudio_meter_take) and sent as one text line on "/ws_meter".
#pragma once

#include <cstddef>
#include <cstdint>

#include "sipstack.h"
#include "zvaudio.h"

constexpr unsigned METER_SLOTS = ZVAUDIO_METER_SLOTS;

// Starts and stops the 150 ms line timer (module init and close).
void webapp_meter_init(void);
void webapp_meter_close(void);

// Receive handler of "/ws_meter": takes nothing.
void webapp_ws_meter_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);

// Formats the meter line of a recording time (ms) and peaks into buf:
// "H:MM:SS 0" and the 64 levels in dB, each slot's left before its right.
// 0, or ENOMEM when it does not fit.
int webapp_meter_line(char *buf, size_t size, int32_t record_ms,
		      const float snapshot[METER_SLOTS][2]);
