// Keypad presses sent to a call as a phone keypad sends them: the key goes
// down, and a fixed time later it is released, so that the far end sees the
// key's end and the telephone events stop. Main thread only.
#pragma once

#include "sipstack.h"

// Presses key on call: a key still held (on any call) is released first.
// The library's error code of the press.
int webapp_dtmf_press(struct call *call, char key);

// Releases a key still held and cancels its timer (module close).
void webapp_dtmf_close(void);
