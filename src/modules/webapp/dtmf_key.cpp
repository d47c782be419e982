#include "dtmf_key.h"

#include "events.h"

namespace {

// How long a key is held, as a phone keypad's quick press.
constexpr uint64_t press_ms = 100;

struct tmr release_tmr;
struct call *held_call;

void release(void)
{
	tmr_cancel(&release_tmr);
	struct call *call = held_call;
	held_call = nullptr;
	// a call that ended meanwhile has no key to release
	if (zv_call_alive(call))
		(void)call_send_digit(call, KEYCODE_REL);
}

void release_due(void *)
{
	release();
}

}

int webapp_dtmf_press(struct call *call, char key)
{
	release();
	const int err = call_send_digit(call, key);
	if (err)
		return err;
	held_call = call;
	tmr_start(&release_tmr, press_ms, release_due, nullptr);
	return 0;
}

void webapp_dtmf_close(void)
{
	release();
}
