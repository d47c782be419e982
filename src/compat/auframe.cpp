#include "auframe.h"

void zv_auframe_init(struct auframe *af, int fmt, void *sampv, size_t sampc, uint32_t, uint8_t)
{
	auframe_init(af, fmt, sampv, sampc);
}
