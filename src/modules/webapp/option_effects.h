// What an option change does outside the options dictionary: the engine's
// switches, the recorder, the on-air stream and the SIP trace.
#pragma once

// Runs the effect of key with value. Called before the value is stored, so
// webapp_option_get still gives the previous one. A key without an effect
// does nothing.
void webapp_option_effect(const char *key, const char *value);
