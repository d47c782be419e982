// The module's parts, started after the listener is up and stopped before
// it goes down: each in the order of the table in webapp_parts.cpp, and
// stopped in the reverse order. A part that joins the module adds its init
// and close there. The results of the inits are not looked at, and every
// close copes with a part that never started.
#pragma once

void webapp_parts_init(void);
void webapp_parts_close(void);
